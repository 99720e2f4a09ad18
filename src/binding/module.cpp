// The module entry: compile(), the three types and the two exceptions.
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "binding/arguments.h"
#include "binding/errors.h"
#include "binding/lock_release.h"
#include "binding/notes.h"
#include "binding/py_ref.h"
#include "binding/types.h"
#include "parser/parser.h"
#include "parser/query_hint.h"

namespace tamsel::binding {
namespace {

PyObject* compile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* query = find_argument("compile()", "query", args, nargs, kwnames);
  if (!query || !check_str_argument("query", query)) return nullptr;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(query, &size);  // UnicodeEncodeError passes through
  if (!data) return nullptr;
  const std::string_view text(data, static_cast<size_t>(size));
  PyObject* program = nullptr;
  run_guarded([&] {
    auto compiled = query::compile_query(text);
    if (auto* error = std::get_if<query::CompileError>(&compiled)) {
      raise_value_error(error->message);
      for (const std::string& note : query::compile_notes(text, *error)) add_note(note);
      return;
    }
    program = new_program(std::get<query::Pipeline>(std::move(compiled)), query);
  });
  return program;
}

PyMethodDef compile_def = {
    "compile", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compile)),
    METH_FASTCALL | METH_KEYWORDS, "compile(query)\n--\n\n"};

// No per-module state (size 0), but not -1 either: with -1 the interpreter
// copies the module's dict into a later import (a sub-interpreter, or after
// `del sys.modules[...]`) instead of calling PyInit_tamsel_vonk again, which
// would bypass both of its rules.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tamsel_vonk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Sets module.<name> = member and appends name to module.__all__.
bool add_member(PyObject* module, PyObject* all, const char* name, PyObject* member) {
  PyRef owned(member);
  if (!owned) return false;
  PyRef key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all, key.get()) < 0) return false;
  return PyObject_SetAttr(module, key.get(), owned.get()) == 0;
}

PyObject* create_module() {
  if (!learn_signal_thread()) return nullptr;
  PyRef module(PyModule_Create(&module_def));
  if (!module) return nullptr;
  PyRef all(PyList_New(0));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  PyRef name(PyUnicode_FromString("tamsel_vonk"));
  if (!name) return nullptr;
  PyObject* compile_function = PyCFunction_NewEx(&compile_def, module.get(), name.get());
  if (!add_member(module.get(), all.get(), "compile", compile_function)) return nullptr;
  PyObject* program = reinterpret_cast<PyObject*>(program_type());
  Py_XINCREF(program);
  if (!add_member(module.get(), all.get(), "TamselProgram", program)) return nullptr;
  PyObject* iter = reinterpret_cast<PyObject*>(iter_type());
  Py_XINCREF(iter);
  if (!add_member(module.get(), all.get(), "TamselVonkIter", iter)) return nullptr;
  PyRef version(PyUnicode_FromString(TAMSEL_VERSION));
  if (!version || PyObject_SetAttrString(module.get(), "__version__", version.get()) < 0)
    return nullptr;
  // Reachable by name, so that callers can catch the exceptions and name
  // the stream in type checks, but not among the exported names, which stay
  // as they always were.
  PyObject* panic = panic_exception_type();
  if (!panic || PyObject_SetAttrString(module.get(), "PanicException", panic) < 0) return nullptr;
  PyObject* text_error = text_error_type();
  if (!text_error || PyObject_SetAttrString(module.get(), "TamselTextError", text_error) < 0)
    return nullptr;
  PyObject* stream = reinterpret_cast<PyObject*>(stream_type());
  if (!stream || PyObject_SetAttrString(module.get(), "TamselStream", stream) < 0) return nullptr;
  PyObject* table = reinterpret_cast<PyObject*>(table_type());
  if (!table || PyObject_SetAttrString(module.get(), "TamselTable", table) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace tamsel::binding

PyMODINIT_FUNC PyInit_tamsel_vonk() {
  using namespace tamsel::binding;
  // One module object per process, and only for the interpreter that first
  // imported it: the compiled state is not isolated per interpreter.
  static int64_t first_interpreter = -1;
  static PyObject* module = nullptr;
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = id;
  } else if (id != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "tamsel_vonk does not support sub-interpreters: it can only be imported "
                    "once per process, in the interpreter that first imported it");
    return nullptr;
  }
  if (!module) module = create_module();
  Py_XINCREF(module);
  return module;
}
