// Equality of short byte strings (keys, names) without a call to memcmp:
// the keys a query and a document share are mostly under 16 bytes, where
// the call and its dispatch cost more than the comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tamsel {

// Whether the `n` bytes at `a` and at `b` are the same: a word at a time,
// the last word overlapping the one before it, and never a byte outside
// either.
inline bool same_bytes(const char* a, const char* b, size_t n) {
  auto load8 = [](const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  auto load4 = [](const char* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (load8(a + i) != load8(b + i)) return false;
    return load8(a + n - 8) == load8(b + n - 8);
  }
  if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

inline bool same_text(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

}  // namespace tamsel
