// The TamselProgram object, for the files that run it: program.cpp (input,
// first and the bytes methods), stream.cpp and batch.cpp.
//
// Each of the module's three types holds its C++ state the same way: one
// struct after the object's header, made in place when the object is and
// destroyed in its dealloc.
#pragma once

#include <Python.h>

#include <memory>

#include "binding/borrow.h"
#include "binding/py_ref.h"
#include "texts/program.h"

namespace tamsel::binding {

struct ProgramState {
  // What the runs read: shared with the streams and batches that run it,
  // whose threads may outlive a call.
  std::shared_ptr<const texts::Program> program;
  PyRef query;  // the query text, an exact str, for repr and pickling
  BorrowFlag borrow;
};

struct ProgramObject {
  PyObject_HEAD
  ProgramState state;
};

inline ProgramState& program_state(PyObject* self) {
  return reinterpret_cast<ProgramObject*>(self)->state;
}

// TAMSEL_VONK_WHOLE_DOCUMENT set to anything but "" or "0" when a program is
// compiled makes it read every document whole, as a query that reads all of
// it does: the tests run both ways, and the results must not differ.
bool whole_documents_forced();

}  // namespace tamsel::binding
