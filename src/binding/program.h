// The TamselProgram object, for the files that run it: program.cpp (input,
// first and the bytes methods), stream.cpp and batch.cpp.
#pragma once

#include <Python.h>

#include <memory>

#include "binding/borrow.h"
#include "texts/program.h"

namespace tamsel::binding {

struct ProgramObject {
  PyObject_HEAD
  // What the runs read: shared with the streams and batches that run it,
  // whose threads may outlive a call.
  std::shared_ptr<const texts::Program>* program;
  PyObject* query;  // the query text, an exact str, for repr and pickling
  BorrowFlag* borrow;
};

inline ProgramObject* as_program(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }
inline const texts::Program& program_of(PyObject* self) { return **as_program(self)->program; }

}  // namespace tamsel::binding
