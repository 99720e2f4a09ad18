#include "engine/number_text.h"

#include <bit>
#include <cstdint>
#include <limits>
#include <system_error>

#include <fast_float/fast_float.h>

#include "unicode/utf8.h"

namespace tamsel::engine {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An optional sign and ASCII digits only, within the I64 range.
std::optional<int64_t> parse_i64(std::string_view s) {
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  if (i == s.size()) return std::nullopt;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(s[i] - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  // Negating through the unsigned form keeps INT64_MIN exact.
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

bool equals_ignoring_case(std::string_view s, std::string_view lower_word) {
  if (s.size() != lower_word.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (c != lower_word[i]) return false;
  }
  return true;
}

// The unsigned decimal float syntax: digits, an optional fraction (at least
// one digit in all), an optional exponent. Also reports the decimal exponent
// of the leading significant digit, saturated, to tell overflow from
// underflow when the value is out of range.
bool is_decimal_float(std::string_view s, int64_t* leading_exponent) {
  size_t i = 0;
  size_t int_start = i;
  while (i < s.size() && is_digit(s[i])) ++i;
  size_t int_end = i;
  size_t frac_start = i, frac_end = i;
  if (i < s.size() && s[i] == '.') {
    frac_start = ++i;
    while (i < s.size() && is_digit(s[i])) ++i;
    frac_end = i;
  }
  if (int_end == int_start && frac_end == frac_start) return false;
  int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    for (; i < s.size(); ++i) {
      if (!is_digit(s[i])) return false;
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (i != s.size()) return false;

  size_t first_int = int_start;
  while (first_int < int_end && s[first_int] == '0') ++first_int;
  if (first_int < int_end) {
    *leading_exponent = exponent + static_cast<int64_t>(int_end - first_int) - 1;
  } else {
    size_t first_frac = frac_start;
    while (first_frac < frac_end && s[first_frac] == '0') ++first_frac;
    *leading_exponent = exponent - static_cast<int64_t>(first_frac - frac_start) - 1;
  }
  return true;
}

std::optional<double> parse_f64(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  double magnitude;
  if (equals_ignoring_case(s, "inf") || equals_ignoring_case(s, "infinity")) {
    magnitude = std::numeric_limits<double>::infinity();
  } else if (equals_ignoring_case(s, "nan")) {
    magnitude = std::bit_cast<double>(uint64_t{0x7FF8000000000000});
  } else {
    // fast_float also takes "nan" and "inf" and stops early inside text such
    // as "0x10", so the syntax is settled here first.
    int64_t leading_exponent = 0;
    if (!is_decimal_float(s, &leading_exponent)) return std::nullopt;
    auto [end, error] = fast_float::from_chars(s.data(), s.data() + s.size(), magnitude,
                                               fast_float::chars_format::general);
    if (error == std::errc::result_out_of_range) {
      // Versions of fast_float that report over- and underflow may leave the
      // value alone; the nearest double is then infinity or zero.
      magnitude = leading_exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (error != std::errc() || end != s.data() + s.size()) {
      return std::nullopt;
    }
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace

std::optional<Value> parse_number_text(std::string_view text) {
  std::string_view s = utf8::trim_white_space(text);
  if (auto i = parse_i64(s)) return Value::i64(*i);
  if (auto f = parse_f64(s)) return Value::f64(*f);
  return std::nullopt;
}

}  // namespace tamsel::engine
