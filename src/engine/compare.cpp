#include "engine/compare.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/bounds.h"

namespace tamsel::engine {

namespace {

using query::CompareOp;

// Sort order of the kinds; false and true are ranked apart so that no
// comparison of Bool payloads is needed afterwards.
int kind_rank(const View& v) {
  switch (v.kind()) {
    case Kind::Null: return 0;
    case Kind::Bool: return v.as_bool() ? 2 : 1;
    case Kind::I64:
    case Kind::U64:
    case Kind::F64: return 3;
    case Kind::String: return 4;
    case Kind::Array: return 5;
    case Kind::Object: return 6;
  }
  return 0;
}

template <typename T>
Ordering three_way(T a, T b) {
  if (a < b) return Ordering::Less;
  if (b < a) return Ordering::Greater;
  return Ordering::Equal;
}

// Unsigned bytes over the common prefix, then the shorter string first.
Ordering order_strings(std::string_view a, std::string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  if (common != 0) {
    const int c = std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c < 0 ? Ordering::Less : Ordering::Greater;
  }
  return three_way(a.size(), b.size());
}

// Exact comparison of a signed and an unsigned integer, without going
// through either type's range.
Ordering order_signed_unsigned(int64_t a, uint64_t b) {
  if (a < 0) return Ordering::Less;
  return three_way(static_cast<uint64_t>(a), b);
}

Ordering flip(Ordering o) { return static_cast<Ordering>(-static_cast<int>(o)); }

bool holds(Ordering o, CompareOp op) {
  switch (op) {
    case CompareOp::Eq: return o == Ordering::Equal;
    case CompareOp::Ne: return o != Ordering::Equal;
    case CompareOp::Gt: return o == Ordering::Greater;
    case CompareOp::Lt: return o == Ordering::Less;
    case CompareOp::Ge: return o != Ordering::Less;
    case CompareOp::Le: return o != Ordering::Greater;
  }
  return false;
}

// The built-in operators already give IEEE semantics, NaN included: every
// relation is false and != is true.
bool ieee(double a, CompareOp op, double b) {
  switch (op) {
    case CompareOp::Eq: return a == b;
    case CompareOp::Ne: return a != b;
    case CompareOp::Gt: return a > b;
    case CompareOp::Lt: return a < b;
    case CompareOp::Ge: return a >= b;
    case CompareOp::Le: return a <= b;
  }
  return false;
}

bool compare_numbers(const View& a, CompareOp op, const View& b) {
  const Kind ka = a.kind(), kb = b.kind();
  if (ka == Kind::F64 || kb == Kind::F64) {
    return ieee(a.as_double(), op, b.as_double());
  }
  if (ka == Kind::I64 && kb == Kind::I64) return holds(three_way(a.as_i64(), b.as_i64()), op);
  if (ka == Kind::U64 && kb == Kind::U64) return holds(three_way(a.as_u64(), b.as_u64()), op);
  if (ka == Kind::I64) return holds(order_signed_unsigned(a.as_i64(), b.as_u64()), op);
  return holds(flip(order_signed_unsigned(b.as_i64(), a.as_u64())), op);
}

}  // namespace

Ordering order_values(const View& a, const View& b) {
  // Numbers first: what sort, min and max mostly meet. Unordered (NaN) falls
  // through both tests and counts as Equal.
  if (a.is_number() && b.is_number()) return three_way(a.as_double(), b.as_double());
  const int ra = kind_rank(a), rb = kind_rank(b);
  if (ra != rb) return three_way(ra, rb);
  switch (a.kind()) {
    case Kind::String:
      return order_strings(a.as_string(), b.as_string());
    case Kind::Array: {
      const View::Elements x = a.elements(), y = b.elements();
      auto i = x.begin(), j = y.begin();
      for (; i != x.end() && j != y.end(); ++i, ++j) {
        runtime::note_work();  // arrays that differ only at their ends compare long
        const Ordering o = order_values(*i, *j);
        if (o != Ordering::Equal) return o;
      }
      // The shorter array first.
      if (i != x.end()) return Ordering::Greater;
      return j != y.end() ? Ordering::Less : Ordering::Equal;
    }
    default:
      // Null, either Bool (the rank already separates false from true) and
      // objects, which are never ordered among themselves.
      return Ordering::Equal;
  }
}

bool compare_values(const View& a, CompareOp op, const View& b) {
  if (a.is_number() && b.is_number()) return compare_numbers(a, op, b);
  if (a.kind() == b.kind()) {
    switch (a.kind()) {
      case Kind::Null:
        return holds(Ordering::Equal, op);
      case Kind::Bool:
        return holds(three_way(a.as_bool(), b.as_bool()), op);
      case Kind::String:
        return holds(order_strings(a.as_string(), b.as_string()), op);
      default:
        break;  // arrays and objects are never equal, not even to themselves
    }
  }
  return op == CompareOp::Ne;
}

}  // namespace tamsel::engine
