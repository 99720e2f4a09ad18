#include "unicode/utf8_transcode.h"

#include <algorithm>
#include <cstring>

#include "unicode/utf8.h"

namespace tamsel::utf8 {
namespace {

// Blocks of 8 code units below U+0080 are narrowed to bytes at once: real
// JSON is mostly ASCII punctuation, keys and digits, so the
// character-by-character path runs only for the blocks around the rest.
// Eight is the measured best on text that mixes scripts: longer blocks send
// more ASCII down the slow path, shorter ones cost more checks.
constexpr size_t kBlock = 8;
template <class Unit>
using Block [[gnu::vector_size(kBlock * sizeof(Unit))]] = Unit;
using Bytes [[gnu::vector_size(kBlock)]] = uint8_t;

constexpr uint64_t kHighBits8 = 0x8080808080808080ull;

uint64_t load_word(const void* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The bits that make a unit non-ASCII, repeated over a 64-bit word of units.
template <class Unit>
constexpr uint64_t kNonAscii = sizeof(Unit) == 1   ? kHighBits8
                               : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ull
                                                   : 0xFFFFFF80FFFFFF80ull;

// Whether the block at `in` is all ASCII; if so, writes its bytes to `out`.
template <class Unit>
bool narrow_ascii_block(const Unit* in, char* out) {
  constexpr size_t kWords = kBlock * sizeof(Unit) / sizeof(uint64_t);
  uint64_t any = 0;
  for (size_t k = 0; k < kWords; ++k) any |= load_word(in + k * (kBlock / kWords));
  if (any & kNonAscii<Unit>) return false;
  Block<Unit> units;
  std::memcpy(&units, in, sizeof units);
  const Bytes bytes = __builtin_convertvector(units, Bytes);
  std::memcpy(out, &bytes, sizeof bytes);
  return true;
}

bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

template <class Unit, bool kCanHoldSurrogates>
size_t encode(const Unit* in, size_t n, char* out) {
  char* const start = out;
  size_t i = 0;
  while (i < n) {
    if (i + kBlock <= n && narrow_ascii_block(in + i, out)) {
      out += kBlock;
      i += kBlock;
      continue;
    }
    // One block's worth one character at a time. Not unrolled: the compiler
    // would otherwise widen this loop for long runs that never come.
    const size_t stop = std::min(n, i + kBlock);
#pragma GCC unroll 1
    for (; i < stop; ++i) {
      const char32_t c = in[i];
      if (c < 0x80) {
        *out++ = static_cast<char>(c);
        continue;
      }
      if (kCanHoldSurrogates && is_surrogate(c)) return kNotEncoded;
      out = put(out, c);
    }
  }
  return static_cast<size_t>(out - start);
}

}  // namespace

size_t encode_latin1(const uint8_t* in, size_t n, char* out) {
  return encode<uint8_t, false>(in, n, out);
}

size_t encode_ucs2(const uint16_t* in, size_t n, char* out) {
  return encode<uint16_t, true>(in, n, out);
}

size_t encode_ucs4(const uint32_t* in, size_t n, char* out) {
  return encode<uint32_t, true>(in, n, out);
}

size_t first_invalid(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  auto continuation = [&](size_t at, unsigned char low = 0x80, unsigned char high = 0xBF) {
    return at < n && s[at] >= low && s[at] <= high;
  };
  while (i < n) {
    if (i + 8 <= n && (load_word(s + i) & kHighBits8) == 0) {
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
