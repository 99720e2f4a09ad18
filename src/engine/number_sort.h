// Stable sorting of numbers by their double values, by radix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel::engine {

// Sorts the positions 0 .. values.size()-1 by the values there, which hold
// no NaN: the result lists each position once, ordered by value (the two
// zeros equal), equal values in their original order. Counts its work as it
// goes (note_work).
std::vector<uint32_t> sorted_positions(const std::vector<double>& values);

}  // namespace tamsel::engine
