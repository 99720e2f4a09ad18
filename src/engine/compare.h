// The two comparison rules over values: a sort order (order_values) used by
// sort, unique, min and max, and the comparison operators (compare_values)
// used by select, array subtraction and the searching builtins. They
// deliberately disagree: arrays and objects are never equal under the
// operators, but ordered under the sort order.
#pragma once

#include "parser/filter.h"
#include "value/value.h"

namespace tamsel::engine {

enum class Ordering { Less = -1, Equal = 0, Greater = 1 };

Ordering order_values(const Value& a, const Value& b);
bool compare_values(const Value& a, query::CompareOp op, const Value& b);

}  // namespace tamsel::engine
