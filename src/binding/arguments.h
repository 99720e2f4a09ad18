// Argument checking for the module's one-parameter functions, called with the
// fast calling convention, with the exact TypeError texts users see.
#pragma once

#include <Python.h>

namespace tamsel::binding {

// Finds the single argument named `param` of the function `full_name` (for
// example "compile()" or "TamselProgram.input()") among positional `args`
// and keyword `kwnames`. Returns it as a borrowed reference, or nullptr with
// a TypeError set.
PyObject* find_argument(const char* full_name, const char* param, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames);

// Whether `arg` is a `str` (or a subclass); otherwise sets the TypeError
// for parameter `param` and returns false.
bool check_str_argument(const char* param, PyObject* arg);

// Whether `arg` offers the buffer protocol; otherwise sets the TypeError for
// parameter `param` and returns false.
bool check_bytes_argument(const char* param, PyObject* arg);

}  // namespace tamsel::binding
