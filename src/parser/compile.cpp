#include <algorithm>

#include "parser/error_text.h"
#include "parser/grammar.h"
#include "parser/parser.h"
#include "unicode/utf8.h"

namespace tamsel::query {

std::variant<Pipeline, CompileError> compile_query(std::string_view text) {
  size_t farthest = 0;
  auto parsed = parse_query(text, &farthest);
  if (!parsed.ok()) {
    CompileError error{syntax_error_message(text, parsed.error), std::nullopt};
    if (parsed.error.severity != Severity::TooDeep) {
      const size_t stopped = std::max({farthest, parsed.error.at, parsed.error.reached});
      error.stopped_at = std::min(stopped, text.size());
    }
    return error;
  }
  const std::string_view rest = utf8::trim_white_space(text.substr(parsed.rest));
  if (!rest.empty()) {
    // The first character left over, or farther where a rule got farther.
    const size_t left_over = static_cast<size_t>(rest.data() - text.data());
    return CompileError{"Extra chars", std::max(farthest, left_over)};
  }
  return std::move(*parsed.value);
}

}  // namespace tamsel::query
