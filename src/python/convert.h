// Values to native Python objects.
#pragma once

#include <Python.h>

#include "value/value.h"

namespace tamsel::python {

// A new Python object for `v` (None, bool, int, float, str, list, dict), or
// nullptr with the Python exception set. Never changes `v`.
PyObject* to_python(const Value& v);

}  // namespace tamsel::python
