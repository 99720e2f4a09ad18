// Byte-level checks of JSON text that back up the simdjson parse: simdjson
// tells whether a text is valid but not where it went wrong, and it reads a
// few number forms differently from our rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "tamsel_limits.h"
#include "value/json.h"

namespace tamsel::json_scan {

using tamsel::kMaxInputSize;  // tamsel_limits.h

// Texts of kMaxInputSize bytes or more are refused before anything is read.
std::optional<JsonError> check_input_size(uint64_t size);

// An error of `kind` at `index`, with the byte there as its character (none at
// the end of the text).
JsonError error_at(std::string_view text, const char* kind, size_t index);

struct NumberToken {
  size_t end = 0;        // one past the last byte
  bool negative = false;
  bool integer = false;  // no fraction and no exponent
};

// Checks the number literal starting at `start` (a '-' or a digit): its
// grammar, the byte that follows it, and that its value fits its kind (an
// integer within the 64-bit range of its sign, a float short of infinity).
std::optional<JsonError> scan_number(std::string_view text, size_t start, NumberToken* token);

// The first number of a valid `text` whose exponent runs on after its value
// has passed 2^32, which simdjson reads as zero or infinity (refused anyway)
// and we refuse. Only a double zero can be one, so only the literals of the
// zeros are read, found from the `count` structural indexes of simdjson's
// first stage (followed by the text's length) and the `values` of its tape
// (the words between its two root words); should the two not line up,
// every literal is read.
std::optional<JsonError> long_exponent(std::string_view text, const uint32_t* structurals,
                                       uint32_t count, std::span<const uint64_t> values);

// The first error of a text, or nothing when the text is one valid JSON
// value. A text that is not UTF-8 fails with InvalidUtf8 at the first byte of
// its first ill-formed sequence, whatever else is wrong with it; other errors
// come in text order. Iterative, so any nesting is safe; nesting deeper than
// kMaxJsonDepth is an error.
std::optional<JsonError> diagnose(std::string_view text);

}  // namespace tamsel::json_scan
