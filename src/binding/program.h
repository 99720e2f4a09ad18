// The TamselProgram object, for the files that run it: program.cpp (input,
// first and the bytes methods), stream.cpp and batch.cpp.
#pragma once

#include <Python.h>

#include "binding/borrow.h"
#include "parser/filter.h"
#include "value/reading_plan.h"

namespace tamsel::binding {

struct ProgramObject {
  PyObject_HEAD
  query::Pipeline* pipeline;
  // How it reads documents for the parts it needs, or nullptr to read them whole.
  ReadingPlan* reading;
  PyObject* query;  // the query text, an exact str, for repr and pickling
  BorrowFlag* borrow;
};

inline ProgramObject* as_program(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }

}  // namespace tamsel::binding
