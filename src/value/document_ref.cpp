#include "value/document_ref.h"

#include "value/object_map.h"

namespace tamsel {

Value document_value(DocumentRef ref) {
  using simdjson::dom::element_type;
  switch (ref.type()) {
    case element_type::ARRAY:
    case element_type::OBJECT: {
      const auto tape = std::bit_cast<simdjson::internal::tape_ref>(ref);
      // Positions are kept in 32 bits; a tape longer than that (a text close
      // to the 4 GiB limit) gets a built copy instead.
      if (tape.json_index > UINT32_MAX) return materialize(ref);
      return Value::document_part(ref.is_array() ? Kind::Array : Kind::Object, tape.doc,
                                  static_cast<uint32_t>(tape.json_index));
    }
    case element_type::STRING: {
      std::string_view s = ref.get_string().value_unsafe();
      return Value::string_view(s.data(), static_cast<uint32_t>(s.size()));
    }
    case element_type::BOOL: return Value::boolean(ref.get_bool().value_unsafe());
    case element_type::NULL_VALUE: return Value::null();
    case element_type::INT64: {
      const int64_t i = ref.get_int64().value_unsafe();
      return i < 0 ? Value::i64(i) : Value::u64(static_cast<uint64_t>(i));
    }
    case element_type::UINT64: return Value::u64(ref.get_uint64().value_unsafe());
    case element_type::DOUBLE: return Value::f64(ref.get_double().value_unsafe());
  }
  return Value::null();
}

Value expand_document(DocumentRef ref) {
  if (ref.is_array()) {
    simdjson::dom::array array = document_array(ref);
    Array elements;
    elements.reserve(document_element_count(array));
    for (DocumentRef element : array) elements.push_back(document_value(element));
    return Value::array(std::move(elements));
  }
  simdjson::dom::object object = document_object(ref);
  Value expanded = Value::object_with_room(document_element_count(object));
  ObjectMap& map = expanded.as_object();
  for (simdjson::dom::key_value_pair member : object) {
    Value key = Value::string_view(member.key.data(), static_cast<uint32_t>(member.key.size()));
    map.insert_unchecked(std::move(key), document_value(member.value));
  }
  return expanded;
}

}  // namespace tamsel
