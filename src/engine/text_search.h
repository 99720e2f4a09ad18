// Searching inside strings and arrays, with positions in code points: shared
// by the builtins index, rindex, indices, split and contains.
#pragma once

#include <optional>
#include <string_view>

#include "value/view.h"

namespace tamsel::engine {

// Code-point position of the first / last occurrence of `needle` in `s`. An
// empty needle is found at 0 by the first and at the end by the last.
std::optional<int64_t> first_position(std::string_view s, std::string_view needle);
std::optional<int64_t> last_position(std::string_view s, std::string_view needle);
// Code-point positions of every occurrence, overlapping ones included; none
// for an empty needle.
Array all_positions(std::string_view s, std::string_view needle);

// `s` cut at every occurrence of `separator`, left to right without overlap;
// an empty separator cuts at every code point boundary, both ends included.
Array split_text(std::string_view s, std::string_view separator);

// Whether `a` contains `b`: substrings for two strings, element-wise for two
// arrays, member-wise for two objects, equality for anything else.
bool contains_value(View a, View b);

}  // namespace tamsel::engine
