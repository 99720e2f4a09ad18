#include "value/depth.h"

#include "value/object_map.h"

namespace tamsel {

bool nested_deeper_than(const Value& v, size_t levels) {
  if (v.kind() == Kind::Array) {
    if (levels == 0) return true;
    for (const Value& element : v.as_array())
      if (nested_deeper_than(element, levels - 1)) return true;
  } else if (v.kind() == Kind::Object) {
    if (levels == 0) return true;
    for (const ObjectMap::Entry& entry : v.as_object())
      if (nested_deeper_than(entry.value, levels - 1)) return true;
  }
  return false;
}

void ensure_room_to_wrap(const Value& part) {
  if (nested_deeper_than(part, kMaxValueDepth - 1))
    throw InternalFault("value nested deeper than 2048 levels");
}

}  // namespace tamsel
