// The working value of the evaluator. It is one of:
// - owned: a Value the evaluator owns and may take apart;
// - a reference to a Value that outlives it (part of a value a caller holds);
// - a reference into the parsed input document, read in place from the
//   parser's tape. Selections from the document stay in this form, so a
//   query that only selects never builds a tree of the document. Operations
//   that need a Value of it build one on first use (get()), owned by this
//   EvalValue.
#pragma once

#include <utility>
#include <vector>

#include "value/json_ref.h"
#include "value/value.h"

namespace tamsel::engine {

class EvalValue {
 public:
  static EvalValue borrowed(const Value& v) { return EvalValue(Form::Ref, &v); }
  static EvalValue owned(Value v) { return EvalValue(std::move(v)); }
  static EvalValue document(JsonRef ref) { return EvalValue(ref); }

  EvalValue(EvalValue&&) noexcept = default;
  EvalValue& operator=(EvalValue&&) noexcept = default;

  // Not owned: parts must be copied, not moved out.
  bool is_borrowed() const { return form_ != Form::Owned; }
  // A reference into the input document, readable through json().
  bool is_document() const { return form_ == Form::Json; }
  JsonRef json() const { return json_; }
  // The value get() returns is storage of this EvalValue (owned, or built from
  // the document for it), so parts of it may be moved out when it is consumed.
  bool owns_storage() const { return form_ == Form::Owned || (form_ == Form::Json && built_); }

  Kind kind() const { return form_ == Form::Json ? kind_of(json_) : get().kind(); }

  // The value this denotes, whichever form it has.
  const Value& get() const {
    switch (form_) {
      case Form::Owned: return owned_;
      case Form::Ref: return *ref_;
      case Form::Json: break;
    }
    if (!built_) {
      owned_ = materialize(json_);
      built_ = true;
    }
    return owned_;
  }
  // The value as one the caller owns: moved out of owned storage, deep-copied
  // otherwise.
  Value take() && {
    if (owns_storage()) {
      get();
      return std::move(owned_);
    }
    return form_ == Form::Json ? materialize(json_) : ref_->copy();
  }
  // A second EvalValue for the same value: the same reference, or a deep copy.
  EvalValue share() const {
    switch (form_) {
      case Form::Owned: return EvalValue(owned_.copy());
      case Form::Ref: return EvalValue(Form::Ref, ref_);
      case Form::Json: break;
    }
    return EvalValue(json_);
  }
  // A reference to the same value for a use that ends before this EvalValue
  // does (the operands of conditions, arithmetic and object construction).
  EvalValue borrow() const {
    switch (form_) {
      case Form::Owned: return EvalValue(Form::Ref, &owned_);
      case Form::Ref: return EvalValue(Form::Ref, ref_);
      case Form::Json: break;
    }
    return EvalValue(json_);
  }
  // Owned storage, for taking parts out of it; only when owns_storage().
  Value& owned_value() {
    get();
    return owned_;
  }

 private:
  enum class Form : uint8_t { Owned, Ref, Json };
  EvalValue(Form form, const Value* ref) : form_(form), ref_(ref) {}
  explicit EvalValue(Value v) : form_(Form::Owned), owned_(std::move(v)) {}
  explicit EvalValue(JsonRef ref) : form_(Form::Json), json_(ref) {}

  Form form_;
  mutable bool built_ = false;  // Json form: owned_ holds the built value
  const Value* ref_ = nullptr;
  JsonRef json_;
  mutable Value owned_;
};

// Only null and false are false; 0, "", [] and {} are true.
inline bool is_truthy(const EvalValue& v) {
  Kind kind = v.kind();
  return !(kind == Kind::Null || (kind == Kind::Bool && !v.get().as_bool()));
}

// Outputs of a stage or a sub-pipeline, in order.
using ResultList = std::vector<EvalValue>;

}  // namespace tamsel::engine
