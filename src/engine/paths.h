// Path steps that select parts of a value: shared by the evaluator's path
// nodes and the builtins that walk values.
#pragma once

#include "engine/eval_value.h"

namespace tamsel::engine {

// Appends v and every value nested in it, parents before children. Borrowed
// input gives references; owned input gives owned values (containers copied,
// scalars moved out).
void recursive_descent(EvalValue v, ResultList& out);

}  // namespace tamsel::engine
