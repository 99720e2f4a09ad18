// Helpers shared by the parser test files.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "parser/parser.h"

namespace tamsel::query::testing {

// The dump of the compiled tree, or the compile error message.
inline std::string outcome(std::string_view query) {
  auto result = compile_query(query);
  if (auto* error = std::get_if<CompileError>(&result)) return error->message;
  return dump(std::get<Pipeline>(result));
}

// The message of a recoverable syntax error. `escaped_input` is the
// remaining text as the message shows it between its double quotes, escapes
// written out by hand.
inline std::string syntax_message(std::string_view severity, std::string_view escaped_input,
                                  std::string_view code) {
  std::string message = "Invalid query syntax: ";
  message.append(severity).append(": Error { input: \"").append(escaped_input);
  message.append("\", code: ").append(code).append(" }");
  return message;
}

inline std::string parse_error(std::string_view escaped_input, std::string_view code) {
  return syntax_message("Parsing Error", escaped_input, code);
}

inline std::string parse_failure(std::string_view escaped_input) {
  return syntax_message("Parsing Failure", escaped_input, "Char");
}

inline const std::string kExtraChars = "Extra chars";
inline const std::string kTooDeep = "Invalid query syntax: query nested deeper than 256 levels";

struct Case {
  std::string query;
  std::string expected;
};

// Concatenation that keeps GCC's -Wrestrict quiet about `"literal" + string`.
inline std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

inline std::string repeat(std::string_view text, int times) {
  std::string out;
  out.reserve(text.size() * static_cast<size_t>(times));
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

}  // namespace tamsel::query::testing
