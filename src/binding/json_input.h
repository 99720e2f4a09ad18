// The JSON text of one run, written straight into the parser's work buffer
// (from a `str` without the interpreter's cached UTF-8 copy, or from any
// object that exports a contiguous buffer of bytes), or lent to the parser
// where it lies when it already is UTF-8 that cannot change (an ASCII `str`,
// a `bytes` object).
#pragma once

#include <Python.h>

#include <cstddef>

#include "value/json.h"

namespace tamsel::binding {

// Each writes the text of `arg` into `parser`'s work buffer, or lends it,
// and stores its byte length in `size`. On failure sets a Python exception and returns
// false: the interpreter's UnicodeEncodeError for a `str` with a lone
// surrogate, ValueError for a text too large to parse, TypeError for a
// buffer that is not contiguous.
// An ASCII `str` is lent; unless `parse_in_place`, a whole parse of it
// reads a copy (see JsonParser::lend_text).
bool load_str_text(PyObject* arg, JsonParser& parser, size_t* size, bool parse_in_place = true);

// Exports the one contiguous run of bytes of `arg` into `view`, for the
// caller to release; false with an exception set: the object's own, or a
// TypeError naming parameter `param` for a buffer that is not one run.
bool export_contiguous(PyObject* arg, const char* param, Py_buffer* view);
bool load_bytes_text(PyObject* arg, const char* param, JsonParser& parser, size_t* size);

}  // namespace tamsel::binding
