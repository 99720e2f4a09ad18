// The working value of the evaluator. It is one of:
// - owned: a Value the evaluator owns and may take apart;
// - a reference to a Value that outlives it (part of a value a caller holds);
// - a reference to a part of a value that the references to its parts own
//   together (shared), which is how recursive descent hands out the levels
//   of a value the query built without copying them;
// - a reference into the parsed input document, read in place from the
//   parser's tape. Selections from the document stay in this form, so a
//   query that only selects never builds a tree of the document.
// Every form is read through view(). Operations that take a value apart use
// get(), which for a document reference builds its top level only (its
// elements or members stay references into the document), owned by this
// EvalValue. A Value that is itself a document part (Value::document_part)
// always becomes a document reference here.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "value/document_ref.h"
#include "value/value.h"
#include "value/view.h"

namespace tamsel::engine {

class EvalValue {
 public:
  static EvalValue borrowed(const Value& v) {
    return v.is_document_part() ? EvalValue(document_ref_of(v)) : EvalValue(Form::Ref, &v);
  }
  static EvalValue owned(Value v) {
    return v.is_document_part() ? EvalValue(document_ref_of(v)) : EvalValue(std::move(v));
  }
  static EvalValue document(DocumentRef ref) { return EvalValue(ref); }
  // A reference to `part`, which lies in `root`; keeps `root` alive.
  static EvalValue shared(std::shared_ptr<const Value> root, const Value& part) {
    if (part.is_document_part()) return EvalValue(document_ref_of(part));
    EvalValue v(Form::Shared, &part);
    v.root_ = std::move(root);
    return v;
  }

  EvalValue(EvalValue&&) noexcept = default;
  EvalValue& operator=(EvalValue&&) noexcept = default;

  // Not owned: parts must be copied, not moved out.
  bool is_borrowed() const { return form_ != Form::Owned; }
  // A reference into the input document, readable through document_ref().
  bool is_document() const { return form_ == Form::Document; }
  DocumentRef document_ref() const { return document_; }
  // The value get() returns is storage of this EvalValue (owned, or built from
  // the document for it), so parts of it may be moved out when it is consumed.
  bool owns_storage() const { return form_ == Form::Owned || (form_ == Form::Document && built_); }

  Kind kind() const { return form_ == Form::Document ? kind_of(document_) : get().kind(); }

  // The value this denotes, to read, whichever form it has.
  View view() const {
    switch (form_) {
      case Form::Owned: return View(owned_);
      case Form::Ref:
      case Form::Shared: return View(*ref_);
      case Form::Document: break;
    }
    return View(document_);
  }

  // The value this denotes as a built Value, whose parts may be taken.
  const Value& get() const {
    switch (form_) {
      case Form::Owned: return owned_;
      case Form::Ref:
      case Form::Shared: return *ref_;
      case Form::Document: break;
    }
    if (!built_) {
      const bool container = document_.is_array() || document_.is_object();
      owned_ = container ? expand_document(document_) : document_value(document_);
      built_ = true;
    }
    return owned_;
  }
  // The value as one the caller owns: moved out of owned storage, a document
  // value for a document reference (containers by reference), deep-copied
  // otherwise (document parts inside stay references).
  Value take() && {
    if (owns_storage()) return std::move(owned_);
    return form_ == Form::Document ? document_value(document_) : ref_->copy();
  }
  // Like take(), with the top level built: for changing it or taking it apart.
  Value take_open() && {
    if (form_ == Form::Document) get();
    return std::move(*this).take();
  }
  // A second EvalValue for the same value: the same reference for every
  // form but an owned value, which is deep-copied.
  EvalValue share_or_copy() const {
    switch (form_) {
      case Form::Owned: return EvalValue(owned_.copy());
      case Form::Ref: return EvalValue(Form::Ref, ref_);
      case Form::Shared: return shared(root_, *ref_);
      case Form::Document: break;
    }
    return EvalValue(document_);
  }
  // A reference to `part`, an element or member value inside this borrowed
  // value, that stays valid as long as this value would.
  EvalValue part(const Value& part) const {
    return form_ == Form::Shared ? shared(root_, part) : borrowed(part);
  }
  // `part`, read through view() (an element or member value), as a value of
  // its own, copying nothing: a reference into the document for a part on
  // the tape, moved out of owned storage, which is about to be dropped, and a
  // reference into a borrowed value otherwise.
  EvalValue select(View part) {
    if (part.in_document()) return document(part.document_ref());
    // `part` lives in storage this value owns; only its constness is a view.
    if (owns_storage()) return owned(std::move(const_cast<Value&>(part.value())));
    return this->part(part.value());
  }
  // The value and its parts as shared references: an owned value moves into
  // shared storage; only when owns_storage() and not a document reference.
  std::pair<std::shared_ptr<const Value>, const Value*> to_shared() && {
    if (form_ == Form::Shared) return {std::move(root_), ref_};
    auto root = std::make_shared<const Value>(std::move(owned_));
    const Value* top = root.get();
    return {std::move(root), top};
  }
  bool is_shared() const { return form_ == Form::Shared; }
  // A reference to the same value for a use that ends before this EvalValue
  // does (the operands of conditions, arithmetic and object construction).
  EvalValue borrow() const {
    switch (form_) {
      case Form::Owned: return EvalValue(Form::Ref, &owned_);
      case Form::Ref:
      case Form::Shared: return EvalValue(Form::Ref, ref_);
      case Form::Document: break;
    }
    return EvalValue(document_);
  }
  // Owned storage, for taking parts out of it; only when owns_storage().
  Value& owned_value() {
    get();
    return owned_;
  }

 private:
  enum class Form : uint8_t { Owned, Ref, Shared, Document };
  EvalValue(Form form, const Value* ref) : form_(form), ref_(ref) {}
  explicit EvalValue(Value v) : form_(Form::Owned), owned_(std::move(v)) {}
  explicit EvalValue(DocumentRef ref) : form_(Form::Document), document_(ref) {}

  Form form_;
  mutable bool built_ = false;  // Document form: owned_ holds the built value
  const Value* ref_ = nullptr;  // Ref and Shared forms
  std::shared_ptr<const Value> root_;  // Shared form: what ref_ lies in
  DocumentRef document_;
  mutable Value owned_;
};

// Only null and false are false; 0, "", [] and {} are true.
inline bool is_truthy(const EvalValue& v) {
  Kind kind = v.kind();
  return !(kind == Kind::Null || (kind == Kind::Bool && !v.view().as_bool()));
}

// Outputs of a stage or a sub-pipeline, in order.
using ResultList = std::vector<EvalValue>;

// A part of `input` (an element, member value or key that lies inside it) as
// a Value of its own: moved out of an owned input, which is about to be
// dropped anyway, deep-copied from a borrowed one, which must stay intact,
// and by reference for a part of the document.
inline Value take_part(EvalValue& input, View part) {
  if (part.in_document()) return document_value(part.document_ref());
  if (!input.owns_storage()) return part.value().copy();
  // `part` lives in storage the input owns; only its constness is a view.
  return std::move(const_cast<Value&>(part.value()));
}

}  // namespace tamsel::engine
