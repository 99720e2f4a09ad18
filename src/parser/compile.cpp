#include "parser/error_text.h"
#include "parser/grammar.h"
#include "parser/parser.h"
#include "unicode/unicode.h"
#include "unicode/utf8.h"

namespace tamsel::query {

namespace {

// Drops characters with the Unicode White_Space property from both ends.
std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t length = 0;
    if (!unicode::is_white_space(utf8::decode_at(text, begin, &length))) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t length = 0;
    char32_t c = utf8::decode_at(text, start, &length);
    if (start + length != end || !unicode::is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace

std::variant<Pipeline, CompileError> compile_query(std::string_view text) {
  auto parsed = parse_query(text);
  if (!parsed.ok()) return CompileError{syntax_error_message(text, parsed.error)};
  if (!trim_white_space(text.substr(parsed.rest)).empty()) return CompileError{"Extra chars"};
  return std::move(*parsed.value);
}

}  // namespace tamsel::query
