// Deep copies of filter trees. Conditions hold their operands through
// unique_ptr, so the tree types are move-only; the parser copies a subtree
// when it hands out a remembered result a second time.
#pragma once

#include "parser/filter.h"

namespace tamsel::query {

Pipeline copy_pipeline(const Pipeline& pipeline);
Filter copy_filter(const Filter& filter);
Condition copy_condition(const Condition& condition);

}  // namespace tamsel::query
