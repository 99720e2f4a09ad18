#include "engine/render.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/bounds.h"
#include "runtime/page_reads.h"

namespace tamsel::engine {

namespace {

// Literals with their lengths, so that appending one needs no strlen.
using namespace std::string_view_literals;

// The largest finite double, written where JSON has no way to say infinity.
constexpr std::string_view kMaxFloatText = "1.7976931348623157e+308";

template <typename Int>
void append_integer(std::string& out, Int n) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

// Breaks the line and indents to `depth` levels of `unit`; a null `unit`
// lays the text out compact.
void new_line(std::string& out, const std::string_view* unit, size_t depth) {
  out += '\n';
  for (size_t i = 0; i < depth; ++i) out += *unit;
}

void append_json(std::string& out, View v, const std::string_view* unit = nullptr,
                 size_t depth = 0) {
  runtime::note_work();
  switch (v.kind()) {
    case Kind::Null: out += "null"sv; return;
    case Kind::Bool: out += v.as_bool() ? "true"sv : "false"sv; return;
    case Kind::I64: append_integer(out, v.as_i64()); return;
    case Kind::U64: append_integer(out, v.as_u64()); return;
    case Kind::F64: {
      const double x = v.as_f64();
      if (std::isnan(x)) {
        out += "null";
      } else if (std::isinf(x)) {
        if (x < 0) out += '-';
        out += kMaxFloatText;
      } else {
        append_float(out, x);
      }
      return;
    }
    case Kind::String: escape_json_string(out, v.as_string()); return;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (View element : v.elements()) {
        if (!first) out += ',';
        if (unit) new_line(out, unit, depth + 1);
        first = false;
        append_json(out, element, unit, depth + 1);
      }
      if (unit && !first) new_line(out, unit, depth);
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const View::Member& member : v.members()) {
        if (!first) out += ',';
        if (unit) new_line(out, unit, depth + 1);
        first = false;
        escape_json_string(out, member.key);
        out += unit ? ": "sv : ":"sv;
        append_json(out, member.value, unit, depth + 1);
      }
      if (unit && !first) new_line(out, unit, depth);
      out += '}';
      return;
    }
  }
}

// How a byte is written inside a JSON string: 1 as itself, 2 as a
// backslash escape, 6 as \u00XX (the bytes below 0x20 without a short
// escape). Every byte of a multi-byte UTF-8 sequence is 0x80 or above, so a
// byte-wise scan never splits a code point.
struct EscapeTable {
  uint8_t length[256];
  char short_form[256];  // the letter after the backslash, for length 2
  constexpr EscapeTable() : length(), short_form() {
    for (int c = 0; c < 256; ++c) length[c] = c < 0x20 ? 6 : 1;
    const char pairs[][2] = {{'\t', 't'}, {'\n', 'n'}, {'\r', 'r'}, {'"', '"'}, {'\\', '\\'}};
    for (const auto& pair : pairs) {
      length[static_cast<unsigned char>(pair[0])] = 2;
      short_form[static_cast<unsigned char>(pair[0])] = pair[1];
    }
  }
};
constexpr EscapeTable kEscape;

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHigh = 0x8080808080808080ull;

uint64_t load_word(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

// The high bit of each byte of `x` that equals `c`, exactly: the low seven
// bits plus 0x7F carry into the high bit for every byte but zero, and
// nothing carries across bytes.
uint64_t bytes_equal(uint64_t x, unsigned char c) {
  const uint64_t t = x ^ (c * kOnes);
  return ~(((t & ~kHigh) + ~kHigh) | t) & kHigh;
}

// The high bit of each byte of `x` below 0x20, exactly, in the same way.
uint64_t bytes_below_space(uint64_t x) {
  return ~(((x & ~kHigh) + (0x80 - 0x20) * kOnes) | x) & kHigh;
}

// How many bytes of a mask of high bits are set: their sum lands in the top
// byte of the product (no popcount instruction in the baseline x86-64).
size_t count_marked(uint64_t mask) { return static_cast<size_t>(((mask >> 7) * kOnes) >> 56); }

// What escaping adds to the 8 bytes of `x`: 1 for each byte with a
// backslash escape, 5 for each written as \u00XX.
size_t escape_growth(uint64_t x) {
  const uint64_t shorts = bytes_equal(x, '\t') | bytes_equal(x, '\n') | bytes_equal(x, '\r');
  const uint64_t controls = bytes_below_space(x) & ~shorts;
  const uint64_t quoted = shorts | bytes_equal(x, '"') | bytes_equal(x, '\\');
  return count_marked(quoted) + 5 * count_marked(controls);
}

// The high bit of each byte of `x` that needs an escape.
uint64_t escape_marks(uint64_t x) {
  return bytes_below_space(x) | bytes_equal(x, '"') | bytes_equal(x, '\\');
}

// Text is escaped in slices of this many bytes, each counted as work, so
// that Ctrl-C reaches a call that escapes hundreds of megabytes.
constexpr size_t kSlice = size_t{1} << 16;

// The escaped length of `text`, quotes not counted.
size_t escaped_size(std::string_view text) {
  size_t size = text.size();
  for (size_t slice = 0; slice < text.size(); slice += kSlice) {
    const size_t end = std::min(text.size(), slice + kSlice);
    size_t i = slice;
    for (; i + 8 <= end; i += 8) size += escape_growth(load_word(text.data() + i));
    for (; i < end; ++i) size += kEscape.length[static_cast<unsigned char>(text[i])] - 1;
    runtime::note_text_work(end - slice);
  }
  return size;
}

char* write_escaped_byte(char* out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (kEscape.length[c]) {
    case 1:
      *out = static_cast<char>(c);
      return out + 1;
    case 2:
      out[0] = '\\';
      out[1] = kEscape.short_form[c];
      return out + 2;
    default: {
      const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      std::memcpy(out, u, sizeof u);
      return out + sizeof u;
    }
  }
}

// Writes `text` escaped at `out`, quotes not included: exactly
// escaped_size(text) bytes, eight bytes at a time where none needs an
// escape. Returns the end.
char* write_escaped(char* out, std::string_view text) {
  for (size_t slice = 0; slice < text.size(); slice += kSlice) {
    const size_t end = std::min(text.size(), slice + kSlice);
    size_t i = slice;
    for (; i + 8 <= end; i += 8) {
      const uint64_t x = load_word(text.data() + i);
      if (escape_marks(x) == 0) {
        std::memcpy(out, &x, 8);
        out += 8;
        continue;
      }
      for (size_t k = i; k < i + 8; ++k)
        out = write_escaped_byte(out, static_cast<unsigned char>(text[k]));
    }
    for (; i < end; ++i) out = write_escaped_byte(out, static_cast<unsigned char>(text[i]));
    runtime::note_text_work(end - slice);
  }
  return out;
}

#if defined(__SSE2__)
// A bit for each of the 16 bytes at p that needs an escape, the first lowest.
unsigned escape_mask16(const char* p) {
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // A byte at most 0x1F is its own unsigned minimum with it.
  const __m128i marked = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
      _mm_cmpeq_epi8(_mm_min_epu8(x, last_control), x));
  return static_cast<unsigned>(_mm_movemask_epi8(marked));
}
#endif

// How many bytes of `text` come before the first that needs an escape:
// sixteen at a time, the last few by one load that ends at the text's end,
// or, for a text shorter than that, by one load that stays in its page.
// Most strings need none, and are copied; most keys are short.
[[gnu::always_inline]] inline size_t plain_bytes(std::string_view text) {
  const char* const p = text.data();
  const size_t n = text.size();
  size_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    for (; i + 16 <= n; i += 16)
      if (const unsigned mask = escape_mask16(p + i))
        return i + static_cast<size_t>(std::countr_zero(mask));
    if (i == n) return n;
    // The last n - i bytes are the top lanes of the 16 that end the text.
    if (const unsigned mask = escape_mask16(p + n - 16) >> (16 - (n - i)))
      return i + static_cast<size_t>(std::countr_zero(mask));
    return n;
  }
  // Past a shorter text, within its page (runtime/page_reads.h).
  if (n != 0 && runtime::readable_on_its_page(p, 16)) {
    const unsigned mask = escape_mask16(p) & ((1u << n) - 1);
    return mask ? static_cast<size_t>(std::countr_zero(mask)) : n;
  }
#endif
  for (; i + 8 <= n; i += 8) {
    if (const uint64_t marks = escape_marks(load_word(p + i)))
      return i + static_cast<size_t>(std::countr_zero(marks)) / 8;
  }
  for (; i < n; ++i)
    if (kEscape.length[static_cast<unsigned char>(p[i])] != 1) return i;
  return n;
}

// The same, a slice at a time, each counted as work.
size_t plain_prefix(std::string_view text) {
  if (text.size() <= kSlice) {
    const size_t plain = plain_bytes(text);
    runtime::note_text_work(plain);
    return plain;
  }
  for (size_t slice = 0; slice < text.size(); slice += kSlice) {
    const size_t end = std::min(text.size(), slice + kSlice);
    const size_t plain = slice + plain_bytes(text.substr(slice, end - slice));
    runtime::note_text_work(plain - slice);
    if (plain < end) return plain;
  }
  return text.size();
}

// The length of `text` as a quoted JSON string, given its first `plain`
// bytes need no escape, and the writing of it at `out`: exactly that many
// bytes.
size_t quoted_size(std::string_view text, size_t plain) {
  return plain + escaped_size(text.substr(plain)) + 2;
}
void write_quoted(char* out, std::string_view text, size_t plain) {
  *out++ = '"';
  if (plain != 0) std::memcpy(out, text.data(), plain);
  out = write_escaped(out + plain, text.substr(plain));
  *out = '"';
}

}  // namespace

void escape_json_string(std::string& out, std::string_view text) {
  const size_t plain = plain_prefix(text);
  const size_t at = out.size();
  if (plain == text.size()) {
    // Most strings: n + 2 quotes in one append, then the text copied over
    // all but the first and the last.
    out.append(text.size() + 2, '"');
    if (!text.empty()) std::memcpy(out.data() + at + 1, text.data(), text.size());
    return;
  }
  out.resize(at + quoted_size(text, plain));
  write_quoted(out.data() + at, text, plain);
}

Value json_string_value(std::string_view text) {
  const size_t plain = plain_prefix(text);
  return Value::string_written(quoted_size(text, plain),
                               [&](char* out) { write_quoted(out, text, plain); });
}

void append_float(std::string& out, double x) {
  // Shortest round-trip digits come from the scientific form ("d.ddde+XX");
  // the fixed form would print the exact binary expansion of large values.
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[20];
  size_t n = 0;
  while (*p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  int exponent = 0;
  const char* exp_begin = p + 1;
  if (*exp_begin == '+') ++exp_begin;
  std::from_chars(exp_begin, r.ptr, exponent);

  // The decimal point goes after `point` digits; it may lie before the first
  // digit (point <= 0) or after the last (point >= n).
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(n);
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out.append(digits, n);
  } else if (point >= count) {
    out.append(digits, n);
    out.append(static_cast<size_t>(point - count), '0');
  } else {
    out.append(digits, static_cast<size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<size_t>(count - point));
  }
}

std::string to_json_text(View v, size_t expected_size) {
  std::string out;
  out.reserve(expected_size);
  append_json(out, v);
  return out;
}

std::string to_pretty_json_text(View v, std::string_view unit, size_t expected_size) {
  std::string out;
  out.reserve(expected_size);
  append_json(out, v, &unit);
  return out;
}

void append_json_text(std::string& out, View v) { append_json(out, v); }

void append_pretty_json_text(std::string& out, View v, std::string_view unit) {
  append_json(out, v, &unit);
}

std::string to_display_text(View v) {
  switch (v.kind()) {
    case Kind::String:
      return std::string(v.as_string());
    case Kind::F64: {
      const double x = v.as_f64();
      if (std::isnan(x)) return "NaN";
      if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
      break;
    }
    default:
      break;
  }
  return to_json_text(v);
}

}  // namespace tamsel::engine
