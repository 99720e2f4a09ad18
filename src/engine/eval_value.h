// The working value of the evaluator: either a value it owns, or a reference
// to a value inside the input document (which outlives the whole run).
#pragma once

#include <utility>
#include <vector>

#include "value/value.h"

namespace tamsel::engine {

class EvalValue {
 public:
  static EvalValue borrowed(const Value& v) { return EvalValue(&v); }
  static EvalValue owned(Value v) { return EvalValue(std::move(v)); }

  EvalValue(EvalValue&&) noexcept = default;
  EvalValue& operator=(EvalValue&&) noexcept = default;

  bool is_borrowed() const { return ref_ != nullptr; }
  // The value this denotes, whichever form it has.
  const Value& get() const { return ref_ ? *ref_ : owned_; }
  // The owned value: moved out of an owned EvalValue, deep-copied from a
  // borrowed one.
  Value take() && { return ref_ ? ref_->copy() : std::move(owned_); }
  // A second EvalValue for the same value: the same reference, or a deep copy.
  EvalValue share() const { return ref_ ? EvalValue(ref_) : EvalValue(owned_.copy()); }
  // Owned storage, for taking parts out of it; only when !is_borrowed().
  Value& owned_value() { return owned_; }

 private:
  explicit EvalValue(const Value* ref) : ref_(ref) {}
  explicit EvalValue(Value v) : ref_(nullptr), owned_(std::move(v)) {}

  const Value* ref_;
  Value owned_;
};

// Outputs of a stage or a sub-pipeline, in order.
using ResultList = std::vector<EvalValue>;

}  // namespace tamsel::engine
