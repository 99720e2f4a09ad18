#include "engine/paths.h"

#include <memory>

#include "runtime/bounds.h"
#include "value/object_map.h"

namespace tamsel::engine {

std::optional<size_t> array_position(int32_t index, size_t n) {
  int64_t count = static_cast<int64_t>(n);
  int64_t position = index >= 0 ? index : count + index;
  if (position < 0 || position >= count) return std::nullopt;
  return static_cast<size_t>(position);
}

bool is_path_step(const query::Filter& filter) {
  return std::holds_alternative<query::Field>(filter.node) ||
         std::holds_alternative<query::Index>(filter.node);
}

std::optional<View> path_step(const query::Field& step, View value) {
  if (value.kind() != Kind::Object) return std::nullopt;
  return value.member(step.name);
}

std::optional<View> path_step(const query::Index& step, View value) {
  if (value.kind() != Kind::Array) return std::nullopt;
  const std::optional<size_t> position = array_position(step.index, value.size());
  if (!position) return std::nullopt;
  return value.element(*position);
}

std::optional<View> path_step(const query::Filter& step, View value) {
  if (const auto* field = std::get_if<query::Field>(&step.node)) return path_step(*field, value);
  return path_step(std::get<query::Index>(step.node), value);
}

namespace {

// Pre-order walk of a part of the input document, read in place.
void descend_document(DocumentRef v, ResultList& out) {
  runtime::note_work();
  out.push_back(EvalValue::document(v));
  if (v.is_array()) {
    for (DocumentRef element : document_array(v)) descend_document(element, out);
  } else if (v.is_object()) {
    for (simdjson::dom::key_value_pair member : document_object(v))
      descend_document(member.value, out);
  }
}

// Pre-order walk below `v`, references only.
void descend_borrowed(const Value& v, ResultList& out) {
  if (v.is_document_part()) return descend_document(document_ref_of(v), out);
  runtime::note_work();
  out.push_back(EvalValue::borrowed(v));
  if (v.kind() == Kind::Array) {
    for (const Value& element : v.as_array()) descend_borrowed(element, out);
  } else if (v.kind() == Kind::Object) {
    for (const ObjectMap::Entry& entry : v.as_object()) descend_borrowed(entry.value, out);
  }
}

// Pre-order walk below `v`, which lies in `root`: shared references only, so
// no level is copied.
void descend_shared(const std::shared_ptr<const Value>& root, const Value& v, ResultList& out) {
  if (v.is_document_part()) return descend_document(document_ref_of(v), out);
  runtime::note_work();
  out.push_back(EvalValue::shared(root, v));
  if (v.kind() == Kind::Array) {
    for (const Value& element : v.as_array()) descend_shared(root, element, out);
  } else if (v.kind() == Kind::Object) {
    for (const ObjectMap::Entry& entry : v.as_object()) descend_shared(root, entry.value, out);
  }
}

}  // namespace

void recursive_descent(EvalValue v, ResultList& out) {
  if (v.is_document()) {
    descend_document(v.document_ref(), out);
  } else if (v.owns_storage() || v.is_shared()) {
    // The outputs share the value: it is released with the last of them.
    auto [root, top] = std::move(v).to_shared();
    descend_shared(root, *top, out);
  } else {
    descend_borrowed(v.get(), out);
  }
}

}  // namespace tamsel::engine
