// The values an array holds that others can be equal to, under exactly the
// equality of compare_values, for answering "is some element == v?" in
// logarithmic time instead of comparing with every element.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "value/view.h"

namespace tamsel::engine {

class EqualSet {
 public:
  // Reads the elements of `array`; the strings it holds stay views into it.
  explicit EqualSet(const View& array);

  // Whether compare_values(v, Eq, w) holds for some element w.
  bool contains_equal(const View& v) const;

 private:
  // compare_values compares two integers exactly and an integer with a
  // float as doubles, which is not transitive (2^53 + 1 equals the float
  // 2^53, which equals the integer 2^53, which does not equal 2^53 + 1):
  // so integers are kept exactly and as doubles, floats apart.
  std::vector<int64_t> negatives_;   // integers below zero, exactly
  std::vector<uint64_t> naturals_;   // integers from zero, exactly
  std::vector<double> integers_as_doubles_;
  std::vector<double> floats_;       // NaN left out: it equals nothing
  std::vector<std::string_view> strings_;
  bool null_ = false, false_ = false, true_ = false;
  // Arrays and objects are equal to nothing, not even themselves.
};

}  // namespace tamsel::engine
