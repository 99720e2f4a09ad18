// The binary arithmetic operators on two values.
#pragma once

#include <optional>

#include "parser/filter.h"
#include "value/view.h"

namespace tamsel::engine {

// a op b, or nothing when the operator does not apply to these kinds. Integer
// remainder by zero or of INT64_MIN by -1 throws InternalFault.
std::optional<Value> arith(View a, query::ArithOp op, View b);

}  // namespace tamsel::engine
