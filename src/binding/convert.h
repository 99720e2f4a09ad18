// Values to native Python objects.
#pragma once

#include <Python.h>

#include "value/result_tape.h"
#include "value/view.h"

namespace tamsel::binding {

// A new Python object for `v` (None, bool, int, float, str, list, dict), or
// nullptr with the Python exception set. Never changes `v`. Document parts,
// whether results themselves or held by built values, are read off the
// document's tape.
PyObject* to_python(const View& v);
// The same for the next value of a result tape; a JSON text there becomes
// its bytes. On failure the reader's place is lost: read no further.
PyObject* to_python(ResultTape::Reader& reader);

}  // namespace tamsel::binding
