// Argument checking for the module's one-parameter functions, called with the
// fast calling convention, with the exact TypeError texts users see.
#pragma once

#include <Python.h>

#include <string_view>

namespace tamsel::python {

// Finds the single `str` argument named `param` of the function `full_name`
// (for example "compile()" or "TamselProgram.input()") among positional
// `args` and keyword `kwnames`, and returns its UTF-8 text in `text`. The view
// stays valid while the argument lives. On failure sets a Python exception
// and returns false.
bool parse_text_argument(const char* full_name, const char* param, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, std::string_view* text);

}  // namespace tamsel::python
