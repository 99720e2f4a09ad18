#include "unicode/utf8_transcode.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
#if defined(__SSE2__)
  // Packed in two steps, each exact for units below 0x80; GCC's lowering of
  // the generic narrowing gathers four-byte units a byte at a time.
  if constexpr (sizeof(Unit) > 1) {
    const auto* const from = reinterpret_cast<const __m128i*>(in);
    __m128i pairs = _mm_loadu_si128(from);
    if constexpr (sizeof(Unit) == 4) pairs = _mm_packs_epi32(pairs, _mm_loadu_si128(from + 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(pairs, pairs));
    return true;
  }
#endif
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

// Widens a block of 8 ASCII bytes at `in` to units at `out`; false, writing
// nothing, when the block is not all ASCII.
template <class Unit>
bool widen_ascii_block(const unsigned char* in, Unit* out) {
  if (load_word(in) & kHighBits8) return false;
#if defined(__SSE2__)
  // Interleaved with zeros: GCC lowers the generic widening to four-byte
  // units through the stack, one byte at a time, and the wide load that
  // follows those stores waits for all of them.
  if constexpr (sizeof(Unit) > 1) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i pairs =
        _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)), zero);
    auto* const to = reinterpret_cast<__m128i*>(out);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(to, pairs);
    } else {
      _mm_storeu_si128(to, _mm_unpacklo_epi16(pairs, zero));
      _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(pairs, zero));
    }
    return true;
  }
#endif
  Bytes bytes;
  std::memcpy(&bytes, in, sizeof bytes);
  const Block<Unit> units = __builtin_convertvector(bytes, Block<Unit>);
  std::memcpy(out, &units, sizeof units);
  return true;
}

// An ASCII byte starts a run that may be long (keys, markup, Latin text):
// it is widened 8 bytes at a time while they last. Other text goes one
// character at a time, without a block check for each.
template <class Unit>
void decode(std::string_view text, Unit* out) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      while (i + kBlock <= n && widen_ascii_block(s + i, out)) {
        out += kBlock;
        i += kBlock;
      }
      if (i < n && s[i] < 0x80) *out++ = s[i++];
      continue;
    }
    char32_t c;
    if (lead < 0xE0) {
      c = ((lead & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      i += 2;
    } else if (lead < 0xF0) {
      c = ((lead & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      i += 3;
    } else {
      c = ((lead & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
          (s[i + 3] & 0x3Fu);
      i += 4;
    }
    *out++ = static_cast<Unit>(c);
  }
}

}  // namespace

// Most text is ASCII, and is found so 32 bytes at a time. From the first
// other byte on, 16 bytes at a time: the largest byte so far in each lane,
// and in each lane the bytes that start a character (all but 80 to BF),
// counted in 8 bits for up to 255 blocks before they are added up.
UnitsNeeded units_needed(std::string_view text) {
  using Lanes [[gnu::vector_size(16)]] = unsigned char;
  using SignedLanes [[gnu::vector_size(16)]] = signed char;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
#if defined(__SSE2__)
  // 32 bytes a step while they are ASCII, which long JSON text mostly is;
  // the word loop then finds where the first other byte lies.
  for (; i + 32 <= n; i += 32) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
    if (_mm_movemask_epi8(_mm_or_si128(low, high)) != 0) break;
  }
#endif
  while (i + 8 <= n && (load_word(s + i) & kHighBits8) == 0) i += 8;
  while (i < n && s[i] < 0x80) ++i;
  UnitsNeeded needed;
  if (i == n) {
    needed.count = n;
    return needed;
  }
  size_t starts = i;
  Lanes top = {};
  while (i + 16 <= n) {
    Lanes counts = {};
    for (size_t blocks = 0; blocks < 255 && i + 16 <= n; ++blocks, i += 16) {
      Lanes bytes;
      std::memcpy(&bytes, s + i, sizeof bytes);
      top = bytes > top ? bytes : top;
      counts -= reinterpret_cast<Lanes>(reinterpret_cast<SignedLanes>(bytes) > -65);
    }
    for (size_t lane = 0; lane < 16; ++lane) starts += counts[lane];
  }
  unsigned char widest = 0;
  for (size_t lane = 0; lane < 16; ++lane) widest = std::max(widest, top[lane]);
  for (; i < n; ++i) {
    starts += static_cast<signed char>(s[i]) > -65;
    widest = std::max(widest, s[i]);
  }
  needed.count = starts;
  needed.ascii = false;
  // Leads C2 and C3 encode U+0080 to U+00FF; up to EF, the rest of the BMP.
  needed.width = widest < 0xC4 ? 1 : widest < 0xF0 ? 2 : 4;
  return needed;
}

void decode_latin1(std::string_view text, uint8_t* out) { decode(text, out); }
void decode_ucs2(std::string_view text, uint16_t* out) { decode(text, out); }
void decode_ucs4(std::string_view text, uint32_t* out) { decode(text, out); }

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
