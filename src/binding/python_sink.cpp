#include "binding/python_sink.h"

#include "binding/convert.h"
#include "binding/errors.h"
#include "texts/text_run.h"

namespace tamsel::binding {
namespace {

// Each result a new object, made with the lock held: taken back for the
// first, if the run let go of it. JSON texts are written without it, then
// made bytes objects together.
class PythonSink final : public texts::ResultSink {
 public:
  PythonSink(ResultObjects& objects, bool first_only, LockRelease& lock, Converter::Keys keys)
      : objects_(objects),
        kept_(objects.all.size()),
        first_only_(first_only),
        lock_(lock),
        converter_(keys) {}

  void expect(size_t count, size_t text_room) override {
    if (!first_only_) objects_.all.reserve(kept_ + count);
    if (text_room) texts_.reserve(text_room);
  }
  bool take(const View& value) override {
    lock_.take_back();
    return put_made(converter_.object_of(value));
  }
  bool takes_texts() const override { return true; }
  Walk take_text(const StructuralIndex& index) override {
    const bool released = lock_.released();
    lock_.take_back();
    PyObject* object = nullptr;
    const Walk walk = converter_.object_of_text(index, &object);
    if (walk == Walk::kTaken) put(object);
    // A text left to the parse is parsed as it would have been: without the
    // lock, when the run let go of it.
    if (walk == Walk::kNotTaken && released) lock_.release();
    return walk;
  }
  bool takes_records() const override { return true; }
  bool take_record(const engine::PathRecord& record, const View* values) override {
    lock_.take_back();
    return put_made(converter_.object_of(record, values));
  }
  bool take_entries(const View& object) override {
    lock_.take_back();
    return put_made(converter_.entries_of(object));
  }
  std::string& text() override { return texts_; }
  bool end_text() override {
    ends_.push_back(texts_.size());
    return true;
  }
  bool finish() override {
    if (ends_.empty()) return true;
    lock_.take_back();
    size_t start = 0;
    for (const size_t end : ends_) {
      PyObject* item =
          PyBytes_FromStringAndSize(texts_.data() + start, static_cast<Py_ssize_t>(end - start));
      if (!item) return false;
      put(item);
      start = end;
    }
    return true;
  }
  void drop() override {
    lock_.take_back();
    Py_CLEAR(objects_.first);
    for (size_t i = kept_; i < objects_.all.size(); ++i) Py_DECREF(objects_.all[i]);
    objects_.all.resize(kept_);
  }

 private:
  bool put_made(PyObject* object) {
    if (!object) return false;
    put(object);
    return true;
  }
  void put(PyObject* object) {
    if (!first_only_) {
      objects_.all.push_back(object);
    } else {
      Py_XSETREF(objects_.first, object);  // a run of the first result has one
    }
  }

  ResultObjects& objects_;
  const size_t kept_;
  const bool first_only_;
  LockRelease& lock_;
  Converter converter_;
  std::string texts_;
  std::vector<size_t> ends_;
};

}  // namespace

bool run_document(const texts::Program& program, JsonParser& parser, size_t size,
                  const ResultForm& form, ResultObjects& objects,
                  runtime::CallRuntime& call, bool ours) {
  reserve_exception_state();
  LockRelease lock;
  if (ours && size >= kReleaseLockFrom) lock.release();
  const texts::RunRules rules{program, form, signals_pending, TextOrigin::kDocument, ours};
  PythonSink sink(objects, form.first_only, lock,
                  ours ? Converter::Keys::kShared : Converter::Keys::kSeparate);
  const texts::TextOutcome outcome = texts::run_text(rules, parser, size, call, sink);
  lock.take_back();
  if (outcome.ran()) return true;
  raise_outcome(outcome, ours);
  return false;
}

}  // namespace tamsel::binding
