#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "engine/arith.h"
#include "engine_value_builders.h"

namespace {

using namespace tamsel::testing;
using tamsel::InternalFault;
using tamsel::Kind;
using tamsel::ObjectMap;
using tamsel::Value;
using tamsel::engine::arith;
using tamsel::query::ArithOp;


constexpr ArithOp Add = ArithOp::Add, Sub = ArithOp::Sub, Mul = ArithOp::Mul,
                  Div = ArithOp::Div, Mod = ArithOp::Mod;

struct ArithCase {
  Value a;
  ArithOp op;
  Value b;
  std::optional<Value> expected;  // nullopt: the operator does not apply
};

void check(const ArithCase& c) {
  const std::string what =
      cat(describe(c.a), " op", std::to_string(static_cast<int>(c.op)), " ", describe(c.b));
  const std::optional<Value> got = arith(c.a, c.op, c.b);
  if (!c.expected) {
    EXPECT_FALSE(got) << what << " gave " << describe(*got);
  } else if (!got) {
    ADD_FAILURE() << what << " gave nothing, want " << describe(*c.expected);
  } else {
    EXPECT_TRUE(same(*got, *c.expected)) << what << " gave " << describe(*got) << ", want "
                                         << describe(*c.expected);
  }
}

TEST(Arith, Numbers) {
  const ArithCase cases[] = {
      // Two integers give I64, whatever their kinds; a float makes it F64.
      {I(1), Add, I(2), I(3)},
      {U(1), Add, U(2), I(3)},
      {I(1), Add, F(2.5), F(3.5)},
      {F(0.5), Sub, U(2), F(-1.5)},
      {I(6), Mul, I(-7), I(-42)},
      {F(1.5), Mul, F(2.0), F(3.0)},
      // Division is always a float division.
      {I(4), Div, I(2), F(2.0)},
      {I(7), Div, I(2), F(3.5)},
      {I(1), Div, I(0), F(kInf)},
      {I(-1), Div, U(0), F(-kInf)},
      {I(0), Div, I(0), F(kNaN)},
      {F(1.0), Div, F(-0.0), F(-kInf)},
      // Wrapping two's complement.
      {I(kI64Max), Add, I(1), I(kI64Min)},
      {I(kI64Min), Sub, I(1), I(kI64Max)},
      {I(kI64Min), Mul, I(-1), I(kI64Min)},
      {I(4611686018427387904), Mul, I(4), I(0)},
      {I(kI64Min), Add, I(kI64Min), I(0)},
      // Operands pass through floats: precision beyond 2^53 is lost.
      {U(9007199254740993), Add, I(0), I(9007199254740992)},
      {I(9007199254740993), Sub, I(9007199254740992), I(0)},
      // A U64 above the signed range saturates to INT64_MAX.
      {U(kU64Max), Add, I(0), I(kI64Max)},
      {U(kU64Max), Sub, I(1), I(kI64Max - 1)},
      {U(uint64_t{1} << 63), Mul, I(1), I(kI64Max)},
      {U(kU64Max), Add, F(0.0), F(18446744073709551616.0)},
      // Integer remainder truncates: its sign follows the dividend.
      {I(7), Mod, I(-3), I(1)},
      {I(-7), Mod, I(3), I(-1)},
      {I(-7), Mod, I(-3), I(-1)},
      {I(7), Mod, I(3), I(1)},
      {U(10), Mod, U(4), I(2)},
      {I(kI64Min), Mod, I(kI64Max), I(-1)},
      // Float remainder is fmod.
      {F(7.5), Mod, I(2), F(1.5)},
      {F(-7.5), Mod, I(2), F(-1.5)},
      {I(7), Mod, F(-2.5), F(2.0)},
      {F(5.0), Mod, F(0.0), F(kNaN)},
      {I(5), Mod, F(0.0), F(kNaN)},
      {F(kInf), Mod, I(2), F(kNaN)},
      {I(kI64Min), Mod, F(-1.0), F(-0.0)},  // a float operation: no overflow fault
      // Float overflow gives infinities.
      {F(1e308), Mul, I(10), F(kInf)},
      {F(kInf), Sub, F(kInf), F(kNaN)},
  };
  for (const ArithCase& c : cases) check(c);
}

TEST(Arith, ContainersStringsAndNull) {
  const ArithCase cases[] = {
      {arr(I(1)), Add, arr(S("a"), arr()), arr(I(1), S("a"), arr())},
      {arr(), Add, arr(), arr()},
      {S("ab"), Add, S("cd"), S("abcd")},
      {S(""), Add, S(""), S("")},
      {S("\xC3\xA9"), Add, S("\xE2\x82\xAC"), S("\xC3\xA9\xE2\x82\xAC")},
      // Null is an identity for + only, on either side, for any kind.
      {N(), Add, obj("a", I(1)), obj("a", I(1))},
      {arr(I(1)), Add, N(), arr(I(1))},
      {S("a"), Add, N(), S("a")},
      {N(), Add, N(), N()},
      {B(false), Add, N(), B(false)},
      {N(), Add, F(kNaN), F(kNaN)},
      {I(5), Sub, N(), std::nullopt},
      {N(), Mul, I(2), std::nullopt},
      {N(), Mod, N(), std::nullopt},
      // Kinds that do not combine.
      {S("a"), Add, I(1), std::nullopt},
      {I(1), Add, S("a"), std::nullopt},
      {B(true), Add, B(true), std::nullopt},
      {B(true), Add, I(1), std::nullopt},
      {arr(), Add, obj(), std::nullopt},
      {S("ab"), Sub, S("b"), std::nullopt},
      {S("ab"), Mul, I(2), std::nullopt},
      {obj(), Sub, obj(), std::nullopt},
      {arr(I(1)), Mul, arr(I(1)), std::nullopt},
      {arr(I(1)), Sub, I(1), std::nullopt},
      // Array subtraction removes elements equal under the operators' rule.
      {arr(I(1), I(2), F(1.0), S("1"), arr(I(1))), Sub, arr(I(1)), arr(I(2), S("1"), arr(I(1)))},
      {arr(I(1), I(2), I(1)), Sub, arr(F(1.0), I(5)), arr(I(2))},
      {arr(arr(), obj(), N()), Sub, arr(arr(), obj(), N()), arr(arr(), obj())},
      {arr(F(kNaN), I(3)), Sub, arr(F(kNaN)), arr(F(kNaN), I(3))},
      {arr(U(kU64Max), I(-1)), Sub, arr(I(-1)), arr(U(kU64Max))},
      {arr(S("a"), S("b")), Sub, arr(), arr(S("a"), S("b"))},
      {arr(), Sub, arr(I(1)), arr()},
  };
  for (const ArithCase& c : cases) check(c);
}

TEST(Arith, ObjectAdditionIsShallowAndRightWins) {
  const ArithCase cases[] = {
      {obj("a", I(1), "b", I(2)), Add, obj("b", I(3), "c", I(4)),
       obj("a", I(1), "b", I(3), "c", I(4))},
      {obj("a", obj("x", I(1))), Add, obj("a", obj("y", I(2))), obj("a", obj("y", I(2)))},
      {obj(), Add, obj(), obj()},
      {obj("k", N()), Add, obj(), obj("k", N())},
  };
  for (const ArithCase& c : cases) check(c);
}

TEST(Arith, ObjectAdditionAcrossTheHashedSize) {
  ObjectMap left = ObjectMap::with_capacity(30);
  ObjectMap right = ObjectMap::with_capacity(30);
  for (int i = 0; i < 30; ++i) {
    left.insert(S(cat("k", std::to_string(i))), I(i));
    right.insert(S(cat("k", std::to_string(i + 20))), I(-i));
  }
  const std::optional<Value> sum =
      arith(Value::object(std::move(left)), Add, Value::object(std::move(right)));
  ASSERT_TRUE(sum && sum->kind() == Kind::Object);
  const ObjectMap& m = sum->as_object();
  ASSERT_EQ(m.size(), 50u);
  for (int i = 0; i < 50; ++i) {
    const Value* v = m.get(cat("k", std::to_string(i)));
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(v->as_i64(), i < 20 ? i : -(i - 20)) << i;
  }
}

TEST(Arith, ResultOwnsItsParts) {
  std::optional<Value> sum;
  {
    const Value a = arr(S(std::string(100, 'a')), obj("k", S("value")));
    const Value b = obj("key", arr(S(std::string(50, 'b'))));
    sum = arith(a, Add, arr(b.copy()));
  }
  ASSERT_TRUE(sum);
  EXPECT_TRUE(same(*sum, arr(S(std::string(100, 'a')), obj("k", S("value")),
                             obj("key", arr(S(std::string(50, 'b')))))));
}

TEST(Arith, RemainderFaults) {
  struct Case {
    Value a, b;
    std::string message;
  };
  const Case cases[] = {
      {I(5), I(0), "attempt to calculate the remainder with a divisor of zero"},
      {U(0), U(0), "attempt to calculate the remainder with a divisor of zero"},
      {I(kI64Min), I(-1), "attempt to calculate the remainder with overflow"},
      {I(0), I(0), "attempt to calculate the remainder with a divisor of zero"},
  };
  for (const Case& c : cases) {
    try {
      arith(c.a, Mod, c.b);
      ADD_FAILURE() << describe(c.a) << " % " << describe(c.b) << " did not fault";
    } catch (const InternalFault& fault) {
      EXPECT_EQ(fault.message, c.message);
    }
  }
}

TEST(Arith, OverlongConcatenationFaultsBeforeCopying) {
  // One 4 GiB mapping of zero pages stands in for a huge string; the result
  // would not fit a string length, so it must fault without a huge copy.
  const size_t size = size_t{1} << 32;
  void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "no address space for the test";
  const char* bytes = static_cast<const char*>(p);
  const Value big = Value::string_view(bytes, UINT32_MAX);
  EXPECT_THROW(arith(big, Add, Value::string_view(bytes, 1)), InternalFault);
  munmap(p, size);
}

}  // namespace
