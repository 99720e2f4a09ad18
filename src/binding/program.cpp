// TamselProgram: a compiled query, run over JSON text by input() and first().
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/json_input.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "texts/parser_lease.h"
#include "binding/text_run.h"
#include "runtime/call_runtime.h"
#include "binding/types.h"
#include "engine/needed_parts.h"
#include "value/json.h"

namespace tamsel::binding {
namespace {

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

// Loads the text of `arg`, runs the program over it and converts the
// results: all of them into a new TamselVonkIter, or only the first (None
// when there is none) when `first_only`. Returns a new reference, or
// nullptr with an exception set.
PyObject* run(ProgramObject* program, PyObject* arg, LoadText load, const ResultForm& form,
              bool ours) {
  OwnedObjects results;
  bool ran = false;
  // Outlives the guard: an exception's message may lie in its arena.
  runtime::CallRuntime call;
  run_guarded([&] {
    texts::ParserLease lease;
    size_t size = 0;
    if (!load(arg, lease.parser(), &size)) return;
    const CollectorPause collector_paused;
    ran = run_text(**program->program, lease.parser(), size, form, results.objects, call,
                   ours) == TextOutcome::kRan;
  });
  if (!ran) return nullptr;
  if (form.first_only) {
    if (results.objects.empty()) Py_RETURN_NONE;
    return std::exchange(results.objects.front(), nullptr);
  }
  return new_iter(std::exchange(results.objects, {}));
}

// One method: its full name for error texts, its parameter, how its argument
// is checked and loaded, whether it stops at the first result, and whether
// it lets go of the interpreter lock for a large text. input() and first()
// hold it throughout; the bytes methods copy a text that could change
// before they let go (a bytes object cannot).
struct RunMethod {
  const char* full_name;
  const char* param;
  bool (*check)(const char* param, PyObject* arg);
  LoadText load;
  bool first_only;
  bool ours;  // not input() or first(): see run_text
};

constexpr RunMethod kInput{"TamselProgram.input()", "json_text", check_str_argument, load_str_text,
                           false, false};
constexpr RunMethod kFirst{"TamselProgram.first()", "json_text", check_str_argument, load_str_text,
                           true, false};
constexpr RunMethod kInputBytes{"TamselProgram.input_bytes()", "json_bytes",
                                check_bytes_argument, load_bytes, false, true};
constexpr RunMethod kFirstBytes{"TamselProgram.first_bytes()", "json_bytes",
                                check_bytes_argument, load_bytes, true, true};

template <const RunMethod& method>
PyObject* program_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  KeywordOption options[] = {{"as_json"}, {"indent"}};
  PyObject* arg = find_argument(method.full_name, method.param, args, nargs, kwnames, options);
  if (!arg || !method.check(method.param, arg)) return nullptr;
  ResultForm form;
  form.first_only = method.first_only;
  if (PyObject* as_json = options[0].value) {
    const int truth = PyObject_IsTrue(as_json);
    if (truth < 0) return nullptr;
    form.as_json = truth;
  }
  bool skip_bad = false;
  if (!read_result_options(method.first_only, form.as_json, nullptr,
                           options[1].value ? options[1].value : Py_None, &form, &skip_bad))
    return nullptr;
  SharedBorrow borrow(*as_program(self)->borrow);
  if (!borrow.held()) return nullptr;
  return run(as_program(self), arg, method.load, form, method.ours);
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
  delete program->program;
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
     "input($self, json_text, *, as_json=False, indent=None)\n--\n\n"},
    {"first", run_function<kFirst>(), METH_FASTCALL | METH_KEYWORDS,
     "first($self, json_text, *, as_json=False, indent=None)\n--\n\n"},
    {"input_bytes", run_function<kInputBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "input_bytes($self, json_bytes, *, as_json=False, indent=None)\n--\n\n"
     "Like input(), for UTF-8 JSON text in any contiguous bytes-like object\n"
     "(bytes, bytearray, memoryview, mmap)."},
    {"first_bytes", run_function<kFirstBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "first_bytes($self, json_bytes, *, as_json=False, indent=None)\n--\n\n"
     "Like first(), for UTF-8 JSON text in any contiguous bytes-like object."},
    {"stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "stream($self, source, *, lines=False, per_text=False, first=False, errors='raise',\n"
     "       as_json=False, indent=None)\n--\n\n"
     "Runs the query over every JSON text of source (bytes-like, str, binary file\n"
     "or path), a batch at a time, and returns an iterator over the results."},
    {"batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "batch($self, texts, *, first=False, errors='raise', as_json=False, indent=None)\n--\n\n"
     "Runs the query over each of texts, separate JSON documents, and returns\n"
     "one list of results per document."},
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
  program->program = nullptr;
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
    auto compiled = std::make_shared<texts::Program>();
    compiled->pipeline = std::move(pipeline);
    Projection needed = engine::needed_parts(compiled->pipeline);
    if (!needed.is_whole() && !whole_documents_forced())
      compiled->reading = std::make_unique<ReadingPlan>(std::move(needed));
    program->program = new std::shared_ptr<const texts::Program>(std::move(compiled));
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

}  // namespace tamsel::binding
