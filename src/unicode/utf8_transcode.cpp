#include "unicode/utf8_transcode.h"

#include <cstring>

namespace tamsel::utf8 {
namespace {

// Whole words of units below U+0080 are copied (latin1) or narrowed without
// a branch per unit: real JSON is mostly ASCII punctuation, keys and digits.
constexpr uint64_t kHighBits8 = 0x8080808080808080ull;
constexpr uint64_t kNonAscii16 = 0xFF80FF80FF80FF80ull;
constexpr uint64_t kNonAscii32 = 0xFFFFFF80FFFFFF80ull;

uint64_t load(const void* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

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

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

template <class Unit, uint64_t kNonAscii>
size_t encode_wide(const Unit* in, size_t n, char* out) {
  constexpr size_t kPerWord = sizeof(uint64_t) / sizeof(Unit);
  char* const start = out;
  size_t i = 0;
  while (i < n) {
    if (i + kPerWord <= n && (load(in + i) & kNonAscii) == 0) {
      for (size_t k = 0; k < kPerWord; ++k) out[k] = static_cast<char>(in[i + k]);
      out += kPerWord;
      i += kPerWord;
      continue;
    }
    const char32_t c = in[i++];
    if (is_surrogate(c)) return kNotEncoded;
    out = put(out, c);
  }
  return static_cast<size_t>(out - start);
}

}  // namespace

size_t encode_latin1(const uint8_t* in, size_t n, char* out) {
  char* const start = out;
  size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      const uint64_t w = load(in + i);
      if ((w & kHighBits8) == 0) {
        std::memcpy(out, &w, 8);
        out += 8;
        i += 8;
        continue;
      }
    }
    out = put(out, in[i++]);
  }
  return static_cast<size_t>(out - start);
}

size_t encode_ucs2(const uint16_t* in, size_t n, char* out) {
  return encode_wide<uint16_t, kNonAscii16>(in, n, out);
}

size_t encode_ucs4(const uint32_t* in, size_t n, char* out) {
  return encode_wide<uint32_t, kNonAscii32>(in, n, out);
}

size_t first_invalid(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  auto continuation = [&](size_t at, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return at < n && s[at] >= low && s[at] <= high;
  };
  while (i < n) {
    if (i + 8 <= n && (load(s + i) & kHighBits8) == 0) {
      i += 8;
      continue;
    }
    const unsigned char lead = s[i];
    size_t length = 0;
    if (lead < 0x80) {
      length = 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = continuation(i + 1) ? 2 : 0;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      // E0 must not encode below U+0800; ED must not encode a surrogate.
      const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
      length = continuation(i + 1, low, high) && continuation(i + 2) ? 3 : 0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      // F0 must not encode below U+10000; F4 must not pass U+10FFFF.
      const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
      length =
          continuation(i + 1, low, high) && continuation(i + 2) && continuation(i + 3) ? 4 : 0;
    }
    if (length == 0) return i;
    i += length;
  }
  return kNotEncoded;
}

}  // namespace tamsel::utf8
