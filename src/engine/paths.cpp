#include "engine/paths.h"

#include <memory>

#include "runtime/bounds.h"
#include "value/object_map.h"

namespace tamsel::engine {
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
