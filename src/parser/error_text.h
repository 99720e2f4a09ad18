// The text of a syntax error as compile() raises it.
#pragma once

#include <string>
#include <string_view>

#include "parser/parse_result.h"

namespace tamsel::query {

// `text` between double quotes, with backslash, double quote, tab, carriage
// return, line feed and NUL escaped, and combining marks and non-printable
// characters written as \u{hex}. Everything else stands as itself.
std::string quoted(std::string_view text);

// "Invalid query syntax: Parsing Error: Error { input: \"...\", code: Digit }"
// and its variants, for an error met while parsing `query`.
std::string syntax_error_message(std::string_view query, const ParseError& error);

}  // namespace tamsel::query
