// The tokens of a JSON text as the readers that walk simdjson's structural
// index take them (projected_tape.h, text_walk.h): each takes exactly the
// grammar, over a range that no conversion can leave, and leaves anything
// else (an unusual escape, a number at the edge of its range) to the
// whole-document parse, which decides and reports it. The text ends in a
// NUL byte and may be read up to simdjson's padding past its end.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>

#include <fast_float/fast_float.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tamsel::json_tokens {

inline bool is_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(uint8_t c) { return static_cast<uint8_t>(c - '0') < 10; }

// The bytes of `word` (eight bytes of text, the first lowest) that are not
// decimal digits, each marked by its high bits. A byte is a digit when its
// high nibble is 3, and still is once 6 is added (0x3A to 0x3F are not). A
// carry out of a byte of 0xFA or more only reaches bytes after the first
// that is not a digit, so the lowest mark is always right.
inline uint64_t not_digits(uint64_t word) {
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kThrees = 0x3030303030303030,
                     kSixes = 0x0606060606060606;
  return ((word & kHigh) ^ kThrees) | (((word + kSixes) & kHigh) ^ kThrees);
}

// The first byte at or after p that is not a decimal digit, eight bytes at
// a time.
inline const uint8_t* skip_digits(const uint8_t* p) {
  for (;;) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if (const uint64_t marks = not_digits(word)) return p + std::countr_zero(marks) / 8;
    p += sizeof word;
  }
}

// A number literal as far as the readers take it: the grammar exactly, and
// a range that no conversion can leave (integers of at most 19 digits, 18
// with a minus sign; floats whose decimal exponent keeps them far from
// infinity, with at most four exponent digits).
struct NumberShape {
  const uint8_t* end = nullptr;
  bool integer = true;
  bool negative = false;
};

// The exponent whose 'e' or 'E' is at *p, of at most four digits, with *p
// moved past it; false when it is none.
[[gnu::always_inline]] inline bool read_exponent(const uint8_t** at, int64_t* exponent) {
  const uint8_t* p = *at + 1;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (!is_digit(*p)) return false;
  int64_t value = 0;
  for (int count = 0; is_digit(*p); ++p) {
    if (++count > 4) return false;
    value = value * 10 + (*p - '0');
  }
  *exponent = negative ? -value : value;
  *at = p;
  return true;
}

// Whether a number of `integer_digits` before its point and the written
// `exponent` is in the range taken.
inline bool in_range(bool integer, bool negative, int64_t integer_digits, int64_t exponent) {
  if (integer) return integer_digits <= (negative ? 18 : 19);
  return integer_digits + exponent <= 308;  // below 10^308, short of DBL_MAX
}

// Whether the token at p, which ends at `token_end` (the next structural
// character) but for white space, is such a number; its shape in `*shape`.
[[gnu::always_inline]] inline bool scan_number(const uint8_t* p, const uint8_t* token_end,
                                              NumberShape* shape) {
  shape->negative = *p == '-';
  if (shape->negative) ++p;
  const uint8_t* const digits = p;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    p = skip_digits(p);
  } else {
    return false;
  }
  const int64_t integer_digits = p - digits;
  shape->integer = true;
  if (*p == '.') {
    shape->integer = false;
    ++p;
    if (!is_digit(*p)) return false;
    p = skip_digits(p);
  }
  int64_t exponent = 0;
  if ((*p | 0x20) == 'e') {
    shape->integer = false;
    if (!read_exponent(&p, &exponent)) return false;
  }
  if (p != token_end && !is_space(*p)) return false;
  shape->end = p;
  return in_range(shape->integer, shape->negative, integer_digits, exponent);
}

// A number's value as simdjson's tape holds it: its type ('l' for int64,
// 'u' for a uint64 above it, 'd' for a double) and its 64 bits.
struct Number {
  char type;
  uint64_t bits;
};

// The decimal digits at p added to `*mantissa`; the first byte after them.
// Eight are read at a time, and the last few of a run in the same way, moved
// to the end of a word of '0's: a loop over them a digit at a time would end
// at a different count for each number, which the branch predictor cannot
// foresee.
[[gnu::always_inline]] inline const uint8_t* take_digits(const uint8_t* p, uint64_t* mantissa) {
  static_assert(std::endian::native == std::endian::little);
  constexpr uint64_t kPowers[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
  constexpr uint64_t kZeros = 0x3030303030303030;
  uint64_t m = *mantissa;
  for (;;) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const uint64_t marks = not_digits(word);
    if (marks == 0) {
      m = m * 100000000 + fast_float::parse_eight_digits_unrolled(word);
      p += 8;
      continue;
    }
    const int count = std::countr_zero(marks) / 8;  // 0 to 7
    if (count != 0) {
      const uint64_t last = (word << (8 * (8 - count))) | (kZeros >> (8 * count));
      m = m * kPowers[count] + fast_float::parse_eight_digits_unrolled(last);
      p += count;
    }
    *mantissa = m;
    return p;
  }
}

// The number token at p, which ends at `token_end` but for white space,
// read in one pass, when it is a number of the shape scan_number takes: its
// digits make the mantissa as they are checked, and a float of at most 19
// significant digits is made from it and its exponent, exactly (Clinger's
// fast path, else Eisel and Lemire's, which fast_float implements); only a
// longer or harder one is read again by fast_float's whole conversion.
[[gnu::always_inline]] inline bool read_number(const uint8_t* p, const uint8_t* token_end,
                                              Number* number) {
  const uint8_t* const start = p;
  const bool negative = *p == '-';
  p += negative;
  const uint8_t* const digits = p;
  uint64_t mantissa = 0;  // of every digit, which past 19 may wrap around
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    p = take_digits(p, &mantissa);
  } else {
    return false;
  }
  const int64_t integer_digits = p - digits;
  int64_t exponent = 0;  // of ten, for the mantissa
  int64_t fraction_digits = 0;
  bool integer = true;
  if (*p == '.') {
    integer = false;
    ++p;
    if (!is_digit(*p)) return false;
    const uint8_t* const fraction = p;
    p = take_digits(p, &mantissa);
    fraction_digits = p - fraction;
    exponent = -fraction_digits;
  }
  int64_t written_exponent = 0;
  if ((*p | 0x20) == 'e') {
    integer = false;
    if (!read_exponent(&p, &written_exponent)) return false;
  }
  if (p != token_end && !is_space(*p)) return false;
  if (!in_range(integer, negative, integer_digits, written_exponent)) return false;
  if (integer) {
    if (negative) {
      *number = Number{'l', static_cast<uint64_t>(-static_cast<int64_t>(mantissa))};
    } else {
      *number = Number{mantissa > INT64_MAX ? 'u' : 'l', mantissa};
    }
    return true;
  }
  exponent += written_exponent;
  using Format = fast_float::binary_format<double>;
  double value;
  // Leading zeros are not significant, and only a long number has to count them.
  int64_t significant = integer_digits + fraction_digits;
  if (significant > 19) {
    for (const uint8_t* q = digits; *q == '0' || *q == '.'; ++q) significant -= *q == '0';
  }
  if (significant <= 19) {
    if (mantissa <= Format::max_mantissa_fast_path() && exponent >= -22 && exponent <= 22) {
      value = static_cast<double>(mantissa);
      value = exponent < 0 ? value / Format::exact_power_of_ten(-exponent)
                           : value * Format::exact_power_of_ten(exponent);
      if (negative) value = -value;
      *number = Number{'d', std::bit_cast<uint64_t>(value)};
      return true;
    }
    const fast_float::adjusted_mantissa rounded =
        fast_float::compute_float<Format>(exponent, mantissa);
    if (rounded.power2 >= 0) {
      fast_float::to_float(negative, rounded, value);
      *number = Number{'d', std::bit_cast<uint64_t>(value)};
      return true;
    }
  }
  const char* const first = reinterpret_cast<const char*>(start);
  const char* const last = reinterpret_cast<const char*>(p);
  const auto result = fast_float::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last || std::isinf(value)) return false;
  *number = Number{'d', std::bit_cast<uint64_t>(value)};
  return true;
}

// Whether the literal at p (true, false or null, told by its first byte) is
// whole and ends where its token does.
inline bool literal_at(const uint8_t* p, const uint8_t* token_end) {
  size_t length;
  switch (*p) {
    case 't': length = 4; if (std::memcmp(p, "true", 4) != 0) return false; break;
    case 'f': length = 5; if (std::memcmp(p, "false", 5) != 0) return false; break;
    case 'n': length = 4; if (std::memcmp(p, "null", 4) != 0) return false; break;
    default: return false;
  }
  return p + length == token_end || is_space(p[length]);
}

// The closing quote of a string whose content starts at p, when no escape
// comes before it; nullptr when a backslash comes first. (The structural
// pass has found every string closed.)
inline const uint8_t* plain_string_end(const uint8_t* p) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  for (;; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, quote)));
    const auto backslashes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
    // A quote below the first backslash, or any quote when there is none.
    if (((backslashes - 1) & quotes) != 0) return p + std::countr_zero(quotes);
    if (backslashes != 0) return nullptr;
  }
#else
  for (;; ++p) {
    if (*p == '"') return p;
    if (*p == '\\') return nullptr;
  }
#endif
}

// The bytes between the quotes of the string token at `open`, still
// escaped, when its token ends at `token_end`: its closing quote is the last
// byte before it but for white space.
inline bool string_content(const uint8_t* open, const uint8_t* token_end, const uint8_t** begin,
                           const uint8_t** end) {
  const uint8_t* close = token_end - 1;
  while (close > open && is_space(*close)) --close;
  if (close == open || *close != '"') return false;
  *begin = open + 1;
  *end = close;
  return true;
}

// The escape at p (just after its backslash), within [p, end): its code
// point in `*code_point` (or the byte it stands for) and its length after
// the backslash; 0 when it is not one the readers take. A high surrogate
// must be followed by the escape of a low one; a lone low surrogate is left
// to the whole-document parse.
size_t read_escape(const uint8_t* p, const uint8_t* end, uint32_t* code_point);

// The content of [p, end) decoded into `out`, which has room for it (no
// escape is longer than what it stands for); the end of what was written,
// or nullptr at an escape the readers do not take.
uint8_t* unescape(const uint8_t* p, const uint8_t* end, uint8_t* out);

// Every escape in the `size` bytes at `text` is one the readers take.
bool all_escapes_taken(const uint8_t* text, size_t size);

}  // namespace tamsel::json_tokens
