// The two comparison rules over values: a sort order (order_values) used by
// sort, unique, min and max, and the comparison operators (compare_values)
// used by select, array subtraction and the searching builtins. They
// deliberately disagree: arrays and objects are never equal under the
// operators, but ordered under the sort order.
#pragma once

#include "parser/filter.h"
#include "value/view.h"

namespace tamsel::engine {

enum class Ordering { Less = -1, Equal = 0, Greater = 1 };

Ordering order_values(const View& a, const View& b);
bool compare_values(const View& a, query::CompareOp op, const View& b);

}  // namespace tamsel::engine
