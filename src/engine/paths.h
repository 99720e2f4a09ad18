// Path steps that select parts of a value: shared by the evaluator's path
// nodes and the builtins that walk values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/eval_value.h"
#include "parser/filter.h"
#include "value/view.h"

namespace tamsel::engine {

// The effective position of `index` in an array of `n` elements, if inside.
std::optional<size_t> array_position(int32_t index, size_t n);

// Whether `filter` is a field or an index: a step that takes one value to
// at most one, so that a run of them needs no list between its steps.
bool is_path_step(const query::Filter& filter);

// The part of `value` that the path step `step` selects, or nothing where
// the step does not apply.
std::optional<View> path_step(const query::Field& step, View value);
std::optional<View> path_step(const query::Index& step, View value);
std::optional<View> path_step(const query::Filter& step, View value);

// Appends v and every value nested in it, parents before children, all as
// references: into the document for its parts, to the caller's value for
// borrowed input, and shared for a value the query built (which the outputs
// then own together), so no level is ever copied.
void recursive_descent(EvalValue v, ResultList& out);

}  // namespace tamsel::engine
