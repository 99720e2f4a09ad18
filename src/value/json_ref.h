// A value inside a parsed document, read in place from simdjson's tape, so
// that selecting from a document never builds a tree of it. A JsonRef is
// valid until its JsonParser parses again or is destroyed.
#pragma once

#include <simdjson.h>

#include "value/value.h"

namespace tamsel {

using JsonRef = simdjson::dom::element;

// The value's kind. Integers without a minus sign are U64, with one I64;
// "-0" comes out as the U64 0, which no operation can tell from the I64 0.
inline Kind kind_of(JsonRef ref) {
  using simdjson::dom::element_type;
  switch (ref.type()) {
    case element_type::ARRAY: return Kind::Array;
    case element_type::OBJECT: return Kind::Object;
    case element_type::INT64: return ref.get_int64().value_unsafe() < 0 ? Kind::I64 : Kind::U64;
    case element_type::UINT64: return Kind::U64;
    case element_type::DOUBLE: return Kind::F64;
    case element_type::STRING: return Kind::String;
    case element_type::BOOL: return Kind::Bool;
    case element_type::NULL_VALUE: return Kind::Null;
  }
  return Kind::Null;
}

// The array or object a JsonRef holds, by value (simdjson's results hand out
// references into temporaries, which a range-for must not keep). Only for
// refs of that kind.
inline simdjson::dom::array json_array(JsonRef ref) { return ref.get_array().value_unsafe(); }
inline simdjson::dom::object json_object(JsonRef ref) { return ref.get_object().value_unsafe(); }

// Elements of an array or members of an object. The tape stores counts in 24
// bits, saturated above; past that they are counted.
template <class Container>
size_t json_element_count(Container container) {
  size_t count = container.size();
  if (count >= 0xFFFFFF) {
    count = 0;
    for (auto it = container.begin(); it != container.end(); ++it) ++count;
  }
  return count;
}

// A Value with the same contents. With `view_strings` its strings are views
// into the parser's storage (as valid as the JsonRef); otherwise owned copies.
Value materialize(JsonRef ref, bool view_strings = true);

}  // namespace tamsel
