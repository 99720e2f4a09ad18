// Literal constants written in a query: null, true, false, strings, floats
// and integers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "parser/filter.h"
#include "parser/parse_result.h"

namespace tamsel::query {

// The alternatives in order: true, false, null, string, float, integer. The
// error of a failed literal is the integer's (Digit or MapRes), except for a
// malformed string escape, which is unrecoverable.
Parsed<LiteralValue> parse_literal(std::string_view text, size_t pos);

// A double-quoted string at `pos` with its escapes decoded. A missing closing
// quote is a recoverable error; a bad escape is an unrecoverable Char error at
// the character after the opening quote.
Parsed<std::string> parse_string_literal(std::string_view text, size_t pos);

}  // namespace tamsel::query
