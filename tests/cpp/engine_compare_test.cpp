#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/compare.h"
#include "engine_value_builders.h"

namespace {

using namespace tamsel::testing;
using tamsel::Array;
using tamsel::Value;
using tamsel::engine::compare_values;
using tamsel::engine::order_values;
using tamsel::engine::Ordering;
using tamsel::query::CompareOp;


Ordering reversed(Ordering o) {
  return o == Ordering::Less ? Ordering::Greater : o == Ordering::Greater ? Ordering::Less : o;
}

const char* name(Ordering o) {
  return o == Ordering::Less ? "Less" : o == Ordering::Greater ? "Greater" : "Equal";
}

struct OrderCase {
  Value a, b;
  Ordering expected;
};

TEST(OrderValues, Table) {
  const OrderCase cases[] = {
      // Kinds rank null < false < true < numbers < strings < arrays < objects.
      {N(), B(false), Ordering::Less},
      {B(false), B(true), Ordering::Less},
      {B(true), I(-1000), Ordering::Less},
      {F(kInf), S(""), Ordering::Less},
      {S("zzz"), arr(), Ordering::Less},
      {arr(obj()), obj(), Ordering::Less},
      {N(), N(), Ordering::Equal},
      {B(true), B(true), Ordering::Equal},
      // Numbers by their float conversion, whatever their kinds.
      {I(1), F(1.0), Ordering::Equal},
      {U(1), I(1), Ordering::Equal},
      {I(-1), U(0), Ordering::Less},
      {F(1.5), I(2), Ordering::Less},
      {F(-0.0), I(0), Ordering::Equal},
      {U(9007199254740993), U(9007199254740992), Ordering::Equal},
      {I(kI64Max), U(uint64_t{1} << 63), Ordering::Equal},  // both become 2^63
      {U(kU64Max), I(-1), Ordering::Greater},
      {F(-kInf), I(kI64Min), Ordering::Less},
      // NaN is unordered, which counts as Equal.
      {F(kNaN), I(1), Ordering::Equal},
      {F(kNaN), F(kNaN), Ordering::Equal},
      {F(kNaN), F(-kInf), Ordering::Equal},
      // Strings by unsigned bytes, then length.
      {S("B"), S("a"), Ordering::Less},
      {S("a"), S("ab"), Ordering::Less},
      {S("ab"), S("b"), Ordering::Less},
      {S(""), S(""), Ordering::Equal},
      {S("z"), S("\xC3\xA9"), Ordering::Less},  // é's lead byte is above 0x7F
      {S("\xEF\xBF\xBF"), S("\xF0\x9F\x98\x80"), Ordering::Less},  // U+FFFF < U+1F600
      {S(std::string_view("a\0b", 3)), S("a"), Ordering::Greater},
      // Arrays element-wise, then length.
      {arr(I(0), I(5)), arr(I(1)), Ordering::Less},
      {arr(I(1)), arr(I(1), I(2)), Ordering::Less},
      {arr(), arr(), Ordering::Equal},
      {arr(I(1), S("x")), arr(F(1.0), S("x")), Ordering::Equal},
      {arr(arr(N())), arr(arr(B(false))), Ordering::Less},
      {arr(obj("a", I(1))), arr(obj("b", I(2))), Ordering::Equal},
      // Objects are all alike, whatever they hold.
      {obj("b", I(1)), obj("a", I(2)), Ordering::Equal},
      {obj(), obj("a", arr()), Ordering::Equal},
  };
  for (const OrderCase& c : cases) {
    EXPECT_EQ(order_values(c.a, c.b), c.expected)
        << describe(c.a) << " vs " << describe(c.b) << ", want " << name(c.expected);
    EXPECT_EQ(order_values(c.b, c.a), reversed(c.expected))
        << describe(c.b) << " vs " << describe(c.a);
  }
}

TEST(OrderValues, StableSortOfMixedKinds) {
  struct SortCase {
    Value input, expected;
  };
  const SortCase cases[] = {
      {arr(N(), B(true), B(false), I(0), S("a"), arr(), obj()),
       arr(N(), B(false), B(true), I(0), S("a"), arr(), obj())},
      {arr(I(2), F(1.5), U(1)), arr(U(1), F(1.5), I(2))},
      {arr(I(1), F(1.0)), arr(I(1), F(1.0))},
      {arr(F(1.0), I(1)), arr(F(1.0), I(1))},
      {arr(S("b"), S("a"), S("B"), S("ab")), arr(S("B"), S("a"), S("ab"), S("b"))},
      {arr(arr(I(1), I(2)), arr(I(1)), arr(I(0), I(5))),
       arr(arr(I(0), I(5)), arr(I(1)), arr(I(1), I(2)))},
      {arr(obj("b", I(1)), obj("a", I(2))), arr(obj("b", I(1)), obj("a", I(2)))},
  };
  for (const SortCase& c : cases) {
    Value sorted = c.input.copy();
    Array& a = sorted.as_array();
    std::stable_sort(a.begin(), a.end(), [](const Value& x, const Value& y) {
      return order_values(x, y) == Ordering::Less;
    });
    EXPECT_TRUE(same(sorted, c.expected)) << describe(c.input) << " sorted to " << describe(sorted);
  }
}

// What the six operators give for one pair: the outcome of an ordered
// comparison, or Unrelated where only != holds (NaN, mismatched kinds, any
// two arrays or objects).
enum class Outcome { Lt, Eq, Gt, Unrelated };

Outcome mirrored(Outcome o) {
  return o == Outcome::Lt ? Outcome::Gt : o == Outcome::Gt ? Outcome::Lt : o;
}

bool expected_for(Outcome o, CompareOp op) {
  switch (op) {
    case CompareOp::Eq: return o == Outcome::Eq;
    case CompareOp::Ne: return o != Outcome::Eq;
    case CompareOp::Gt: return o == Outcome::Gt;
    case CompareOp::Lt: return o == Outcome::Lt;
    case CompareOp::Ge: return o == Outcome::Gt || o == Outcome::Eq;
    case CompareOp::Le: return o == Outcome::Lt || o == Outcome::Eq;
  }
  return false;
}

struct CompareCase {
  Value a, b;
  Outcome expected;
};

TEST(CompareValues, Table) {
  const CompareCase cases[] = {
      // Integers of the same kind: exact.
      {I(-5), I(3), Outcome::Lt},
      {I(kI64Min), I(kI64Max), Outcome::Lt},
      {U(kU64Max), U(kU64Max - 1), Outcome::Gt},
      // Integers across the signed/unsigned boundary: exact, not via floats.
      {U(kU64Max), I(-1), Outcome::Gt},
      {I(-1), U(0), Outcome::Lt},
      {I(7), U(7), Outcome::Eq},
      {I(kI64Max), U(uint64_t{1} << 63), Outcome::Lt},
      {U(static_cast<uint64_t>(kI64Max)), I(kI64Max), Outcome::Eq},
      {U(9007199254740993), U(9007199254740992), Outcome::Gt},
      {I(9007199254740993), U(9007199254740992), Outcome::Gt},
      {I(-9007199254740993), I(-9007199254740992), Outcome::Lt},
      // An integer against a float goes through the integer's float value.
      {I(1), F(1.0), Outcome::Eq},
      {U(9007199254740993), F(9007199254740992.0), Outcome::Eq},
      {I(2), F(1.5), Outcome::Gt},
      {F(-0.0), I(0), Outcome::Eq},
      {F(-0.0), F(0.0), Outcome::Eq},
      {F(-kInf), I(kI64Min), Outcome::Lt},
      {U(kU64Max), F(18446744073709551616.0), Outcome::Eq},
      // NaN relates to nothing, itself included.
      {F(kNaN), F(kNaN), Outcome::Unrelated},
      {F(kNaN), I(0), Outcome::Unrelated},
      {U(1), F(kNaN), Outcome::Unrelated},
      {F(kNaN), F(kInf), Outcome::Unrelated},
      // Booleans, null.
      {B(false), B(true), Outcome::Lt},
      {B(true), B(true), Outcome::Eq},
      {N(), N(), Outcome::Eq},
      // Strings: equality by bytes, order by unsigned bytes then length.
      {S("abc"), S("abc"), Outcome::Eq},
      {S("B"), S("a"), Outcome::Lt},
      {S("a"), S("ab"), Outcome::Lt},
      {S("\xC3\xA9"), S("z"), Outcome::Gt},
      {S("e\xCC\x81"), S("\xC3\xA9"), Outcome::Lt},  // no normalisation
      // Mismatched kinds.
      {I(1), S("1"), Outcome::Unrelated},
      {N(), B(false), Outcome::Unrelated},
      {I(0), B(false), Outcome::Unrelated},
      {I(1), B(true), Outcome::Unrelated},
      {N(), I(0), Outcome::Unrelated},
      {S(""), arr(), Outcome::Unrelated},
      {arr(), obj(), Outcome::Unrelated},
      // Arrays and objects are never equal, not even when identical.
      {arr(I(1)), arr(I(1)), Outcome::Unrelated},
      {arr(), arr(), Outcome::Unrelated},
      {arr(I(1)), arr(I(2)), Outcome::Unrelated},
      {obj(), obj(), Outcome::Unrelated},
      {obj("a", I(1)), obj("a", I(1)), Outcome::Unrelated},
  };
  const CompareOp ops[] = {CompareOp::Eq, CompareOp::Ne, CompareOp::Gt,
                           CompareOp::Lt, CompareOp::Ge, CompareOp::Le};
  for (const CompareCase& c : cases) {
    for (CompareOp op : ops) {
      EXPECT_EQ(compare_values(c.a, op, c.b), expected_for(c.expected, op))
          << describe(c.a) << " op" << static_cast<int>(op) << " " << describe(c.b);
      EXPECT_EQ(compare_values(c.b, op, c.a), expected_for(mirrored(c.expected), op))
          << describe(c.b) << " op" << static_cast<int>(op) << " " << describe(c.a);
    }
  }
}

TEST(CompareValues, ArrayIsNotEqualToItself) {
  const Value a = arr(I(1), S("x"));
  EXPECT_FALSE(compare_values(a, CompareOp::Eq, a));
  EXPECT_TRUE(compare_values(a, CompareOp::Ne, a));
  EXPECT_FALSE(compare_values(a, CompareOp::Ge, a));
}

TEST(CompareValues, ViewsCompareLikeOwnedStrings) {
  const char text[] = "abcabd";
  const Value view = Value::string_view(text, 3);
  EXPECT_TRUE(compare_values(view, CompareOp::Eq, S("abc")));
  EXPECT_TRUE(compare_values(view, CompareOp::Lt, Value::string_view(text + 3, 3)));
  EXPECT_EQ(order_values(S("abc"), view), Ordering::Equal);
}

}  // namespace
