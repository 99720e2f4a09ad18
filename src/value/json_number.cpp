// Number literals: grammar, range, and finding them again in valid text.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>

#include <fast_float/fast_float.h>

#include "value/json_scan.h"

namespace tamsel::json_scan {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool ends_token(char c) {
  switch (c) {
    case ' ': case '\t': case '\n': case '\r':
    case ',': case ':': case '[': case ']': case '{': case '}':
      return true;
    default:
      return false;
  }
}

// Exponent digits are read into a 64-bit value; once it has passed this, a
// further digit is refused rather than read on.
constexpr uint64_t kExponentLimit = uint64_t{1} << 32;

// Whether the unsigned integer in `digits` (no leading zeros unless it is
// "0") exceeds `limit`.
bool integer_exceeds(std::string_view digits, uint64_t limit) {
  if (digits.size() > 20) return true;
  uint64_t value = 0;
  for (char c : digits) {
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - d) / 10) return true;
    value = value * 10 + d;
  }
  return value > limit;
}

// Whether a float literal rounds to infinity. `mantissa` is the text from the
// first digit to the end of the fraction, `exponent` the signed exponent.
bool float_overflows(std::string_view literal, std::string_view mantissa, int64_t exponent) {
  // The decimal exponent of the leading significant digit: the value lies in
  // [10^(scale-1), 10^scale).
  int64_t scale = 0;
  bool seen_point = false, significant = false;
  int64_t integer_digits = 0, leading_fraction_zeros = 0;
  size_t i = 0;
  for (; i < mantissa.size(); ++i) {
    char c = mantissa[i];
    if (c == '.') { seen_point = true; continue; }
    if (c != '0') { significant = true; break; }
    if (seen_point) ++leading_fraction_zeros;
  }
  if (!significant) return false;  // zero, whatever the exponent
  if (!seen_point) {
    for (size_t j = i; j < mantissa.size() && mantissa[j] != '.'; ++j) ++integer_digits;
    scale = integer_digits + exponent;
  } else {
    scale = exponent - leading_fraction_zeros;
  }
  // DBL_MAX is about 1.8e308: below 10^308 nothing rounds up to infinity, and
  // from 10^309 everything does. Only the decade between needs real rounding.
  if (scale <= 308) return false;
  if (scale >= 310) return true;
  double value = 0;
  auto result = fast_float::from_chars(literal.data(), literal.data() + literal.size(), value);
  return result.ec == std::errc::result_out_of_range || std::isinf(value);
}

}  // namespace

std::optional<JsonError> check_input_size(uint64_t size) {
  if (size < kMaxInputSize) return std::nullopt;
  return JsonError{"InputTooLarge", 0, false, 0};
}

JsonError error_at(std::string_view text, const char* kind, size_t index) {
  JsonError error{kind, index, false, 0};
  if (index < text.size()) {
    error.has_character = true;
    error.character = static_cast<unsigned char>(text[index]);
  }
  return error;
}

std::optional<JsonError> scan_number(std::string_view text, size_t start, NumberToken* token) {
  const size_t n = text.size();
  size_t p = start;
  token->negative = p < n && text[p] == '-';
  if (token->negative) ++p;
  const size_t first_digit = p;
  if (p == n || !is_digit(text[p])) return error_at(text, "InvalidNumber", p);
  if (text[p] == '0') {
    ++p;
  } else {
    while (p < n && is_digit(text[p])) ++p;
  }
  const size_t integer_end = p;
  token->integer = true;
  if (p < n && text[p] == '.') {
    token->integer = false;
    ++p;
    if (p == n || !is_digit(text[p])) return error_at(text, "InvalidNumber", p);
    while (p < n && is_digit(text[p])) ++p;
  }
  const size_t mantissa_end = p;
  int64_t exponent = 0;
  if (p < n && (text[p] == 'e' || text[p] == 'E')) {
    token->integer = false;
    ++p;
    bool negative_exponent = false;
    if (p < n && (text[p] == '+' || text[p] == '-')) negative_exponent = text[p++] == '-';
    if (p == n || !is_digit(text[p])) return error_at(text, "InvalidNumber", p);
    uint64_t magnitude = 0;
    for (; p < n && is_digit(text[p]); ++p) {
      if (magnitude > kExponentLimit) return error_at(text, "InvalidNumber", p);
      magnitude = magnitude * 10 + static_cast<uint64_t>(text[p] - '0');
    }
    exponent = static_cast<int64_t>(magnitude);
    if (negative_exponent) exponent = -exponent;
  }
  // Covers a leading zero followed by a digit too ("01" fails at the 1).
  if (p < n && !ends_token(text[p])) return error_at(text, "InvalidNumber", p);
  token->end = p;

  if (token->integer) {
    std::string_view digits = text.substr(first_digit, integer_end - first_digit);
    uint64_t limit = token->negative ? uint64_t{1} << 63 : UINT64_MAX;
    if (integer_exceeds(digits, limit)) return error_at(text, "InvalidNumber", start);
  } else if (float_overflows(text.substr(start, p - start),
                             text.substr(first_digit, mantissa_end - first_digit), exponent)) {
    return error_at(text, "InvalidNumber", start);
  }
  return std::nullopt;
}

namespace {

// Ten exponent digits to pass 2^32, then one more.
constexpr uint32_t kFewestFailingDigits = 11;

// The error of the literal at structural `k`, if its exponent marker is
// followed by enough bytes before the next structural character to be one.
std::optional<JsonError> long_exponent_at(std::string_view text, const uint32_t* at, uint32_t k) {
  if (at[k + 1] - at[k] < 2 + kFewestFailingDigits) return std::nullopt;
  const char* const end = text.data() + at[k + 1];
  const char* marker =
      std::find_if(text.data() + at[k], end, [](char b) { return b == 'e' || b == 'E'; });
  if (end - marker <= static_cast<ptrdiff_t>(kFewestFailingDigits)) return std::nullopt;
  NumberToken token;
  return scan_number(text, at[k], &token);
}

bool starts_number(char c) { return c == '-' || is_digit(c); }

}  // namespace

std::optional<JsonError> long_exponent(std::string_view text, const uint32_t* structurals,
                                       uint32_t count, std::span<const uint64_t> values) {
  // Every structural character but ':' and ',' has its word on the tape, in
  // the same order (a number two), so one walk of both finds the literal of
  // each double zero.
  size_t word = 0;
  uint32_t k = 0;
  for (; k < count && word < values.size(); ++k) {
    const char c = text[structurals[k]];
    if (c == ':' || c == ',') continue;
    const char type = static_cast<char>(values[word] >> 56);
    if (type == 'l' || type == 'u' || type == 'd') {
      if (!starts_number(c) || word + 1 >= values.size()) break;
      if (type == 'd' && (values[word + 1] << 1) == 0) {
        if (auto error = long_exponent_at(text, structurals, k)) return error;
      }
      word += 2;
    } else {
      if (type != c) break;
      ++word;
    }
  }
  if (k == count && word == values.size()) return std::nullopt;
  // The two did not line up: every literal is looked at.
  for (k = 0; k < count; ++k) {
    if (!starts_number(text[structurals[k]])) continue;
    if (auto error = long_exponent_at(text, structurals, k)) return error;
  }
  return std::nullopt;
}

}  // namespace tamsel::json_scan
