// TamselProgram.batch(): one list of results for each of many separate
// documents, in one call.
//
// The documents are taken, with the interpreter lock held, in groups of
// about kGroupBytes of text. Each group runs without the lock, on the
// caller's thread or on threads of the batch's own (`threads`), and the
// entries of its documents are made in order as it comes back.
#include <Python.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/result_objects.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/json_input.h"
#include "binding/interpreter_waiting.h"
#include "binding/lock_release.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/collector_pause.h"
#include "binding/python_sink.h"
#include "binding/types.h"
#include "runtime/call_runtime.h"
#include "texts/parser_lease.h"
#include "texts/text_results.h"
#include "texts/worker_pool.h"

namespace tamsel::binding {
namespace {

using texts::WorkerPool;

constexpr size_t kGroupBytes = size_t{1} << 20;

// The documents of a run, and what they made. Each text is read where it
// lies, followed by its NUL byte, when nothing can change it: a bytes object
// or an ASCII str of the caller's, or a str's UTF-8 encoded here. A text in
// a buffer that another thread may change (a bytearray) is copied.
struct Group {
  std::vector<std::string_view> texts;
  std::vector<PyRef> encoded;
  std::string copies;
  std::vector<std::pair<size_t, size_t>> copied;  // text, and its offset in `copies`
  size_t bytes = 0;
  Py_ssize_t first = 0;  // the number of the first
  texts::TextResults results;
  WorkerPool::Slot* slot = nullptr;

  // Points the copied texts at their copies, once all are made.
  void settle() {
    for (const auto& [text, offset] : copied)
      texts[text] = std::string_view(copies.data() + offset, texts[text].size());
  }
};

// Adds the UTF-8 text of document `index` to the group, as input() or
// input_bytes() would read it; false with an exception set.
bool stage_document(PyObject* item, Py_ssize_t index, Group& group) {
  std::string_view text;
  Py_buffer view{};
  bool exported = false;
  if (PyUnicode_Check(item)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(item) < 0) return false;
#endif
    if (PyUnicode_IS_ASCII(item)) {
      text = std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                              static_cast<size_t>(PyUnicode_GET_LENGTH(item)));
    } else {
      // Encoded apart, so the str keeps no UTF-8 copy of its own.
      PyRef encoded(PyUnicode_AsUTF8String(item));
      if (!encoded) return false;
      text = std::string_view(PyBytes_AS_STRING(encoded.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
      group.encoded.push_back(std::move(encoded));
    }
  } else if (PyBytes_CheckExact(item)) {
    text = std::string_view(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
  } else if (PyObject_CheckBuffer(item)) {
    if (!export_contiguous(item, "texts", &view)) return false;
    exported = true;
    text = std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
  } else {
    PyErr_Format(PyExc_TypeError,
                 "argument 'texts': item %zd is '%s', not a str or a bytes-like object", index,
                 Py_TYPE(item)->tp_name);
    return false;
  }
  struct Release {
    Py_buffer* view;
    bool exported;
    ~Release() {
      if (exported) PyBuffer_Release(view);
    }
  } release{&view, exported};
  if (auto error = JsonParser::size_error(text.size())) {
    raise_value_error(error->message());
    return false;
  }
  if (exported) {
    group.copied.emplace_back(group.texts.size(), group.copies.size());
    group.copies.append(text);
    group.copies.push_back('\0');
  }
  group.texts.push_back(text);
  group.bytes += text.size();
  return true;
}

// Runs the group's documents, with no Python object touched.
void run_group(const texts::Program& program, const ResultForm& form, Group& group,
               JsonParser& parser, runtime::CallRuntime& call, runtime::CallBounds::Poll poll) {
  const texts::RunRules rules{program, form, poll};
  for (size_t i = 0; i < group.texts.size(); ++i) {
    const std::string_view text = group.texts[i];
    parser.lend_text(text);
    if (!group.results.add(rules, parser, text.size(), call,
                           texts::TextRecord(static_cast<uint64_t>(group.first) + i, 0)))
      return;
  }
}

// The entry of one document: its results as a list, or with `first_only`
// its first result or None. Takes over `results`.
PyObject* entry_of(std::vector<PyObject*>& results, bool first_only) {
  if (first_only) {
    if (results.empty()) Py_RETURN_NONE;
    PyObject* first = results.front();
    results.erase(results.begin());
    return first;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i]);
  results.clear();
  return list;
}

// One call of batch().
class BatchCall {
 public:
  BatchCall(std::shared_ptr<const texts::Program> program, PyObject* documents, PyObject* entries,
            const ResultForm& form, bool skip_bad)
      : program_(std::move(program)),
        documents_(documents),
        entries_(entries),
        count_(PySequence_Fast_GET_SIZE(documents)),
        form_(form),
        skip_bad_(skip_bad) {}

  // Fills in every entry; false with an exception set.
  bool run(size_t threads) {
    if (threads > 1) {
      pool_.emplace(threads);
      while (!groups_.empty() || next_ < count_) {
        while (next_ < count_ && groups_.size() < 2 * threads) {
          std::unique_ptr<Group> group = stage();
          if (!group) return false;
          groups_.push_back(std::move(group));
          Group& queued = *groups_.back();
          queued.slot = pool_->submit([this, &queued](WorkerPool::Worker& worker) {
            run_group(*program_, form_, queued, worker.parser, worker.call, WorkerPool::stopping);
          });
        }
        Group& oldest = *groups_.front();
        {
          InterpreterWaiting waiting;
          if (!pool_->wait(oldest.slot, waiting)) return false;
        }
        if (const auto& failure = pool_->failure(oldest.slot)) {
          raise_failure(failure->failure, failure->message);
          if (!PyErr_Occurred()) PyErr_NoMemory();
          return false;
        }
        pool_->release(oldest.slot);
        oldest.slot = nullptr;
        const bool taken = take(oldest);
        groups_.pop_front();
        if (!taken) return false;
      }
      return true;
    }
    texts::ParserLease lease;
    while (next_ < count_) {
      std::unique_ptr<Group> group = stage();
      if (!group) return false;
      {
        runtime::CallRuntime call;
        LockRelease lock;
        if (group->bytes >= kReleaseLockFrom) lock.release();
        run_group(*program_, form_, *group, lease.parser(), call, signals_pending);
      }
      if (!take(*group)) return false;
    }
    return true;
  }

 private:
  // Takes the next documents into a new group; nullptr with an exception set.
  std::unique_ptr<Group> stage() {
    auto group = std::make_unique<Group>();
    group->first = next_;
    while (next_ < count_ && (group->texts.empty() || group->bytes < kGroupBytes)) {
      if (!stage_document(PySequence_Fast_GET_ITEM(documents_, next_), next_, *group))
        return nullptr;
      ++next_;
    }
    group->settle();
    return group;
  }

  // Makes the entries of a group that ran; false with an exception set.
  bool take(Group& group) {
    const texts::TextResults& results = group.results;
    if (results.stopped) {
      raise_failure(results.stop.failure, results.stop.message);
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return false;
    }
    runtime::CallRuntime call;
    call.bound(runtime::CallBounds::budget_for(group.bytes), signals_pending);
    const CollectorPause collector_paused;
    const bool taken = make_objects(
        results, [](const texts::TextRecord& record) { return TextPlace{record.index}; },
        [&](const texts::TextRecord& record, std::vector<PyObject*>& objects, PyObject* error) {
          if (error && !skip_bad_) {
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
            Py_DECREF(error);
            return false;
          }
          PyObject* entry = error ? error : entry_of(objects, form_.first_only);
          if (!entry) return false;
          PyList_SET_ITEM(entries_, static_cast<Py_ssize_t>(record.index), entry);
          return true;
        });
    return taken && PyErr_CheckSignals() >= 0;
  }

  const std::shared_ptr<const texts::Program> program_;
  PyObject* documents_;
  PyObject* entries_;
  const Py_ssize_t count_;
  const ResultForm& form_;
  const bool skip_bad_;
  Py_ssize_t next_ = 0;  // the first document not staged
  std::deque<std::unique_ptr<Group>> groups_;
  // Declared last, so that it stops and joins its threads before the
  // groups they read go.
  std::optional<WorkerPool> pool_;
};

}  // namespace

PyObject* program_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"texts", "first", "errors", "as_json", "indent", "threads",
                                   nullptr};
  PyObject* texts = nullptr;
  int first = 0, as_json = 0;
  PyObject* errors = nullptr;
  PyObject* indent = Py_None;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pOpOO:batch", const_cast<char**>(keywords),
                                   &texts, &first, &errors, &as_json, &indent, &threads_arg))
    return nullptr;
  ResultForm form;
  bool skip_bad = false;
  size_t threads = 1;
  if (!read_result_options(first, as_json, errors, indent, &form, &skip_bad) ||
      !read_threads_option(threads_arg, &threads))
    return nullptr;
  if (PyUnicode_Check(texts) || PyBytes_Check(texts)) {
    // Iterating one document would run its characters or bytes.
    PyErr_Format(PyExc_TypeError,
                 "argument 'texts': an iterable of documents is required, not one '%s'",
                 Py_TYPE(texts)->tp_name);
    return nullptr;
  }
  PyRef documents(PySequence_Fast(texts, "argument 'texts': an iterable of documents is required"));
  if (!documents) return nullptr;
  // The caller's own list, which another thread may change while the
  // documents run without the lock: they are read from a copy.
  if (documents.get() == texts && PyList_Check(texts)) {
    documents = PyRef(PyList_AsTuple(texts));
    if (!documents) return nullptr;
  }
  PyRef entries(PyList_New(PySequence_Fast_GET_SIZE(documents.get())));
  if (!entries) return nullptr;

  ProgramState& program = program_state(self);
  SharedBorrow borrow(program.borrow);
  if (!borrow.held()) return nullptr;
  bool ok = false;
  run_guarded([&] {
    BatchCall call(program.program, documents.get(), entries.get(), form, skip_bad);
    ok = call.run(threads);
  });
  return ok ? entries.release() : nullptr;
}

}  // namespace tamsel::binding
