// Argument checking for the module's one-parameter functions, called with the
// fast calling convention, with the exact TypeError texts users see.
#pragma once

#include <Python.h>

#include <string_view>

namespace tamsel::python {

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

// find_argument and check_str_argument, then the UTF-8 text of the `str` in
// `text`, valid while the argument lives. On failure sets a Python exception
// and returns false.
bool parse_text_argument(const char* full_name, const char* param, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, std::string_view* text);

}  // namespace tamsel::python
