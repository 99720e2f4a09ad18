#include "texts/cut_finder.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace tamsel::texts {
namespace {

using detail::FramingState;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr size_t kBlock = 64;

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool is_open(char c) { return c == '[' || c == '{'; }
bool is_close(char c) { return c == ']' || c == '}'; }
// Ends a text that is neither container nor string.
bool ends_token(char c) { return is_space(c) || is_open(c) || is_close(c) || c == '"'; }

// Byte by byte, the framing rules of text_splitter.h, through the `size`
// bytes at `data`, which lie at `base` in the region.
void step_bytes(FramingState& s, const char* data, size_t size, size_t base) {
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (s.in_string) {
      if (s.escaped) {
        s.escaped = false;
      } else if (c == '\\') {
        s.escaped = true;
      } else if (c == '"') {
        s.in_string = false;
        if (s.depth == 0) s.last = base + i + 1;
      }
      continue;
    }
    if (s.in_token) {
      if (!ends_token(c)) continue;
      s.in_token = false;
    }
    if (s.depth == 0) {
      // Between texts: the next one starts here, if this is not space.
      s.last = base + i;
      if (is_space(c)) {
        s.last = base + i + 1;
      } else if (c == '"') {
        s.in_string = true;
      } else if (is_open(c)) {
        s.depth = 1;
      } else if (is_close(c)) {
        s.last = base + i + 1;  // a closing bracket with nothing open: a text of its own
      } else {
        s.in_token = true;
      }
      continue;
    }
    if (c == '"') {
      s.in_string = true;
    } else if (is_open(c)) {
      ++s.depth;
    } else if (is_close(c) && --s.depth == 0) {
      s.last = base + i + 1;
    }
  }
}

// The bytes of a block that matter, one bit a byte; white space is found
// only for the blocks where a text may end.
struct Masks {
  uint64_t quote, backslash, open, close;
};

// Each bit the parity of the bits up to it: inside a string, from an
// opening quote up to its closing one.
struct ShiftedXor {
  [[gnu::always_inline]] static uint64_t prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
  }
};

// One block through its masks, when no byte of it needs looking at alone;
// false, changing nothing, when one does (a text ends in it other than at
// a bracket, or a backslash stands outside a string).
template <class Xor, class Spaces>
[[gnu::always_inline]] inline bool step_block(FramingState& s, const Masks& m, size_t base,
                                              Spaces&& spaces) {
  if (s.in_token || (s.depth == 0 && s.in_string)) return false;
  // The escaped bytes, by the parity of each run of backslashes (a run
  // that ends the block carries into the next).
  uint64_t escaped = 0;
  bool carries = false;
  if (m.backslash != 0 || s.escaped) {
    const uint64_t was_escaped = s.escaped ? 1 : 0;
    const uint64_t backslash = m.backslash & ~was_escaped;
    const uint64_t follows_escape = (backslash << 1) | was_escaped;
    constexpr uint64_t kEvenBits = 0x5555555555555555ULL;
    const uint64_t odd_starts = backslash & ~kEvenBits & ~follows_escape;
    uint64_t even_starts;
    carries = __builtin_add_overflow(odd_starts, backslash, &even_starts);
    escaped = (kEvenBits ^ (even_starts << 1)) & follows_escape;
  }
  // Inside a string: from an opening quote up to its closing one.
  const uint64_t in_string =
      Xor::prefix_xor(m.quote & ~escaped) ^ (s.in_string ? ~uint64_t{0} : 0);
  // A backslash outside a string is read byte by byte, as a token's.
  if (m.backslash & ~in_string) return false;
  const uint64_t opens = m.open & ~in_string;
  const uint64_t closes = m.close & ~in_string;
  const uint64_t close_count = static_cast<uint64_t>(__builtin_popcountll(closes));
  if (s.depth > close_count) {
    // Deep inside a text: no bracket can close it here.
    s.depth += static_cast<uint64_t>(__builtin_popcountll(opens)) - close_count;
  } else {
    // A text may end here: bracket by bracket, with only space allowed
    // where none is open.
    uint64_t depth = s.depth;
    size_t last = s.last;
    unsigned open_from = depth == 0 ? 0 : kBlock;  // where none is open since
    const uint64_t not_space = ~spaces();
    auto space_only = [&](unsigned from, unsigned to) {
      if (from >= to) return true;
      const uint64_t upto = to >= kBlock ? ~uint64_t{0} : (uint64_t{1} << to) - 1;
      return (not_space & upto & ~((uint64_t{1} << from) - 1)) == 0;
    };
    for (uint64_t brackets = opens | closes; brackets; brackets &= brackets - 1) {
      const unsigned j = static_cast<unsigned>(__builtin_ctzll(brackets));
      if (open_from < kBlock) {
        if (!space_only(open_from, j)) return false;
        last = base + j;
      }
      if (opens & (uint64_t{1} << j)) {
        ++depth;
        open_from = kBlock;
      } else if (depth == 0 || --depth == 0) {
        last = base + j + 1;
        open_from = j + 1;
      }
    }
    if (open_from < kBlock) {
      if (!space_only(open_from, kBlock)) return false;
      last = base + kBlock;
    }
    s.depth = depth;
    s.last = last;
  }
  s.in_string = (in_string >> 63) != 0;
  s.escaped = carries;
  return true;
}

// The masks of 64 bytes, for each kind of processor.
#if defined(__x86_64__)
__attribute__((target("avx2"))) inline uint64_t bits(__m256i lo, __m256i hi) {
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(lo))) |
         (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(hi))) << 32);
}

__attribute__((target("avx2"))) inline Masks masks_avx2(const char* p) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  // '[' and '{', ']' and '}' differ only in the bit 0x20.
  const __m256i folded_a = _mm256_or_si256(a, _mm256_set1_epi8(0x20));
  const __m256i folded_b = _mm256_or_si256(b, _mm256_set1_epi8(0x20));
  Masks m;
  m.quote = bits(_mm256_cmpeq_epi8(a, _mm256_set1_epi8('"')),
                 _mm256_cmpeq_epi8(b, _mm256_set1_epi8('"')));
  m.backslash = bits(_mm256_cmpeq_epi8(a, _mm256_set1_epi8('\\')),
                     _mm256_cmpeq_epi8(b, _mm256_set1_epi8('\\')));
  m.open = bits(_mm256_cmpeq_epi8(folded_a, _mm256_set1_epi8('{')),
                _mm256_cmpeq_epi8(folded_b, _mm256_set1_epi8('{')));
  m.close = bits(_mm256_cmpeq_epi8(folded_a, _mm256_set1_epi8('}')),
                 _mm256_cmpeq_epi8(folded_b, _mm256_set1_epi8('}')));
  return m;
}

__attribute__((target("avx2"))) inline uint64_t spaces_avx2(const char* p) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  // By table: the byte's low nibble picks the one space byte it could be.
  const __m256i table = _mm256_setr_epi8(' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r', 0,
                                         0, ' ', 0, 0, 0, 0, 0, 0, 0, 0, '\t', '\n', 0, 0, '\r',
                                         0, 0);
  return bits(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, a), a),
              _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, b), b));
}

__attribute__((target("avx2"))) size_t step_blocks_avx2(FramingState& s, const char* data,
                                                        size_t size, size_t base) {
  size_t i = 0;
  for (; i + kBlock <= size; i += kBlock) {
    const char* block = data + i;
    if (!step_block<ShiftedXor>(s, masks_avx2(block), base + i,
                                [block] { return spaces_avx2(block); }))
      step_bytes(s, block, kBlock, base + i);
  }
  return i;
}

inline Masks masks_sse2(const char* p) {
  Masks m{0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    auto bits = [k](__m128i matches) {
      return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(matches))) << (16 * k);
    };
    m.quote |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    m.backslash |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    m.open |= bits(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')));
    m.close |= bits(_mm_cmpeq_epi8(folded, _mm_set1_epi8('}')));
  }
  return m;
}

inline uint64_t spaces_sse2(const char* p) {
  uint64_t spaces = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const __m128i matches = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
    spaces |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(matches))) << (16 * k);
  }
  return spaces;
}
#define TAMSEL_BLOCK_MASKS masks_sse2
#define TAMSEL_BLOCK_SPACES spaces_sse2
#elif defined(__aarch64__)
inline uint64_t neon_bits(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
  // Each byte keeps its own bit of its group of eight, and pairwise sums
  // gather the groups.
  const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
  uint8x16_t sum = vpaddq_u8(vandq_u8(a, weights), vandq_u8(b, weights));
  const uint8x16_t sum2 = vpaddq_u8(vandq_u8(c, weights), vandq_u8(d, weights));
  sum = vpaddq_u8(sum, sum2);
  sum = vpaddq_u8(sum, sum);
  return vgetq_lane_u64(vreinterpretq_u64_u8(sum), 0);
}

inline Masks masks_neon(const char* p) {
  const uint8_t* u = reinterpret_cast<const uint8_t*>(p);
  const uint8x16_t v[4] = {vld1q_u8(u), vld1q_u8(u + 16), vld1q_u8(u + 32), vld1q_u8(u + 48)};
  auto match = [&](auto&& test) { return neon_bits(test(v[0]), test(v[1]), test(v[2]), test(v[3])); };
  const uint8x16_t lower = vdupq_n_u8(0x20);
  Masks m;
  m.quote = match([](uint8x16_t x) { return vceqq_u8(x, vdupq_n_u8('"')); });
  m.backslash = match([](uint8x16_t x) { return vceqq_u8(x, vdupq_n_u8('\\')); });
  m.open = match([&](uint8x16_t x) { return vceqq_u8(vorrq_u8(x, lower), vdupq_n_u8('{')); });
  m.close = match([&](uint8x16_t x) { return vceqq_u8(vorrq_u8(x, lower), vdupq_n_u8('}')); });
  return m;
}

inline uint64_t spaces_neon(const char* p) {
  const uint8_t* u = reinterpret_cast<const uint8_t*>(p);
  auto test = [](uint8x16_t x) {
    return vorrq_u8(vorrq_u8(vceqq_u8(x, vdupq_n_u8(' ')), vceqq_u8(x, vdupq_n_u8('\n'))),
                    vorrq_u8(vceqq_u8(x, vdupq_n_u8('\r')), vceqq_u8(x, vdupq_n_u8('\t'))));
  };
  return neon_bits(test(vld1q_u8(u)), test(vld1q_u8(u + 16)), test(vld1q_u8(u + 32)),
                   test(vld1q_u8(u + 48)));
}
#define TAMSEL_BLOCK_MASKS masks_neon
#define TAMSEL_BLOCK_SPACES spaces_neon
#else
inline Masks masks_bytes(const char* p) {
  Masks m{0, 0, 0, 0};
  for (size_t i = 0; i < kBlock; ++i) {
    const uint64_t bit = uint64_t{1} << i;
    const char c = p[i];
    if (c == '"') m.quote |= bit;
    if (c == '\\') m.backslash |= bit;
    if (is_open(c)) m.open |= bit;
    if (is_close(c)) m.close |= bit;
  }
  return m;
}

inline uint64_t spaces_bytes(const char* p) {
  uint64_t spaces = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    if (is_space(p[i])) spaces |= uint64_t{1} << i;
  }
  return spaces;
}
#define TAMSEL_BLOCK_MASKS masks_bytes
#define TAMSEL_BLOCK_SPACES spaces_bytes
#endif

size_t step_blocks_portable(FramingState& s, const char* data, size_t size, size_t base) {
  size_t i = 0;
  for (; i + kBlock <= size; i += kBlock) {
    const char* block = data + i;
    if (!step_block<ShiftedXor>(s, TAMSEL_BLOCK_MASKS(block), base + i,
                    [block] { return TAMSEL_BLOCK_SPACES(block); }))
      step_bytes(s, block, kBlock, base + i);
  }
  return i;
}

size_t step_blocks(FramingState& s, const char* data, size_t size, size_t base) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return step_blocks_avx2(s, data, size, base);
#endif
  return step_blocks_portable(s, data, size, base);
}

}  // namespace

void CutFinder::look(std::string_view region) {
  if (region.size() <= scanned_) return;
  if (bom_pending_) {
    const size_t have = std::min(region.size(), kByteOrderMark.size());
    if (region.substr(0, have) == kByteOrderMark.substr(0, have)) {
      if (have < kByteOrderMark.size()) return;  // wait for the rest of it
      scanned_ = have;
    }
    bom_pending_ = false;
  }
  const size_t from = scanned_;
  looked_ += region.size() - from;
  scanned_ = region.size();
  if (lines_) {
    // The last line break: a place between texts, whatever came before.
    const void* found = memrchr(region.data() + from, '\n', region.size() - from);
    if (found) state_.last = static_cast<size_t>(static_cast<const char*>(found) - region.data()) + 1;
    return;
  }
  const char* data = region.data() + from;
  const size_t size = region.size() - from;
  const size_t blocks = step_blocks(state_, data, size, from);
  step_bytes(state_, data + blocks, size - blocks, from + blocks);
}

void CutFinder::cut(size_t at) {
  scanned_ -= at;
  state_.last = state_.last > at ? state_.last - at : 0;
}

}  // namespace tamsel::texts
