// Path steps that select parts of a value: shared by the evaluator's path
// nodes and the builtins that walk values.
#pragma once

#include "engine/eval_value.h"

namespace tamsel::engine {

// Appends v and every value nested in it, parents before children, all as
// references: into the document for its parts, to the caller's value for
// borrowed input, and shared for a value the query built (which the outputs
// then own together), so no level is ever copied.
void recursive_descent(EvalValue v, ResultList& out);

}  // namespace tamsel::engine
