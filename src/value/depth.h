// A bound on how deeply values built by a query may nest. Only object
// construction wraps a value in new levels (every other builtin keeps or lowers
// the depth, or adds one level that the next stage cannot keep), so that is
// where it is checked. Copying, releasing,
// rendering and converting a value recurse once per level, so without a bound
// a long query such as `{a: .} | {a: .} | ...` could build a value deep enough
// to exhaust the native stack.
#pragma once

#include <cstddef>

#include "tamsel_limits.h"
#include "value/view.h"

namespace tamsel {

// True when `v` has more than `levels` levels of arrays and objects (a scalar
// has none). Stops descending once the answer is known.
bool nested_deeper_than(View v, size_t levels);

// Throws InternalFault unless a new container holding `part` stays within
// kMaxValueDepth levels. A part of the document, within the document's own
// smaller limit, or a scalar, is not walked.
void ensure_room_to_wrap_built(const View& part);
inline void ensure_room_to_wrap(const View& part) {
  static_assert(kMaxJsonDepth < kMaxValueDepth);
  if (!part.in_document() && part.is_container()) ensure_room_to_wrap_built(part);
}

}  // namespace tamsel
