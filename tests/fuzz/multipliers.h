// How many operators in a query multiply what it builds: the number of
// results (`..`, `,`, `[]`, `recurse`, construction) or, for `+` (`. + .`
// doubles an array or a string), the size of a value. The fuzzers skip
// queries with many of them: chained, they make millions of values even over
// small documents, slow units that find nothing the evaluator's bounds tests
// do not.
#pragma once

#include <cstddef>
#include <string_view>

inline size_t count_multipliers(std::string_view query) {
  size_t count = 0;
  for (std::string_view op : {"..", ",", "[]", "recurse", "{", "+"}) {
    for (size_t at = query.find(op); at != std::string_view::npos; at = query.find(op, at + op.size()))
      ++count;
  }
  return count;
}
