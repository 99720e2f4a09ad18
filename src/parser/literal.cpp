#include "parser/literal.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>

#include <fast_float/fast_float.h>

#include "parser/lexical.h"
#include "unicode/utf8.h"

namespace tamsel::query {

namespace {

std::optional<char32_t> hex4_at(std::string_view text, size_t pos) {
  if (pos + 4 > text.size()) return std::nullopt;
  char32_t code = 0;
  for (size_t i = pos; i < pos + 4; ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    code = code * 16 + static_cast<char32_t>(digit);
  }
  return code;
}

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes the "\u" escape whose backslash is at `pos`: one code, or a high and
// a low surrogate written as two escapes. Sets *end past the escape.
std::optional<char32_t> unicode_escape_at(std::string_view text, size_t pos, size_t* end) {
  auto first = hex4_at(text, pos + 2);
  if (!first || is_low_surrogate(*first)) return std::nullopt;
  if (!is_high_surrogate(*first)) {
    *end = pos + 6;
    return first;
  }
  if (text.substr(pos + 6, 2) != "\\u") return std::nullopt;
  auto second = hex4_at(text, pos + 8);
  if (!second || !is_low_surrogate(*second)) return std::nullopt;
  *end = pos + 12;
  return 0x10000 + ((*first - 0xD800) << 10) + (*second - 0xDC00);
}

// Optional "-", digits, ".", digits, as the nearest double.
std::optional<double> float_at(std::string_view text, size_t pos, size_t* end) {
  size_t integer_begin = pos < text.size() && text[pos] == '-' ? pos + 1 : pos;
  size_t point = digits_end(text, integer_begin);
  if (point == integer_begin || point >= text.size() || text[point] != '.') return std::nullopt;
  size_t stop = digits_end(text, point + 1);
  if (stop == point + 1) return std::nullopt;

  double value = 0.0;
  auto [ptr, ec] = fast_float::from_chars(text.data() + pos, text.data() + stop, value);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    // Without an exponent only two cases are out of range: a huge integer
    // part rounds to infinity, a tiny fraction rounds to zero.
    bool huge = text.substr(integer_begin, point - integer_begin).find_first_not_of('0') !=
                std::string_view::npos;
    value = huge ? std::numeric_limits<double>::infinity() : 0.0;
    if (integer_begin != pos) value = -value;
  }
  *end = stop;
  return value;
}

}  // namespace

Parsed<std::string> parse_string_literal(std::string_view text, size_t pos) {
  if (pos >= text.size() || text[pos] != '"') {
    return Parsed<std::string>::failure(recoverable(ErrorKind::Char, pos));
  }
  // Reported after the opening quote, whichever escape is bad.
  auto bad_escape = [&](size_t backslash) {
    return Parsed<std::string>::failure(
        ParseError{Severity::Unrecoverable, ErrorKind::Char, pos + 1, backslash});
  };
  std::string out;
  size_t i = pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') return Parsed<std::string>::success(std::move(out), i + 1);
    if (c != '\\') {
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) return bad_escape(i);
    switch (text[i + 1]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        size_t end = 0;
        auto code = unicode_escape_at(text, i, &end);
        if (!code) return bad_escape(i);
        utf8::append(out, *code);
        i = end;
        continue;
      }
      default:
        return bad_escape(i);
    }
    i += 2;
  }
  // No closing quote: not this rule's error; the number alternatives get a go.
  return Parsed<std::string>::failure(
      ParseError{Severity::Recoverable, ErrorKind::Char, pos, text.size()});
}

Parsed<LiteralValue> parse_literal(std::string_view text, size_t pos) {
  using Result = Parsed<LiteralValue>;
  if (keyword_at(text, pos, "true")) return Result::success(LiteralValue::of_bool(true), pos + 4);
  if (keyword_at(text, pos, "false")) {
    return Result::success(LiteralValue::of_bool(false), pos + 5);
  }
  if (keyword_at(text, pos, "null")) return Result::success(LiteralValue::null(), pos + 4);

  auto string = parse_string_literal(text, pos);
  if (string.ok()) {
    return Result::success(LiteralValue::of_string(std::move(*string.value)), string.rest);
  }
  if (!string.error.recoverable()) return Result::failure(string.error);

  size_t end = 0;
  if (auto number = float_at(text, pos, &end)) {
    return Result::success(LiteralValue::of_float(*number), end);
  }

  size_t digits = pos < text.size() && text[pos] == '-' ? pos + 1 : pos;
  size_t stop = digits_end(text, digits);
  if (stop == digits) {
    // A string never closed was read to the end of the text.
    return Result::failure(
        ParseError{Severity::Recoverable, ErrorKind::Digit, digits, string.error.reached});
  }
  auto integer = integer_value(text.substr(pos, stop - pos), INT64_MIN, INT64_MAX);
  if (!integer) return Result::failure(recoverable(ErrorKind::MapRes, pos));
  return Result::success(LiteralValue::of_integer(*integer), stop);
}

}  // namespace tamsel::query
