// A Python exception kept to be raised later: by a stream, once the results
// made before it are handed out.
#pragma once

#include <Python.h>

#include "binding/py_ref.h"

namespace tamsel::binding {

class PendingError {
 public:
  // Takes over the pending exception.
  void fetch() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = PyRef(type);
    value_ = PyRef(value);
    traceback_ = PyRef(traceback);
  }
  // Keeps `error` (a new reference, taken over), an exception object.
  void keep(PyObject* error) {
    type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(error)));
    value_ = PyRef(error);
    traceback_ = PyRef();
  }
  bool held() const { return static_cast<bool>(type_); }
  // Makes it the pending exception again; false, as a raising call returns.
  bool raise() {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return false;
  }
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(type_.get());
    Py_VISIT(value_.get());
    Py_VISIT(traceback_.get());
    return 0;
  }

 private:
  PyRef type_, value_, traceback_;
};

}  // namespace tamsel::binding
