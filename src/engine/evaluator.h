// Runs a filter tree over one input value.
#pragma once

#include <cstddef>

#include "engine/eval_value.h"
#include "parser/filter.h"

namespace tamsel::engine {

// Every output of `pipeline` on `input` (consumed), in order. Evaluation is
// eager and stage by stage; nodes that do not apply produce nothing. With
// `first_result`, the last stage stops at the first input that produces any
// output. Throws only InternalFault (and std::bad_alloc).
ResultList evaluate(const query::Pipeline& pipeline, EvalValue input, bool first_result);
// The same for the stages [0, end) of `pipeline` alone.
ResultList evaluate(const query::Pipeline& pipeline, size_t end, EvalValue input,
                    bool first_result);

}  // namespace tamsel::engine
