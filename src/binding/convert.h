// Values to native Python objects.
#pragma once

#include <Python.h>

#include "engine/eval_value.h"
#include "value/document_ref.h"
#include "value/result_tape.h"
#include "value/value.h"
#include "value/view.h"

namespace tamsel::binding {

// A new Python object for `v` (None, bool, int, float, str, list, dict), or
// nullptr with the Python exception set. Never changes `v`. Document parts,
// whether results themselves or held by built values, are read off the tape.
PyObject* to_python(const Value& v);
// The same for a part of the input document.
PyObject* to_python(DocumentRef ref);
// The same for a result of the evaluator, whichever form it has.
PyObject* to_python(const engine::EvalValue& result);
// The same for the next value of a result tape; a JSON text there becomes
// its bytes. On failure the reader's place is lost: read no further.
PyObject* to_python(ResultTape::Reader& reader);

}  // namespace tamsel::binding
