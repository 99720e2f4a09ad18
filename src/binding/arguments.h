// Argument checking: for the module's one-parameter functions, called with
// the fast calling convention, with the exact TypeError texts users see; and
// for the options of the methods that run many texts.
#pragma once

#include <Python.h>

#include "binding/text_run.h"

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

// The `errors` option, "raise" or "skip", into `skip`; returns false with
// ValueError set when it is neither.
bool read_errors_option(PyObject* errors, bool* skip);

// The `indent` option (None, a number of spaces from 0 to 32, or a str of at
// most 32 characters), into `form`, which must already say whether results
// come as JSON text: indent is refused without it. Returns false with an
// exception set for a value it cannot take.
bool read_indent_option(PyObject* indent, ResultForm* form);

}  // namespace tamsel::binding
