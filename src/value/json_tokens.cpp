#include "value/json_tokens.h"

#include <cstring>

namespace tamsel::json_tokens {
namespace {

// The four hex digits at p, or -1.
int32_t hex4(const uint8_t* p) {
  int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = p[i];
    int32_t digit;
    if (is_digit(c)) {
      digit = c - '0';
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = (c | 0x20) - 'a' + 10;
    } else {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

uint8_t* write_utf8(uint32_t cp, uint8_t* out) {
  if (cp < 0x80) {
    *out++ = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<uint8_t>(0xC0 | (cp >> 6));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<uint8_t>(0xE0 | (cp >> 12));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<uint8_t>(0xF0 | (cp >> 18));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The first backslash in [p, end), or nullptr. Escapes come every few
// hundred bytes in real text, where a call to memchr costs more than the
// search; so the first few blocks are searched here. Nothing past `end` is
// read: a piece of a stream ends where the reader may still be writing the
// next one into the same chunk.
const uint8_t* find_backslash(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i backslash = _mm_set1_epi8('\\');
  for (const uint8_t* const near = p + 64; p < near && end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
    if (found != 0) return p + std::countr_zero(found);
  }
  if (p >= end) return nullptr;
#endif
  return static_cast<const uint8_t*>(std::memchr(p, '\\', end - p));
}

}  // namespace

size_t read_escape(const uint8_t* p, const uint8_t* end, uint32_t* code_point) {
  switch (*p) {
    case '"': *code_point = '"'; return 1;
    case '\\': *code_point = '\\'; return 1;
    case '/': *code_point = '/'; return 1;
    case 'b': *code_point = '\b'; return 1;
    case 'f': *code_point = '\f'; return 1;
    case 'n': *code_point = '\n'; return 1;
    case 'r': *code_point = '\r'; return 1;
    case 't': *code_point = '\t'; return 1;
    case 'u': break;
    default: return 0;
  }
  if (end - p < 5) return 0;
  const int32_t first = hex4(p + 1);
  if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) return 0;
  if (first < 0xD800 || first > 0xDBFF) {
    *code_point = static_cast<uint32_t>(first);
    return 5;
  }
  if (end - p < 11 || p[5] != '\\' || p[6] != 'u') return 0;
  const int32_t second = hex4(p + 7);
  if (second < 0xDC00 || second > 0xDFFF) return 0;
  *code_point = 0x10000 + ((static_cast<uint32_t>(first) - 0xD800) << 10) +
                (static_cast<uint32_t>(second) - 0xDC00);
  return 11;
}

uint8_t* unescape(const uint8_t* p, const uint8_t* end, uint8_t* out) {
  while (p < end) {
    const auto* backslash = static_cast<const uint8_t*>(std::memchr(p, '\\', end - p));
    const uint8_t* stop = backslash ? backslash : end;
    std::memcpy(out, p, stop - p);
    out += stop - p;
    if (!backslash) break;
    uint32_t code_point = 0;
    const size_t length = read_escape(backslash + 1, end, &code_point);
    if (length == 0) return nullptr;
    out = write_utf8(code_point, out);
    p = backslash + 1 + length;
  }
  return out;
}

// The backslashes are taken in text order, each with the escape it starts, which is how the
// strings they sit in read them; a backslash outside every string fails the
// grammar anyway, wherever this leaves it.
bool all_escapes_taken(const uint8_t* text, size_t size) {
  const uint8_t* const end = text + size;
  const uint8_t* p = text;
  while ((p = find_backslash(p, end))) {
    uint32_t code_point = 0;
    const size_t length = read_escape(p + 1, end, &code_point);
    if (length == 0) return false;
    p += 1 + length;
  }
  return true;
}

}  // namespace tamsel::json_tokens
