#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/compare.h"
#include "engine/equal_set.h"

namespace tamsel::engine {
namespace {

// Values where compare_values' equality is least regular: integers around
// 2^53 and 2^63 (exact among themselves, through doubles against floats),
// both zeros, NaN, the infinities, and the kinds that equal nothing.
std::vector<Value> candidates() {
  std::vector<Value> out;
  const uint64_t two53 = uint64_t{1} << 53;
  for (uint64_t u : {uint64_t{0}, uint64_t{1}, two53 - 1, two53, two53 + 1, two53 + 2,
                     uint64_t{1} << 63, UINT64_MAX})
    out.push_back(Value::u64(u));
  for (int64_t i : {int64_t{0}, int64_t{1}, int64_t{-1}, -static_cast<int64_t>(two53) - 1,
                    std::numeric_limits<int64_t>::min()})
    out.push_back(Value::i64(i));
  for (double d : {0.0, -0.0, 1.0, -1.0, 0.5, 9007199254740992.0, 9007199254740994.0,
                   9223372036854775808.0, 18446744073709551616.0,
                   std::numeric_limits<double>::infinity(), std::nan("")})
    out.push_back(Value::f64(d));
  for (const char* s : {"", "a", "b", "ab", "\xC3\xA9"}) out.push_back(Value::string(s));
  out.push_back(Value::null());
  out.push_back(Value::boolean(false));
  out.push_back(Value::boolean(true));
  out.push_back(Value::array({}));
  out.push_back(Value::object(ObjectMap()));
  return out;
}

TEST(EqualSet, AgreesWithCompareValuesOnRandomArrays) {
  const std::vector<Value> pool = candidates();
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    Array elements;
    const size_t n = random() % 8;
    for (size_t i = 0; i < n; ++i) elements.push_back(pool[random() % pool.size()].copy());
    const Value array = Value::array(std::move(elements));
    const EqualSet set{View(array)};
    for (const Value& v : pool) {
      bool expected = false;
      for (const Value& w : array.as_array())
        expected = expected || compare_values(View(v), query::CompareOp::Eq, View(w));
      ASSERT_EQ(set.contains_equal(View(v)), expected) << round;
    }
  }
}

}  // namespace
}  // namespace tamsel::engine
