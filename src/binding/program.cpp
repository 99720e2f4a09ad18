// TamselProgram: a compiled query, run over JSON text by input() and first().
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>  // malloc_trim
#endif

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/json_input.h"
#include "binding/parser_lease.h"
#include "binding/py_ref.h"
#include "binding/types.h"
#include "engine/evaluator.h"
#include "engine/needed_parts.h"
#include "runtime/call_runtime.h"
#include "value/document_ref.h"
#include "value/json.h"

namespace tamsel::binding {
namespace {

struct ProgramObject {
  PyObject_HEAD
  query::Pipeline* pipeline;
  // How it reads documents for the parts it needs, or nullptr to read them whole.
  ReadingPlan* reading;
  PyObject* query;  // the query text, an exact str, for repr and pickling
  BorrowFlag* borrow;
};

ProgramObject* as_program(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }

// TAMSEL_VONK_WHOLE_DOCUMENT set to anything but "" or "0" when a program is
// compiled makes it read every document whole, as a query that reads all of
// it does: the tests run both ways, and the results must not differ.
bool whole_documents_forced() {
  const char* value = std::getenv("TAMSEL_VONK_WHOLE_DOCUMENT");
  return value && *value && std::string_view(value) != "0";
}

// Writes the text of a run's argument into the parser's work buffer and
// stores its length; false with a Python exception set.
using LoadText = bool (*)(PyObject* arg, JsonParser& parser, size_t* size);

bool load_bytes(PyObject* arg, JsonParser& parser, size_t* size) {
  return load_bytes_text(arg, "json_bytes", parser, size);
}

// The results converted so far; released unless handed to the iterator,
// also when the conversion is stopped by an exception.
struct ConvertedItems {
  std::vector<PyObject*> objects;
  ~ConvertedItems() {
    for (PyObject* object : objects) Py_DECREF(object);
  }
};

// A call that built a lot leaves the allocator holding the freed memory;
// past this much it is handed back to the system at the end of the call.
constexpr int64_t kTrimAfter = int64_t{256} << 20;

void release_free_memory_after(int64_t peak) {
#if defined(__GLIBC__)
  if (peak > kTrimAfter) malloc_trim(0);
#else
  (void)peak;
#endif
}

// Keeps the interpreter's cyclic garbage collector from running while a
// run converts its results: each collection it would start there walks
// every container made so far, which turns converting millions of lists and
// dicts quadratic. None of them can be garbage yet. (Python 3.9 has no C
// switch for it; there the collector runs as it would.)
class CollectorPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  int was_enabled_;
#endif
};

// The poll of a run's bounds: runs the interpreter's signal handlers, and
// stops the run when one raised (KeyboardInterrupt for Ctrl-C).
bool signals_pending() { return PyErr_CheckSignals() < 0; }

// Loads and parses the text of `arg`, runs the program over it and converts
// the results: all of them into a new TamselVonkIter, or only the first
// (None when there is none) when `first_only`. Returns a new reference, or
// nullptr with an exception set. The results, the document and the parser's
// buffers are released on every path, in that order.
PyObject* run(ProgramObject* program, PyObject* arg, LoadText load, bool first_only) {
  PyObject* outcome = nullptr;
  // Outlives the guard, since a fault's message may lie in the call's arena
  // until the guard has raised it.
  runtime::CallRuntime call;
  run_guarded([&] {
    ParserLease lease;
    size_t size = 0;
    if (!load(arg, lease.parser(), &size)) return;
    auto parsed = lease.parser().parse_work_buffer(size, program->reading);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      raise_value_error(error->message());
      return;
    }
    // What the run builds from here on is charged to it; the poll lets a
    // pending Ctrl-C end it.
    call.bound(runtime::CallBounds::budget_for(size), signals_pending);
    engine::ResultList results = [&] {
      const runtime::ArenaInUse in_use = call.evaluating();
      const DocumentRef document = std::get<DocumentRef>(parsed);
      return engine::evaluate(*program->pipeline, engine::EvalValue::document(document),
                              first_only);
    }();
    const CollectorPause collector_paused;
    if (first_only) {
      if (results.empty()) {
        Py_INCREF(Py_None);
        outcome = Py_None;
      } else if (!(outcome = to_python(results.front()))) {
        raise_panic_from_pending();
      }
      return;
    }
    ConvertedItems items;
    items.objects.reserve(results.size());
    for (const engine::EvalValue& result : results) {
      PyObject* item = to_python(result);
      if (!item) {
        raise_panic_from_pending();
        return;
      }
      items.objects.push_back(item);
    }
    outcome = new_iter(std::exchange(items.objects, {}));
  });
  release_free_memory_after(call.peak());
  return outcome;
}

// One method: its full name for error texts, its parameter, how its argument
// is checked and loaded, and whether it stops at the first result.
struct RunMethod {
  const char* full_name;
  const char* param;
  bool (*check)(const char* param, PyObject* arg);
  LoadText load;
  bool first_only;
};

constexpr RunMethod kInput{"TamselProgram.input()", "json_text", check_str_argument, load_str_text,
                           false};
constexpr RunMethod kFirst{"TamselProgram.first()", "json_text", check_str_argument, load_str_text,
                           true};
constexpr RunMethod kInputBytes{"TamselProgram.input_bytes()", "json_bytes",
                                check_bytes_argument, load_bytes, false};
constexpr RunMethod kFirstBytes{"TamselProgram.first_bytes()", "json_bytes",
                                check_bytes_argument, load_bytes, true};

template <const RunMethod& method>
PyObject* program_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  PyObject* arg = find_argument(method.full_name, method.param, args, nargs, kwnames);
  if (!arg || !method.check(method.param, arg)) return nullptr;
  SharedBorrow borrow(*as_program(self)->borrow);
  if (!borrow.held()) return nullptr;
  return run(as_program(self), arg, method.load, method.first_only);
}

// Pickling and copying rebuild the program from its query text.
PyObject* program_reduce(PyObject* self, PyObject*) {
  PyRef module(PyImport_ImportModule("tamsel_vonk"));
  if (!module) return nullptr;
  PyRef compile(PyObject_GetAttrString(module.get(), "compile"));
  if (!compile) return nullptr;
  return Py_BuildValue("(O(O))", compile.get(), as_program(self)->query);
}

PyObject* program_repr(PyObject* self) {
  return PyUnicode_FromFormat("tamsel_vonk.compile(%R)", as_program(self)->query);
}

void program_dealloc(PyObject* self) {
  ProgramObject* program = as_program(self);
  delete program->pipeline;
  delete program->reading;
  Py_XDECREF(program->query);
  delete program->borrow;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <const RunMethod& method>
PyCFunction run_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_run<method>));
}

PyMethodDef program_methods[] = {
    {"input", run_function<kInput>(), METH_FASTCALL | METH_KEYWORDS,
     "input($self, json_text)\n--\n\n"},
    {"first", run_function<kFirst>(), METH_FASTCALL | METH_KEYWORDS,
     "first($self, json_text)\n--\n\n"},
    {"input_bytes", run_function<kInputBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "input_bytes($self, json_bytes)\n--\n\n"
     "Like input(), for UTF-8 JSON text in any contiguous bytes-like object\n"
     "(bytes, bytearray, memoryview, mmap)."},
    {"first_bytes", run_function<kFirstBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "first_bytes($self, json_bytes)\n--\n\n"
     "Like first(), for UTF-8 JSON text in any contiguous bytes-like object."},
    {"__reduce__", program_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(program_repr)},
    {Py_tp_methods, program_methods},
    {0, nullptr},
};

PyType_Spec program_spec = {
    "tamsel_vonk.TamselProgram",
    sizeof(ProgramObject),
    0,
    Py_TPFLAGS_DEFAULT,
    program_slots,
};

}  // namespace

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* program_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&program_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_program(query::Pipeline pipeline, PyObject* query) {
  PyTypeObject* type = program_type();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  ProgramObject* program = as_program(self);
  program->pipeline = nullptr;
  program->reading = nullptr;
  program->borrow = nullptr;
  // A str subclass may carry state of its own; the program keeps plain text.
  program->query = PyUnicode_CheckExact(query) ? (Py_INCREF(query), query)
                                               : PyUnicode_FromObject(query);
  if (!program->query) {
    Py_DECREF(self);
    return nullptr;
  }
  bool ok = run_guarded([&] {
    program->borrow = new BorrowFlag();
    program->pipeline = new query::Pipeline(std::move(pipeline));
    Projection needed = engine::needed_parts(*program->pipeline);
    if (!needed.is_whole() && !whole_documents_forced())
      program->reading = new ReadingPlan(std::move(needed));
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

}  // namespace tamsel::binding
