#include "value/depth.h"

#include "value/json.h"

namespace tamsel {

bool nested_deeper_than(View v, size_t levels) {
  // A document part is within the document's own limit.
  if (v.in_document() && levels >= kMaxJsonDepth) return false;
  if (v.kind() == Kind::Array) {
    if (levels == 0) return true;
    for (View element : v.elements())
      if (nested_deeper_than(element, levels - 1)) return true;
  } else if (v.kind() == Kind::Object) {
    if (levels == 0) return true;
    for (const View::Member& member : v.members())
      if (nested_deeper_than(member.value, levels - 1)) return true;
  }
  return false;
}

void ensure_room_to_wrap_built(const View& part) {
  if (nested_deeper_than(part, kMaxValueDepth - 1))
    throw InternalFault("value nested deeper than 2048 levels");
}

}  // namespace tamsel
