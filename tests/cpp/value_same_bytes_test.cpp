#include <gtest/gtest.h>

#include <string>

#include "value/same_bytes.h"

namespace tamsel {
namespace {

// Every length the word-at-a-time paths split on, with one byte changed at
// every place in turn: each change is seen, and equal bytes are equal even
// where the words overlap.
TEST(SameBytes, TellsADifferenceAtEveryPlaceOfEveryLength) {
  for (size_t n = 0; n <= 40; ++n) {
    std::string a(n, 'k');
    for (size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
    const std::string b = a;
    EXPECT_TRUE(same_bytes(a.data(), b.data(), n)) << n;
    EXPECT_TRUE(same_text(a, b)) << n;
    for (size_t at = 0; at < n; ++at) {
      std::string c = a;
      c[at] ^= 0x20;
      EXPECT_FALSE(same_bytes(a.data(), c.data(), n)) << n << " at " << at;
    }
    EXPECT_FALSE(same_text(a, a + "k")) << n;
  }
}

}  // namespace
}  // namespace tamsel
