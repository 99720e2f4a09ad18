// UTF-8 stepping over text that is already known to be valid UTF-8 (query
// text and every string value of the system are).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "unicode/unicode.h"

namespace tamsel::utf8 {

// Byte length of the sequence that starts with `lead`.
inline size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

// Decodes the code point at `pos`; `pos` must be at a character boundary.
inline char32_t decode_at(std::string_view s, size_t pos, size_t* length) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
  unsigned char lead = b(0);
  size_t n = sequence_length(lead);
  if (pos + n > s.size()) n = 1;  // truncated input: never read past the end
  *length = n;
  switch (n) {
    case 1: return lead;
    case 2: return ((lead & 0x1Fu) << 6) | (b(1) & 0x3Fu);
    case 3: return ((lead & 0x0Fu) << 12) | ((b(1) & 0x3Fu) << 6) | (b(2) & 0x3Fu);
    default:
      return ((lead & 0x07u) << 18) | ((b(1) & 0x3Fu) << 12) | ((b(2) & 0x3Fu) << 6) |
             (b(3) & 0x3Fu);
  }
}

inline size_t count_code_points(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Writes the UTF-8 form of `c` (1 to 4 bytes) at `out`; returns the end.
inline char* put(char* out, char32_t c) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

inline void append(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, put(bytes, c));
}

// `text` without the characters of the White_Space property at either end.
// The last character is found by stepping back over continuation bytes, and
// dropped only when its sequence ends exactly at the end, so that even in
// malformed text no stray byte goes with it.
inline std::string_view trim_white_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t length = 0;
    if (!unicode::is_white_space(decode_at(text, begin, &length))) break;
    begin += length;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t length = 0;
    const char32_t c = decode_at(text, start, &length);
    if (start + length != end || !unicode::is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tamsel::utf8
