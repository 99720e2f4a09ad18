#include "engine/render.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/call_bounds.h"

namespace tamsel::engine {

namespace {

// The largest finite double, written where JSON has no way to say infinity.
constexpr std::string_view kMaxFloatText = "1.7976931348623157e+308";

template <typename Int>
void append_integer(std::string& out, Int n) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, r.ptr);
}

void append_json(std::string& out, View v) {
  note_work();
  switch (v.kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
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
        first = false;
        append_json(out, element);
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const View::Member& member : v.members()) {
        if (!first) out += ',';
        first = false;
        escape_json_string(out, member.key);
        out += ':';
        append_json(out, member.value);
      }
      out += '}';
      return;
    }
  }
}

// Escape for a byte below 0x20, '"' or '\\'; nullptr for bytes copied as
// they are. Every byte of a multi-byte UTF-8 sequence is 0x80 or above, so a
// byte-wise scan never splits a code point.
const char* short_escape(unsigned char c) {
  switch (c) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '"': return "\\\"";
    case '\\': return "\\\\";
    default: return nullptr;
  }
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Whether any of the 8 bytes at `p` needs an escape. A byte's high bit in
// `(x - k) & ~x` is set when the byte is below k, and no byte of 0x80 or
// above ever sets it; a borrow can mark a byte wrongly only above one that
// truly matches, so the answer is exact.
bool any_needs_escape(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  uint64_t x;
  std::memcpy(&x, p, 8);
  const auto below = [](uint64_t v, uint64_t k) { return (v - k * kOnes) & ~v & kHigh; };
  return (below(x, 0x20) | below(x ^ ('"' * kOnes), 1) | below(x ^ ('\\' * kOnes), 1)) != 0;
}

}  // namespace

void escape_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Eight bytes at a time while none of them needs an escape.
    while (i + 8 <= text.size() && !any_needs_escape(text.data() + i)) i += 8;
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c)) continue;
    out.append(text.data() + run_start, i - run_start);
    run_start = i + 1;
    if (const char* e = short_escape(c)) {
      out += e;
    } else {
      const char u[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(u, sizeof u);
    }
  }
  out.append(text.data() + run_start, text.size() - run_start);
  out += '"';
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

std::string to_json_text(View v) {
  std::string out;
  append_json(out, v);
  return out;
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
