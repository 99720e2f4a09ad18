// TamselProgram.stream() and the TamselStream it returns: the results of
// every JSON text of a source, run a batch of texts at a time (texts/
// text_stream.h) as the iterator is asked for them, and made Python objects
// here.
#include <Python.h>
#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/collector_pause.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/interpreter_waiting.h"
#include "binding/lock_release.h"
#include "binding/pending_error.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/stream_input.h"
#include "binding/python_sink.h"
#include "binding/result_objects.h"
#include "binding/types.h"
#include "runtime/call_runtime.h"
#include "texts/text_stream.h"

namespace tamsel::binding {
namespace {

// TAMSEL_VONK_PIECE_BYTES, read when a stream starts, sets another size for
// the pieces of a stream with threads: the tests cut their small streams
// into many pieces with it.
size_t piece_bytes() {
  const char* value = std::getenv("TAMSEL_VONK_PIECE_BYTES");
  const unsigned long long bytes = value ? std::strtoull(value, nullptr, 10) : 0;
  return bytes > 0 ? static_cast<size_t>(bytes) : texts::StreamOptions{}.piece_bytes;
}

// What the stream hands out, in order: results (or per text, their lists),
// and the errors of skipped texts, which join `skipped` when iteration
// passes them.
struct Entry {
  PyObject* object;
  bool skipped;
};

// Everything a running stream holds; gone once the stream ends.
struct StreamRun {
  ~StreamRun() {
    for (size_t i = cursor; i < entries.size(); ++i) Py_XDECREF(entries[i].object);
    // The threads stop before the bytes they read go. A process forked
    // from the one that made them has no copies of them: there they are
    // left as they are.
    if (engine && !engine->usable()) (void)engine.release();
    engine.reset();
    if (input) input->close();
  }

  PyRef program;
  std::unique_ptr<StreamInput> input;
  std::unique_ptr<texts::TextStream> engine;
  ResultForm form;
  bool per_text = false;
  bool skip_bad = false;

  std::vector<Entry> entries;
  size_t cursor = 0;
  // Raised once everything made before it has been handed out.
  PendingError error;
  bool source_done = false;
};

// Made in place after tp_alloc and destroyed in dealloc, as the state of
// every type here is.
struct StreamState {
  std::unique_ptr<StreamRun> run;  // none once the stream has ended
  PyRef skipped;                   // a list, once asked for or added to
  BorrowFlag borrow;
};

struct StreamObject {
  PyObject_HEAD
  StreamState state;
};

StreamState& stream_state(PyObject* self) { return reinterpret_cast<StreamObject*>(self)->state; }

void end_stream(StreamState& stream) { stream.run.reset(); }

// Room for `more` entries, made before any object moves there, so that
// nothing fails once one has; grown by doubling.
void make_room(StreamRun& s, size_t more) {
  const size_t needed = s.entries.size() + more;
  if (needed > s.entries.capacity()) s.entries.reserve(std::max(needed, 2 * s.entries.capacity()));
}

// Adds the results of one text (strong references, taken over); false with
// an exception set.
bool add_results(StreamRun& s, std::vector<PyObject*>& results) {
  make_room(s, s.per_text ? 1 : results.size());
  if (s.per_text) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
    if (!list) return false;
    for (size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i]);
    }
    results.clear();
    s.entries.push_back({list, false});
    return true;
  }
  for (PyObject* result : results) s.entries.push_back({result, false});
  results.clear();
  return true;
}

// Records `error` (taken over), the exception of a bad text: kept to be
// raised, or handed out in the text's place, or added to `skipped` when
// iteration passes it, as the policy says.
void record_bad_text(StreamRun& s, PyObject* error) {
  make_room(s, 1);
  if (!s.skip_bad) {
    s.error.keep(error);
    s.source_done = true;
    return;
  }
  // One entry a text: the error stands in its list's place.
  s.entries.push_back({error, !s.per_text});
}

// Makes the Python objects of what the engine's texts made and adds them
// to what the stream hands out; false with an exception set.
bool take_results(StreamRun& s, const texts::TextResults& results) {
  runtime::CallRuntime call;
  call.bound(runtime::CallBounds::budget_for(results.bytes), signals_pending);
  const CollectorPause collector_paused;
  bool taken = false;
  const bool guarded = run_guarded([&] {
    taken = make_objects(
        results,
        [](const texts::TextRecord& record) {
          return TextPlace{record.index, true, record.offset, record.line};
        },
        [&](const texts::TextRecord&, std::vector<PyObject*>& results, PyObject* error) {
          if (!error) return add_results(s, results);
          record_bad_text(s, error);
          return true;
        });
  });
  call.unbound();
  return guarded && taken;
}

// Runs the engine's next texts and makes their objects. False with an
// exception set when something other than a bad text stopped it (Ctrl-C,
// no memory, a failed read comes after what was read before it).
bool run_next(StreamRun& s) {
  if (!s.engine->usable()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this stream runs on threads of the process that made it: "
                    "a process made by fork() must start a stream of its own");
    return false;
  }
  SharedBorrow borrow(program_state(s.program.get()).borrow);
  if (!borrow.held()) return false;
  const texts::TextResults* results = nullptr;
  texts::Stop stop;
  texts::TextStream::Step step;
  const bool guarded = run_guarded([&] {
    InterpreterWaiting waiting;
    step = s.engine->next(waiting, &results, &stop);
  });
  if (!guarded) return false;
  switch (step) {
    case texts::TextStream::Step::kTexts:
      return take_results(s, *results) && PyErr_CheckSignals() >= 0;
    case texts::TextStream::Step::kEnd:
      s.source_done = true;
      return true;
    case texts::TextStream::Step::kReadFailed:
      if (const std::string_view broken = s.engine->broken(); !broken.empty()) {
        PyErr_SetString(PyExc_ValueError, std::string(broken).c_str());
      } else {
        s.input->raise_read_error();
      }
      s.error.fetch();
      s.source_done = true;
      return true;
    case texts::TextStream::Step::kNotText:
      // Raised whatever the policy for bad texts: the source holds none to skip.
      s.skip_bad = false;
      return take_results(s, *results);
    case texts::TextStream::Step::kStopped:
      raise_failure(stop.failure, stop.message);
      // A stop asked for by the engine itself leaves nothing pending.
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return false;
  }
  return true;
}

PyObject* stream_next(PyObject* self) {
  StreamState& stream = stream_state(self);
  ExclusiveBorrow borrow(stream.borrow);
  if (!borrow.held()) return nullptr;
  for (;;) {
    StreamRun* s = stream.run.get();
    if (!s) return nullptr;
    while (s->cursor < s->entries.size()) {
      const Entry entry = s->entries[s->cursor];
      s->entries[s->cursor++].object = nullptr;
      if (!entry.skipped) return entry.object;
      const PyRef error(entry.object);
      if (!stream.skipped) stream.skipped = PyRef(PyList_New(0));
      if (!stream.skipped || PyList_Append(stream.skipped.get(), error.get()) < 0) {
        end_stream(stream);
        return nullptr;
      }
    }
    s->entries.clear();
    s->cursor = 0;
    if (s->error.held()) {
      s->error.raise();
      end_stream(stream);
      return nullptr;
    }
    if (s->source_done || !run_next(*s)) {
      end_stream(stream);
      return nullptr;
    }
  }
}

PyObject* stream_iter(PyObject* self) {
  SharedBorrow borrow(stream_state(self).borrow);
  if (!borrow.held()) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* stream_close(PyObject* self, PyObject*) {
  StreamState& stream = stream_state(self);
  ExclusiveBorrow borrow(stream.borrow);
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

// What the garbage collector sees of a stream: the objects it holds, so
// that a cycle through its source (a file object that keeps its own stream)
// is found and freed with the stream's threads.
int stream_traverse(PyObject* self, visitproc visit, void* arg) {
  const StreamState& stream = stream_state(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(stream.skipped.get());
  if (const StreamRun* s = stream.run.get()) {
    Py_VISIT(s->program.get());
    for (size_t i = s->cursor; i < s->entries.size(); ++i) Py_VISIT(s->entries[i].object);
    if (const int visited = s->error.traverse(visit, arg)) return visited;
    if (s->input) {
      if (const int visited = s->input->traverse(visit, arg)) return visited;
    }
  }
  return 0;
}

int stream_clear(PyObject* self) {
  StreamState& stream = stream_state(self);
  end_stream(stream);
  stream.skipped = PyRef();
  return 0;
}

void stream_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  stream_state(self).~StreamState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stream_get_skipped(PyObject* self, void*) {
  StreamState& stream = stream_state(self);
  if (!stream.skipped) {
    stream.skipped = PyRef(PyList_New(0));
    if (!stream.skipped) return nullptr;
  }
  return PyRef::borrow(stream.skipped.get()).release();
}

PyMethodDef stream_methods[] = {
    {"close", stream_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops the stream and releases what it holds; next() then raises StopIteration."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", stream_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"skipped", stream_get_skipped, nullptr,
     "The errors of the texts skipped so far (errors='skip'), in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class's documentation; a heap type's slot takes it as it stands.
constexpr const char* kStreamDoc =
    "The results of one TamselProgram.stream() call, read and run a batch of\n"
    "about a MiB of text at a time as iteration asks for them.\n"
    "\n"
    "A bad text raises TamselTextError (a ValueError), or PanicException for an\n"
    "internal fault, once the results of the texts before it are out; after that\n"
    "the stream is exhausted. With errors=\"skip\", it is skipped instead and its\n"
    "exception appended to `skipped` (or, with per_text, given in its place).\n"
    "close(), the end of a `with` block, or dropping the stream releases what it\n"
    "holds: its buffers, its threads, the file it opened from a path.";

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStreamDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "tamsel_vonk.TamselStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    stream_slots,
};

}  // namespace

PyTypeObject* stream_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&stream_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* program_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source",  "lines",  "per_text", "first",
                                   "errors",  "as_json", "indent",  "threads",
                                   "decompress", "elements", nullptr};
  PyObject* source_arg = nullptr;
  int lines = 0, per_text = 0, first = 0, as_json = 0, decompress = 1;
  PyObject* errors = nullptr;
  PyObject* indent = Py_None;
  PyObject* threads_arg = nullptr;
  PyObject* elements_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pppOpOOpO:stream",
                                   const_cast<char**>(keywords), &source_arg, &lines, &per_text,
                                   &first, &errors, &as_json, &indent, &threads_arg, &decompress,
                                   &elements_arg))
    return nullptr;
  ResultForm form;
  bool skip_bad = false;
  size_t threads = 1;
  std::optional<texts::ElementPath> elements;
  if (!read_result_options(first, as_json, errors, indent, &form, &skip_bad) ||
      !read_threads_option(threads_arg, &threads) ||
      !read_elements_option(elements_arg, lines, &elements))
    return nullptr;

  PyTypeObject* type = stream_type();
  if (!type) return nullptr;
  auto state = std::make_unique<StreamRun>();
  state->program = PyRef::borrow(self);
  state->form = form;
  state->per_text = per_text;
  state->skip_bad = skip_bad;
  if (!run_guarded([&] {
        // A stream with threads of its own reads as it cuts its pieces, beside them.
        state->input = StreamInput::open(source_arg, "source", threads == 1);
        if (!state->input) return;
        texts::StreamOptions options;
        options.lines = lines;
        options.form = form;
        options.stop_at_bad = !skip_bad;
        options.poll = signals_pending;
        options.piece_bytes = piece_bytes();
        options.decompress = decompress;
        options.elements = std::move(elements);
        // A str that names a file, meant as a path, fails as JSON: the hint says so.
        options.origin = PyUnicode_Check(source_arg) ? TextOrigin::kStreamOfStr : TextOrigin::kStream;
        state->engine = texts::make_text_stream(program_state(self).program, threads, options,
                                                state->input->source());
      }) ||
      !state->engine)
    return nullptr;

  PyObject* object = type->tp_alloc(type, 0);
  if (!object) return nullptr;
  new (&stream_state(object)) StreamState();
  stream_state(object).run = std::move(state);
  return object;
}

}  // namespace tamsel::binding
