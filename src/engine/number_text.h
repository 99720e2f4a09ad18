// Reading a number from the text of a string value (the tonumber builtin).
#pragma once

#include <optional>
#include <string_view>

#include "value/value.h"

namespace tamsel::engine {

// The number `text` spells, after trimming Unicode white space from both
// ends: an I64 when it is a decimal integer in range, else the nearest F64 of
// a decimal float (or inf, infinity, nan in any case), else nothing.
std::optional<Value> parse_number_text(std::string_view text);

}  // namespace tamsel::engine
