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
  PythonSink(std::vector<PyObject*>& objects, LockRelease& lock, Converter::Keys keys)
      : objects_(objects), kept_(objects.size()), lock_(lock), converter_(keys) {}

  void expect(size_t count, size_t text_room) override {
    objects_.reserve(kept_ + count);
    if (text_room) texts_.reserve(text_room);
  }
  bool take(View value) override {
    lock_.take_back();
    PyObject* object = converter_.object_of(value);
    if (!object) return false;
    objects_.push_back(object);
    return true;
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
      objects_.push_back(item);
      start = end;
    }
    return true;
  }
  void drop() override {
    lock_.take_back();
    for (size_t i = kept_; i < objects_.size(); ++i) Py_DECREF(objects_[i]);
    objects_.resize(kept_);
  }

 private:
  std::vector<PyObject*>& objects_;
  const size_t kept_;
  LockRelease& lock_;
  Converter converter_;
  std::string texts_;
  std::vector<size_t> ends_;
};

}  // namespace

bool run_document(const texts::Program& program, JsonParser& parser, size_t size,
                  const ResultForm& form, std::vector<PyObject*>& objects,
                  runtime::CallRuntime& call, bool ours) {
  reserve_exception_state();
  LockRelease lock;
  if (ours && size >= kReleaseLockFrom) lock.release();
  const texts::RunRules rules{program, form, signals_pending, TextOrigin::kDocument, ours};
  PythonSink sink(objects, lock,
                  ours ? Converter::Keys::kShared : Converter::Keys::kSeparate);
  const texts::TextOutcome outcome = texts::run_text(rules, parser, size, call, sink);
  lock.take_back();
  if (outcome.ran()) return true;
  raise_outcome(outcome, ours);
  return false;
}

}  // namespace tamsel::binding
