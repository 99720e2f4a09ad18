// A value inside a parsed document, read in place from simdjson's tape, so
// that selecting from a document never builds a tree of it. A DocumentRef is
// valid until its JsonParser parses again or is destroyed.
#pragma once

#include <simdjson.h>

#include <bit>
#include <cstdint>
#include <string_view>

#include "value/same_bytes.h"
#include "value/value.h"

namespace tamsel {

using DocumentRef = simdjson::dom::element;

// The value's kind. Integers without a minus sign are U64, with one I64;
// "-0" comes out as the U64 0, which no operation can tell from the I64 0.
inline Kind kind_of(DocumentRef ref) {
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

// The array or object a DocumentRef holds, by value (simdjson's results hand out
// references into temporaries, which a range-for must not keep). Only for
// refs of that kind.
inline simdjson::dom::array document_array(DocumentRef ref) {
  return ref.get_array().value_unsafe();
}
inline simdjson::dom::object document_object(DocumentRef ref) {
  return ref.get_object().value_unsafe();
}

// The value of the first member named `key` of the document object `object`,
// in `*found`; false when it has none. simdjson's own at_key compares each
// key with a call to memcmp, which costs more than the short keys it meets.
inline bool document_member(DocumentRef object, std::string_view key, DocumentRef* found) {
  for (const simdjson::dom::key_value_pair member : document_object(object)) {
    if (same_text(member.key, key)) {
      *found = member.value;
      return true;
    }
  }
  return false;
}

// Elements of an array or members of an object. The tape stores counts in 24
// bits, saturated above; past that they are counted.
template <class Container>
size_t document_element_count(Container container) {
  size_t count = container.size();
  if (count >= 0xFFFFFF) {
    count = 0;
    for (auto it = container.begin(); it != container.end(); ++it) ++count;
  }
  return count;
}

// Document parts held by a Value (Value::document_part) keep the document and
// the position on its tape; simdjson's element is exactly that pair.
static_assert(sizeof(DocumentRef) == sizeof(simdjson::internal::tape_ref));

// The part a document-part Value refers to.
inline DocumentRef document_ref_of(const Value& v) {
  return std::bit_cast<DocumentRef>(simdjson::internal::tape_ref(
      static_cast<const simdjson::dom::document*>(v.part_document()), v.part_position()));
}

// A Value for a part of the document without copying it: scalars as they
// are, strings as views, arrays and objects by reference. As valid as the
// DocumentRef.
Value document_value(DocumentRef ref);

// The array or object `ref` as a built Value one level deep, its elements or
// members document values: for operations that take a container apart or
// change it. Objects keep their members in text order, duplicates included.
Value expand_document(DocumentRef ref);

// A Value with the same contents. With `view_strings` its strings are views
// into the parser's storage (as valid as the DocumentRef); otherwise owned copies.
Value materialize(DocumentRef ref, bool view_strings = true);

}  // namespace tamsel
