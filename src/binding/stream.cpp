// TamselProgram.stream() and the TamselStream it returns: the results of
// every JSON text of a source, made a batch of texts at a time as the
// iterator is asked for them.
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <new>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/batch_objects.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/lock_release.h"
#include "binding/parallel_stream.h"
#include "binding/parser_lease.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/text_run.h"
#include "runtime/call_runtime.h"
#include "binding/text_source.h"
#include "binding/types.h"
#include "binding/window_run.h"
#include "value/json.h"

namespace tamsel::binding {
namespace {

// About this much text is run before the stream hands out what it made.
constexpr size_t kBatchBytes = size_t{1} << 20;

// What a batch made, in order: results (or per text, their lists), and the
// errors of skipped texts, which join `skipped` when iteration passes them.
struct Made {
  PyObject* object;
  bool skipped;
};

// Everything a running stream holds; gone once the stream ends.
struct StreamState {
  StreamState(PyObject* program_object, std::unique_ptr<TextSource> text_source, bool lines)
      : program(PyRef::borrow(program_object)),
        source(std::move(text_source)),
        framing(lines, stretch) {}
  ~StreamState() {
    for (size_t i = cursor; i < made.size(); ++i) Py_XDECREF(made[i].object);
    // The threads stop before the bytes they read go. A process forked
    // from the one that made them has no copies of them: there they are
    // left as they are.
    if (parallel && !parallel->usable()) (void)parallel.release();
    parallel.reset();
    if (source) source->close();
  }

  PyRef program;
  std::unique_ptr<TextSource> source;
  IndexedStretch stretch;
  StreamFraming framing;
  // The threads of the stream's own, when it has any (threads > 1).
  std::unique_ptr<ParallelStream> parallel;
  ResultForm form;
  bool per_text = false;
  bool skip_bad = false;

  std::vector<Made> made;
  size_t cursor = 0;
  // Raised once everything made before it has been handed out.
  PyRef error_type, error_value, error_traceback;
  bool source_done = false;
  // The window given to the splitter so far.
  bool window_set = false;
};

struct StreamObject {
  PyObject_HEAD
  StreamState* state;  // nullptr once the stream has ended
  PyObject* skipped;   // a list
  BorrowFlag borrow;
};

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

void end_stream(StreamObject* stream) { delete std::exchange(stream->state, nullptr); }

// Keeps the pending exception, to be raised after what was made before it.
void keep_pending_error(StreamState& s) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  s.error_type = PyRef(type);
  s.error_value = PyRef(value);
  s.error_traceback = PyRef(traceback);
  s.source_done = true;
}

// Room in `made` for `more` entries, made before any object moves there,
// so that nothing fails once one has; grown by doubling.
void make_room(StreamState& s, size_t more) {
  const size_t needed = s.made.size() + more;
  if (needed > s.made.capacity()) s.made.reserve(std::max(needed, 2 * s.made.capacity()));
}

// Adds the results of one text (strong references, taken over).
void add_results(StreamState& s, std::vector<PyObject*>& results) {
  make_room(s, s.per_text ? 1 : results.size());
  if (s.per_text) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
    if (!list) throw std::bad_alloc();
    for (size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i]);
    }
    results.clear();
    s.made.push_back({list, false});
    return;
  }
  for (PyObject* result : results) s.made.push_back({result, false});
  results.clear();
}

// Records `error` (taken over), the exception of a bad text: kept to be
// raised, or handed out in the text's place, or added to `skipped` when
// iteration passes it, as the policy says.
void record_bad_text(StreamState& s, PyObject* error) {
  make_room(s, 1);
  if (!s.skip_bad) {
    s.error_type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error)));
    s.error_value = PyRef(error);
    s.source_done = true;
    return;
  }
  // One entry a text: the error stands in its list's place.
  s.made.push_back({error, !s.per_text});
}

// Makes the Python objects of what `batch` made and adds them to what the
// stream hands out; false with an exception set.
bool take_batch(StreamState& s, const TextBatch& batch, runtime::CallRuntime& call) {
  call.bound(runtime::CallBounds::budget_for(batch.bytes), signals_pending);
  const bool taken = hand_out(
      batch,
      [](const TextRecord& record) {
        return TextPlace{record.index, true, record.offset, record.line};
      },
      [&](const TextRecord&, std::vector<PyObject*>& results, PyObject* error) {
        if (error) {
          record_bad_text(s, error);
        } else {
          add_results(s, results);
        }
        return true;
      });
  call.unbound();
  return taken;
}

// Takes the next piece that the stream's threads ran; false with an
// exception set.
bool run_parallel_batch(StreamState& s) {
  if (!s.parallel->usable()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this stream runs on threads of the process that made it: "
                    "a process made by fork() must start a stream of its own");
    return false;
  }
  bool ok = false;
  runtime::CallRuntime call;
  const bool guarded = run_guarded([&] {
    const CollectorPause collector_paused;
    const TextBatch* batch = nullptr;
    switch (s.parallel->next(*s.source, &batch)) {
      case ParallelStream::Step::kFailed: return;
      case ParallelStream::Step::kEnd: s.source_done = true; break;
      case ParallelStream::Step::kBatch:
        if (!take_batch(s, *batch, call) || PyErr_CheckSignals() < 0) return;
        break;
    }
    ok = true;
  });
  return guarded && ok;
}

// Runs texts until about a batch of them has been run, the source ends, or
// a text stops the stream. False with an exception set when something
// other than a bad text stopped it (Ctrl-C, no memory); a bad text's error
// is kept or recorded as the policy says. The texts run without the
// interpreter lock when there are enough of them to pay for it.
bool run_batch(StreamState& s) {
  ProgramObject& program = *as_program(s.program.get());
  SharedBorrow borrow(*program.borrow);
  if (!borrow.held()) return false;
  if (s.parallel) return run_parallel_batch(s);
  bool ok = false;
  // The arena of every text of the batch.
  runtime::CallRuntime call;
  const bool guarded = run_guarded([&] {
    ParserLease lease;
    const CollectorPause collector_paused;
    TextSplitter& splitter = s.framing.splitter;
    uint64_t run_bytes = 0;
    bool short_read = false;
    if (!s.window_set) {
      splitter.set_window(s.source->window(), s.source->at_end());
      s.window_set = true;
    }
    TextBatch batch;
    for (;;) {
      const std::string_view window = s.source->window();
      const WindowRun run{program, s.form, !s.skip_bad, kBatchBytes - run_bytes,
                          signals_pending};
      WindowStep step;
      {
        LockRelease lock;
        if (!s.source->shared() && window.size() - splitter.passed() >= kReleaseLockFrom)
          lock.release();
        step = run_window(run, s.framing, window, s.source->padded(), lease.parser(), call,
                          batch);
      }
      if (step == WindowStep::kStopped) {
        raise_failure(batch.stop, "");
        return;
      }
      if (!take_batch(s, batch, call) || PyErr_CheckSignals() < 0) return;
      run_bytes += batch.bytes;
      batch.clear();
      if (step == WindowStep::kEnd) s.source_done = true;
      if (step != WindowStep::kNeedMore) break;
      // A source that gives what it has (a pipe) hands out what is made
      // before it waits for more.
      if (run_bytes >= kBatchBytes || (short_read && s.made.size() > s.cursor)) break;
      if (!s.source->read_more(splitter.hand_over(), &short_read)) {
        keep_pending_error(s);
        break;
      }
      splitter.set_window(s.source->window(), s.source->at_end());
      s.framing.stretch.forget();
    }
    ok = true;
  });
  return guarded && ok;
}

PyObject* stream_next(PyObject* self) {
  StreamObject* stream = as_stream(self);
  ExclusiveBorrow borrow(stream->borrow);
  if (!borrow.held()) return nullptr;
  for (;;) {
    StreamState* s = stream->state;
    if (!s) return nullptr;
    while (s->cursor < s->made.size()) {
      const Made made = s->made[s->cursor];
      s->made[s->cursor++].object = nullptr;
      if (!made.skipped) return made.object;
      const int appended = PyList_Append(stream->skipped, made.object);
      Py_DECREF(made.object);
      if (appended < 0) {
        end_stream(stream);
        return nullptr;
      }
    }
    s->made.clear();
    s->cursor = 0;
    if (s->error_type) {
      PyErr_Restore(s->error_type.release(), s->error_value.release(),
                    s->error_traceback.release());
      end_stream(stream);
      return nullptr;
    }
    if (s->source_done) {
      end_stream(stream);
      return nullptr;
    }
    if (!run_batch(*s)) {
      end_stream(stream);
      return nullptr;
    }
  }
}

PyObject* stream_iter(PyObject* self) {
  SharedBorrow borrow(as_stream(self)->borrow);
  if (!borrow.held()) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* stream_close(PyObject* self, PyObject*) {
  StreamObject* stream = as_stream(self);
  ExclusiveBorrow borrow(stream->borrow);
  if (!borrow.held()) return nullptr;
  end_stream(stream);
  Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* stream_exit(PyObject* self, PyObject*) {
  PyObject* closed = stream_close(self, nullptr);
  if (!closed) return nullptr;
  Py_DECREF(closed);
  Py_RETURN_FALSE;
}

void stream_dealloc(PyObject* self) {
  StreamObject* stream = as_stream(self);
  end_stream(stream);
  Py_XDECREF(stream->skipped);
  stream->borrow.~BorrowFlag();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef stream_methods[] = {
    {"close", stream_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops the stream and releases what it holds; next() then raises StopIteration."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", stream_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef stream_members[] = {
    {"skipped", T_OBJECT_EX, offsetof(StreamObject, skipped), READONLY,
     "The errors of the texts skipped so far (errors='skip'), in order."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_members, stream_members},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "tamsel_vonk.TamselStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

PyTypeObject* stream_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&stream_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* program_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "lines", "per_text", "first", "errors",
                                   "as_json", "indent", "threads", nullptr};
  PyObject* source_arg = nullptr;
  int lines = 0, per_text = 0, first = 0, as_json = 0;
  PyObject* errors = nullptr;
  PyObject* indent = Py_None;
  PyObject* threads_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppOpOO:stream",
                                   const_cast<char**>(keywords), &source_arg, &lines, &per_text,
                                   &first, &errors, &as_json, &indent, &threads_arg))
    return nullptr;
  ResultForm form;
  bool skip_bad = false;
  size_t threads = 1;
  if (!read_result_options(first, as_json, errors, indent, &form, &skip_bad) ||
      !read_threads_option(threads_arg, &threads))
    return nullptr;

  PyTypeObject* type = stream_type();
  if (!type) return nullptr;
  PyRef skipped(PyList_New(0));
  if (!skipped) return nullptr;
  std::unique_ptr<StreamState> state;
  if (!run_guarded([&] {
        std::unique_ptr<TextSource> source = TextSource::open(source_arg, "source");
        if (!source) return;
        state = std::make_unique<StreamState>(self, std::move(source), lines);
      }) ||
      !state)
    return nullptr;
  state->form = std::move(form);
  state->per_text = per_text;
  state->skip_bad = skip_bad;
  if (threads > 1 && !run_guarded([&] {
        state->parallel = std::make_unique<ParallelStream>(
            threads, *as_program(self), state->form, lines, !skip_bad);
      }))
    return nullptr;

  PyObject* object = type->tp_alloc(type, 0);
  if (!object) return nullptr;
  StreamObject* stream = as_stream(object);
  stream->state = state.release();
  stream->skipped = skipped.release();
  new (&stream->borrow) BorrowFlag();
  return object;
}

}  // namespace tamsel::binding
