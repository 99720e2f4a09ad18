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

// Whether `c` is written as \u{hex} rather than as itself: it extends a
// grapheme (a combining mark) or is not printable.
bool shown_as_code(char32_t c);
// Appends "\u{hex}" for `c`, in lower-case hexadecimal.
void append_code_escape(std::string& out, char32_t c);

// "Invalid query syntax: Parsing Error: Error { input: \"...\", code: Digit }"
// and its variants, for an error met while parsing `query`.
std::string syntax_error_message(std::string_view query, const ParseError& error);

}  // namespace tamsel::query
