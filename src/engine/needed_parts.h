// Which parts of its input document a query can observe, from its filter
// tree alone, so that a document can be read for it without building the
// rest (see value/projection.h).
#pragma once

#include "parser/filter.h"
#include "value/projection.h"

namespace tamsel::engine {

// What `pipeline` observes of its input when all of its results are used
// whole. Nodes whose reading is not worked out here need all of their input.
Projection needed_parts(const query::Pipeline& pipeline);

}  // namespace tamsel::engine
