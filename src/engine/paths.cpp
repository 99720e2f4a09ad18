#include "engine/paths.h"

#include "value/object_map.h"

namespace tamsel::engine {
namespace {

// Pre-order walk of a part of the input document, read in place.
void descend_document(JsonRef v, ResultList& out) {
  out.push_back(EvalValue::document(v));
  if (v.is_array()) {
    for (JsonRef element : json_array(v)) descend_document(element, out);
  } else if (v.is_object()) {
    for (simdjson::dom::key_value_pair member : json_object(v))
      descend_document(member.value, out);
  }
}

// Pre-order walk below `v`, references only.
void descend_borrowed(const Value& v, ResultList& out) {
  if (v.is_document_part()) return descend_document(part_ref(v), out);
  out.push_back(EvalValue::borrowed(v));
  if (v.kind() == Kind::Array) {
    for (const Value& element : v.as_array()) descend_borrowed(element, out);
  } else if (v.kind() == Kind::Object) {
    for (const ObjectMap::Entry& entry : v.as_object()) descend_borrowed(entry.value, out);
  }
}

// Pre-order walk that takes `v` apart: each container is output as a copy
// before its children are visited, each scalar is moved out. Document parts
// in it are walked in place.
void descend_owned(Value& v, ResultList& out) {
  if (v.is_document_part()) {
    descend_document(part_ref(v), out);
  } else if (v.kind() == Kind::Array) {
    out.push_back(EvalValue::owned(v.copy()));
    for (Value& element : v.as_array()) descend_owned(element, out);
  } else if (v.kind() == Kind::Object) {
    out.push_back(EvalValue::owned(v.copy()));
    for (ObjectMap::Entry& entry : v.as_object()) descend_owned(entry.value, out);
  } else {
    out.push_back(EvalValue::owned(std::move(v)));
  }
}

}  // namespace

void recursive_descent(EvalValue v, ResultList& out) {
  if (v.is_document()) {
    descend_document(v.json(), out);
  } else if (!v.owns_storage()) {
    descend_borrowed(v.get(), out);
  } else {
    descend_owned(v.owned_value(), out);
  }
}

}  // namespace tamsel::engine
