// The small recognisers the grammar rules share: white space, keywords,
// identifiers and integer text. Positions are byte offsets into the query
// text and always sit on character boundaries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tamsel::query {

// Skips spaces, tabs, line feeds and carriage returns (and nothing else).
size_t skip_ws(std::string_view text, size_t pos);

// A Unicode alphanumeric character or "_".
bool is_word_char(char32_t c);

// True when `word` stands at `pos` and is not directly followed by a word
// character, so "keys" does not match the start of "keys_unsorted".
bool keyword_at(std::string_view text, size_t pos, std::string_view word);

// End of the identifier at `pos` (ASCII letters or "_" first, then
// alphanumerics, "_" and "-"), or nothing if none starts there.
std::optional<size_t> identifier_end(std::string_view text, size_t pos);

// End of the run of ASCII digits at `pos` (== pos when there is none).
size_t digits_end(std::string_view text, size_t pos);

// The value of an optional "-" followed by digits, or nothing when it does
// not fit in [min, max]. Leading zeros are allowed.
std::optional<int64_t> integer_value(std::string_view text, int64_t min, int64_t max);

// Integer text (optional "-", one or more digits) at `pos` converted to a
// value in [min, max]; nothing when there is no such text or it does not fit.
// On success *end is set past the digits.
std::optional<int64_t> integer_at(std::string_view text, size_t pos, int64_t min, int64_t max,
                                  size_t* end);

}  // namespace tamsel::query
