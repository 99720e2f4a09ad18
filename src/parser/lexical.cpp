#include "parser/lexical.h"

#include "unicode/unicode.h"
#include "unicode/utf8.h"

namespace tamsel::query {

namespace {

bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

size_t skip_ws(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    char c = text[pos];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    ++pos;
  }
  return pos;
}

bool is_word_char(char32_t c) { return c == U'_' || unicode::is_alphanumeric(c); }

bool keyword_at(std::string_view text, size_t pos, std::string_view word) {
  if (pos >= text.size() || word.empty() || text[pos] != word[0]) return false;
  if (text.substr(pos, word.size()) != word) return false;
  size_t after = pos + word.size();
  if (after >= text.size()) return true;
  size_t length = 0;
  return !is_word_char(utf8::decode_at(text, after, &length));
}

std::optional<size_t> identifier_end(std::string_view text, size_t pos) {
  if (pos >= text.size() || !(is_ascii_letter(text[pos]) || text[pos] == '_')) {
    return std::nullopt;
  }
  ++pos;
  while (pos < text.size()) {
    size_t length = 0;
    char32_t c = utf8::decode_at(text, pos, &length);
    if (c != U'-' && !is_word_char(c)) break;
    pos += length;
  }
  return pos;
}

size_t digits_end(std::string_view text, size_t pos) {
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  return pos;
}

std::optional<int64_t> integer_value(std::string_view text, int64_t min, int64_t max) {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  // Accumulate the magnitude; any overflow of 64 unsigned bits is out of
  // every range we are asked for.
  uint64_t magnitude = 0;
  for (char c : text) {
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    // -(min + 1) + 1 is |min| without overflowing int64.
    uint64_t limit = static_cast<uint64_t>(-(min + 1)) + 1;
    if (min > 0 || magnitude > limit) return std::nullopt;
    if (magnitude == 0) return 0;
    return -static_cast<int64_t>(magnitude - 1) - 1;
  }
  if (max < 0 || magnitude > static_cast<uint64_t>(max)) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

std::optional<int64_t> integer_at(std::string_view text, size_t pos, int64_t min, int64_t max,
                                  size_t* end) {
  size_t digits = pos < text.size() && text[pos] == '-' ? pos + 1 : pos;
  size_t stop = digits_end(text, digits);
  if (stop == digits) return std::nullopt;
  auto value = integer_value(text.substr(pos, stop - pos), min, max);
  if (value) *end = stop;
  return value;
}

}  // namespace tamsel::query
