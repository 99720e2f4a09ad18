// Fixed-width code units (the three storage widths of a Python str) to
// UTF-8 and back, and the check that finds where bytes stop being UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tamsel::utf8 {

inline constexpr size_t kNotEncoded = static_cast<size_t>(-1);

// Bytes of UTF-8 that `units` code units of each width can need at most.
inline constexpr size_t max_encoded_size(size_t units, size_t unit_width) {
  return units * (unit_width == 1 ? 2 : unit_width == 2 ? 3 : 4);
}

// Each writes the UTF-8 form of `n` code units to `out`, which has room for
// max_encoded_size(n, width) bytes, and returns the bytes written. The 2- and
// 4-byte forms return kNotEncoded at a surrogate code point, which has no
// UTF-8 form; what they wrote up to there is garbage.
size_t encode_latin1(const uint8_t* in, size_t n, char* out);
size_t encode_ucs2(const uint16_t* in, size_t n, char* out);
size_t encode_ucs4(const uint32_t* in, size_t n, char* out);

// What the code points of valid UTF-8 text need as fixed-width units: how
// many there are, and the narrowest width that holds them all (1, 2 or 4
// bytes; `ascii` when every one is below U+0080).
struct UnitsNeeded {
  size_t count = 0;
  size_t width = 1;
  bool ascii = true;
};
UnitsNeeded units_needed(std::string_view text);

// Each writes the code points of valid UTF-8 `text` as units of its width
// to `out`, which has room for them all (units_needed); every code point
// must fit in the width.
void decode_latin1(std::string_view text, uint8_t* out);
void decode_ucs2(std::string_view text, uint16_t* out);
void decode_ucs4(std::string_view text, uint32_t* out);

// Offset of the first byte of the first sequence in `bytes` that is not
// well-formed UTF-8 (the offset a Python UnicodeDecodeError reports), or
// kNotEncoded when all of it is.
size_t first_invalid(std::string_view bytes);

}  // namespace tamsel::utf8
