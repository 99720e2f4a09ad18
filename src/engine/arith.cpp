#include "engine/arith.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "engine/equal_set.h"
#include "runtime/bounds.h"

namespace tamsel::engine {

namespace {

using query::ArithOp;

// Float to int64 with saturation at both ends and NaN as 0.
int64_t saturate_to_i64(double x) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (std::isnan(x)) return 0;
  if (x >= kTwoTo63) return std::numeric_limits<int64_t>::max();
  if (x < -kTwoTo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(x);
}

// Two's-complement wrapping: the arithmetic is done on uint64_t, where
// overflow is defined, and converted back modulo 2^64.
int64_t wrap(uint64_t bits) { return static_cast<int64_t>(bits); }

std::optional<Value> integer_op(double fa, ArithOp op, double fb) {
  const int64_t a = saturate_to_i64(fa);
  const int64_t b = saturate_to_i64(fb);
  const auto ua = static_cast<uint64_t>(a);
  const auto ub = static_cast<uint64_t>(b);
  switch (op) {
    case ArithOp::Add: return Value::i64(wrap(ua + ub));
    case ArithOp::Sub: return Value::i64(wrap(ua - ub));
    case ArithOp::Mul: return Value::i64(wrap(ua * ub));
    case ArithOp::Mod:
      if (b == 0) throw InternalFault("attempt to calculate the remainder with a divisor of zero");
      if (a == std::numeric_limits<int64_t>::min() && b == -1) {
        throw InternalFault("attempt to calculate the remainder with overflow");
      }
      return Value::i64(a % b);
    case ArithOp::Div: break;  // always a float operation
  }
  return std::nullopt;
}

std::optional<Value> numeric(View a, ArithOp op, View b) {
  const double fa = a.as_double();
  const double fb = b.as_double();
  const bool is_float = a.kind() == Kind::F64 || b.kind() == Kind::F64;
  if (op == ArithOp::Div) return Value::f64(fa / fb);
  if (!is_float) return integer_op(fa, op, fb);
  switch (op) {
    case ArithOp::Add: return Value::f64(fa + fb);
    case ArithOp::Sub: return Value::f64(fa - fb);
    case ArithOp::Mul: return Value::f64(fa * fb);
    case ArithOp::Mod: return Value::f64(std::fmod(fa, fb));
    case ArithOp::Div: break;
  }
  return std::nullopt;
}

Value concat_arrays(View a, View b) {
  Array out;
  out.reserve(a.size() + b.size());
  for (const View& side : {a, b}) {
    for (View v : side.elements()) {
      runtime::note_work();
      out.push_back(v.to_value());
    }
  }
  return Value::array(std::move(out));
}

// Shallow merge: members of b replace those of a with the same key.
Value merge_objects(View a, View b) {
  Value merged = Value::object_with_room(a.size() + b.size());
  ObjectMap& out = merged.as_object();
  for (const View& side : {a, b}) {
    for (const View::Member& m : side.members()) {
      runtime::note_work();
      out.insert(key_value(m), m.value.to_value());
    }
  }
  return merged;
}

Value concat_strings(std::string_view a, std::string_view b) {
  return Value::string_written(a.size() + b.size(), [&](char* out) {
    std::memcpy(out, a.data(), a.size());
    std::memcpy(out + a.size(), b.data(), b.size());
  });
}

// The elements of a that equal no element of b, in order.
Value subtract_arrays(View a, View b) {
  const EqualSet removed(b);
  Array out;
  for (View v : a.elements()) {
    runtime::note_work();
    if (!removed.contains_equal(v)) out.push_back(v.to_value());
  }
  return Value::array(std::move(out));
}

}  // namespace

std::optional<Value> arith(View a, ArithOp op, View b) {
  const Kind ka = a.kind(), kb = b.kind();
  if (op == ArithOp::Add) {
    if (ka == Kind::Array && kb == Kind::Array) return concat_arrays(a, b);
    if (ka == Kind::Object && kb == Kind::Object) return merge_objects(a, b);
    if (ka == Kind::Null) return b.to_value();
    if (kb == Kind::Null) return a.to_value();
    if (ka == Kind::String && kb == Kind::String) return concat_strings(a.as_string(), b.as_string());
  }
  if (op == ArithOp::Sub && ka == Kind::Array && kb == Kind::Array) {
    return subtract_arrays(a, b);
  }
  if (a.is_number() && b.is_number()) return numeric(a, op, b);
  return std::nullopt;
}

}  // namespace tamsel::engine
