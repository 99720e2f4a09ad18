#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/builtins.h"
#include "engine/number_sort.h"
#include "engine/stable_sort.h"
#include "engine_value_builders.h"

namespace {

using namespace tamsel::testing;
using tamsel::Array;
using tamsel::Value;
using tamsel::engine::apply_builtin;
using tamsel::engine::EvalValue;
using tamsel::engine::ResultList;
using tamsel::engine::stable_sort_values;
using K = tamsel::query::BuiltinKind;

// Matches a consistent order element for element, ties in input order, on
// lengths around the insertion-run and merge boundaries.
TEST(StableSort, AgreesWithStdStableSort) {
  std::mt19937 rng(7);
  for (size_t n : {0, 1, 2, 19, 20, 21, 39, 40, 41, 100, 1000}) {
    std::vector<std::pair<int, size_t>> items;
    for (size_t i = 0; i < n; ++i) items.emplace_back(static_cast<int>(rng() % 10), i);
    auto expected = items;
    auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(expected.begin(), expected.end(), by_key);
    stable_sort_values(items, by_key);
    EXPECT_EQ(items, expected) << "n = " << n;
  }
}

// Whatever the comparator answers, the sort ends and keeps every element.
TEST(StableSort, ArbitraryAnswersStillGiveAPermutation) {
  std::mt19937 rng(11);
  for (size_t n : {5, 20, 21, 64, 333}) {
    std::vector<size_t> items(n);
    for (size_t i = 0; i < n; ++i) items[i] = i;
    stable_sort_values(items, [&](size_t, size_t) { return rng() % 2 == 0; });
    std::sort(items.begin(), items.end());
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(items[i], i) << "n = " << n;
  }
}

std::vector<std::string> sorted_descriptions(const Array& items) {
  std::vector<std::string> texts;
  for (const Value& v : items) texts.push_back(describe(v));
  std::sort(texts.begin(), texts.end());
  return texts;
}

// NaN ties with every number, so the sort order is not transitive; sort and
// unique must still finish with elements taken from the input.
TEST(StableSort, NaNLadenArrays) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::mt19937 rng(3);
  for (size_t n : {3, 20, 50, 500}) {
    Array items;
    for (size_t i = 0; i < n; ++i) {
      switch (rng() % 4) {
        case 0: items.push_back(F(nan)); break;
        case 1: items.push_back(arr(I(rng() % 5), F(nan))); break;
        default: items.push_back(I(static_cast<int64_t>(rng() % 100))); break;
      }
    }
    Value input = Value::array(std::move(items));

    ResultList sorted;
    apply_builtin(K::Sort, EvalValue::borrowed(input), sorted);
    ASSERT_EQ(sorted.size(), 1u);
    EXPECT_EQ(sorted_descriptions(sorted[0].get().as_array()),
              sorted_descriptions(input.as_array()));

    ResultList unique;
    apply_builtin(K::Unique, EvalValue::borrowed(input), unique);
    ASSERT_EQ(unique.size(), 1u);
    auto all = sorted_descriptions(input.as_array());
    for (const std::string& kept : sorted_descriptions(unique[0].get().as_array())) {
      EXPECT_TRUE(std::binary_search(all.begin(), all.end(), kept)) << kept;
    }
  }
}

}  // namespace

// The radix order of doubles is theirs: both zeros equal, the infinities at
// the ends, ties (many, from a small pool) in input order, on lengths either
// side of where the radix passes take over.
TEST(NumberSort, AgreesWithStableSortOnDoubles) {
  const std::vector<double> pool = {0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1e300, -1e300, 5e-324,
                                    -5e-324, 9007199254740993.0, 1.0000000000000002,
                                    std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity()};
  std::mt19937 rng(11);
  for (size_t n : {0, 1, 2, 127, 128, 129, 5000}) {
    for (bool spread : {false, true}) {
      std::vector<double> values(n);
      for (double& x : values) {
        x = spread ? std::ldexp(static_cast<double>(rng()) - 2147483648.0, int(rng() % 200) - 100)
                   : pool[rng() % pool.size()];
      }
      std::vector<uint32_t> expected(n);
      for (size_t i = 0; i < n; ++i) expected[i] = static_cast<uint32_t>(i);
      std::stable_sort(expected.begin(), expected.end(),
                       [&](uint32_t a, uint32_t b) { return values[a] < values[b]; });
      EXPECT_EQ(tamsel::engine::sorted_positions(values), expected) << n << " " << spread;
    }
  }
}
