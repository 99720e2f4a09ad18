// Values as text: compact JSON (tojson) and the display text of tostring.
#pragma once

#include <string>
#include <string_view>

#include "value/view.h"

namespace tamsel::engine {

// `expected_size`, when known, is room taken at once, which spares a large
// text the copies of growing by steps.
std::string to_json_text(View v, size_t expected_size = 0);
// The same laid out over lines, as jq prints by default: one element or
// member a line, each level indented by `unit` more, a space after each
// colon, and empty arrays and objects kept as [] and {}. An empty `unit`
// still breaks lines (newlines without indentation).
std::string to_pretty_json_text(View v, std::string_view unit, size_t expected_size = 0);
std::string to_display_text(View v);

// The same two, appended to `out`: for many texts kept back to back.
void append_json_text(std::string& out, View v);
void append_pretty_json_text(std::string& out, View v, std::string_view unit);

// Appends `text` as a quoted, escaped JSON string.
void escape_json_string(std::string& out, std::string_view text);
// `text` as a quoted, escaped JSON string, written straight into the value's
// own storage: tojson of a string, which chains of tojson grow without end.
Value json_string_value(std::string_view text);
// Appends a finite float as its shortest round-trip digits, positionally
// (never an exponent): 1e21 is "1000000000000000000000", 2.0 is "2".
void append_float(std::string& out, double x);

}  // namespace tamsel::engine
