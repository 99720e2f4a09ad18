#include "parser/error_text.h"
#include "parser/grammar.h"
#include "parser/parser.h"
#include "unicode/utf8.h"

namespace tamsel::query {

std::variant<Pipeline, CompileError> compile_query(std::string_view text) {
  auto parsed = parse_query(text);
  if (!parsed.ok()) return CompileError{syntax_error_message(text, parsed.error)};
  if (!utf8::trim_white_space(text.substr(parsed.rest)).empty()) {
    return CompileError{"Extra chars"};
  }
  return std::move(*parsed.value);
}

}  // namespace tamsel::query
