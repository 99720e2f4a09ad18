// floor, ceil, round, sqrt, fabs, nan, infinite, isinfinite, isnan, isnormal.
#include <bit>
#include <cmath>
#include <limits>

#include "engine/builtins_internal.h"

namespace tamsel::engine {
namespace {

// Truncation toward zero that clamps instead of overflowing: NaN is 0 and
// anything beyond the I64 range takes the nearest end of it.
int64_t float_to_int_saturating(double x) {
  if (std::isnan(x)) return 0;
  // 2^63 is exact as a double; every double below it fits an I64.
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x < -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(x);
}

void push(ResultList& out, Value v) { out.push_back(EvalValue::owned(std::move(v))); }

// floor, ceil and round: integers are already integral and pass through as
// they are; floats are rounded, then clamped into an I64.
void rounding(EvalValue input, double (*round_fn)(double), ResultList& out) {
  const View v = input.view();
  if (v.kind() == Kind::I64 || v.kind() == Kind::U64) {
    out.push_back(std::move(input));
  } else if (v.kind() == Kind::F64) {
    push(out, Value::i64(float_to_int_saturating(round_fn(v.as_f64()))));
  }
}

}  // namespace

namespace builtin {

void floor(EvalValue input, ResultList& out) {
  rounding(std::move(input), [](double x) { return std::floor(x); }, out);
}

void ceil(EvalValue input, ResultList& out) {
  rounding(std::move(input), [](double x) { return std::ceil(x); }, out);
}

void round(EvalValue input, ResultList& out) {
  // std::round takes halves away from zero.
  rounding(std::move(input), [](double x) { return std::round(x); }, out);
}

void sqrt(EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.is_number()) push(out, Value::f64(std::sqrt(v.as_double())));
}

void fabs(EvalValue input, ResultList& out) {
  const View v = input.view();
  switch (v.kind()) {
    case Kind::I64: push(out, integer_magnitude(v.as_i64())); return;
    case Kind::U64: out.push_back(std::move(input)); return;
    case Kind::F64: push(out, Value::f64(std::fabs(v.as_f64()))); return;
    default: return;
  }
}

void nan(EvalValue /*input*/, ResultList& out) {
  push(out, Value::f64(std::bit_cast<double>(uint64_t{0x7FF8000000000000})));
}

void infinite(EvalValue /*input*/, ResultList& out) {
  push(out, Value::f64(std::numeric_limits<double>::infinity()));
}

void is_infinite(EvalValue input, ResultList& out) {
  const View v = input.view();
  push(out, Value::boolean(v.is_number() && std::isinf(v.as_double())));
}

void is_nan(EvalValue input, ResultList& out) {
  const View v = input.view();
  push(out, Value::boolean(v.kind() == Kind::F64 && std::isnan(v.as_f64())));
}

void is_normal(EvalValue input, ResultList& out) {
  const View v = input.view();
  push(out, Value::boolean(v.is_number() && std::fpclassify(v.as_double()) == FP_NORMAL));
}

}  // namespace builtin

}  // namespace tamsel::engine
