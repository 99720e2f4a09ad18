#include "binding/arguments.h"

#include "binding/py_ref.h"

namespace tamsel::binding {
namespace {

// The type's qualified name ("bytes", "Outer.Inner"), as a new reference.
PyRef qualified_type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) {
    PyErr_Clear();
    name = PyRef(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
  }
  return name;
}

}  // namespace

PyObject* find_argument(const char* full_name, const char* param, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", full_name,
                 nargs);
    return nullptr;
  }
  PyObject* arg = nargs == 1 ? args[0] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
    int same = PyUnicode_CompareWithASCIIString(kw, param) == 0;
    if (!same) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name, kw);
      return nullptr;
    }
    if (arg) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name, param);
      return nullptr;
    }
    arg = args[nargs + i];
  }
  if (!arg) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", full_name,
                 param);
    return nullptr;
  }
  return arg;
}

bool check_str_argument(const char* param, PyObject* arg) {
  if (PyUnicode_Check(arg)) return true;
  PyRef type_name = qualified_type_name(arg);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
               param, type_name.get());
  return false;
}

bool check_bytes_argument(const char* param, PyObject* arg) {
  if (PyObject_CheckBuffer(arg)) return true;
  PyRef type_name = qualified_type_name(arg);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': a bytes-like object is required, not '%U'", param,
               type_name.get());
  return false;
}

}  // namespace tamsel::binding
