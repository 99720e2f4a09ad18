// The module's types: TamselProgram, TamselVonkIter, TamselStream and
// TamselTable.
// Each is created on first use and kept for the life of the process; none
// can be instantiated from Python.
#pragma once

#include <Python.h>

#include <vector>

#include "parser/filter.h"

namespace tamsel::binding {

// Borrowed references to the class objects, or nullptr with an exception set.
PyTypeObject* program_type();
PyTypeObject* iter_type();

// A new TamselProgram owning `pipeline`, compiled from the `str` `query`,
// or nullptr with an exception set.
PyObject* new_program(query::Pipeline pipeline, PyObject* query);
// A new TamselVonkIter handing out `items` (strong references, taken over;
// released here if creation fails), or nullptr with an exception set.
PyObject* new_iter(std::vector<PyObject*> items);

// TamselStream, the iterator of TamselProgram.stream().
PyTypeObject* stream_type();

// TamselProgram.stream() and TamselProgram.batch(), called with positional
// and keyword arguments.
PyObject* program_stream(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* program_batch(PyObject* self, PyObject* args, PyObject* kwargs);

// TamselTable, the Arrow table of TamselProgram.table(), and that method.
PyTypeObject* table_type();
PyObject* program_table(PyObject* self, PyObject* args, PyObject* kwargs);

// Shared by the classes: calling the class raises TypeError.
PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

}  // namespace tamsel::binding
