#include "engine/number_sort.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "runtime/bounds.h"

namespace tamsel::engine {
namespace {

// Below this, a comparison sort is as quick as the radix passes' set-up.
constexpr size_t kRadixFrom = 128;

constexpr unsigned kDigitBits = 11;
constexpr unsigned kPasses = (64 + kDigitBits - 1) / kDigitBits;
constexpr size_t kBuckets = size_t{1} << kDigitBits;

struct Keyed {
  uint64_t key;
  uint32_t position;
};

// A key whose unsigned order is the order of the doubles: the sign bit set
// for positive values, every bit flipped for negative ones; -0.0 is 0.0.
uint64_t order_key(double x) {
  if (x == 0) x = 0.0;
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  return (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
}

unsigned digit(uint64_t key, unsigned pass) {
  return static_cast<unsigned>(key >> (pass * kDigitBits)) & (kBuckets - 1);
}

}  // namespace

std::vector<uint32_t> sorted_positions(const std::vector<double>& values) {
  const size_t n = values.size();
  std::vector<Keyed> items(n);
  for (size_t i = 0; i < n; ++i) items[i] = {order_key(values[i]), static_cast<uint32_t>(i)};

  if (n < kRadixFrom) {
    std::stable_sort(items.begin(), items.end(),
                     [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  } else {
    // Least significant digit first: each pass is stable, so the last one
    // leaves equal keys in their first order. A pass whose digit is the same
    // for every key moves nothing and is skipped.
    std::vector<uint32_t> counts(kPasses * kBuckets, 0);
    for (const Keyed& item : items) {
      for (unsigned pass = 0; pass < kPasses; ++pass) ++counts[pass * kBuckets + digit(item.key, pass)];
    }
    std::vector<Keyed> spare(n);
    for (unsigned pass = 0; pass < kPasses; ++pass) {
      uint32_t* count = &counts[pass * kBuckets];
      if (count[digit(items[0].key, pass)] == n) continue;
      uint32_t start = 0;
      for (size_t bucket = 0; bucket < kBuckets; ++bucket) {
        const uint32_t c = count[bucket];
        count[bucket] = start;
        start += c;
      }
      for (const Keyed& item : items) spare[count[digit(item.key, pass)]++] = item;
      items.swap(spare);
      runtime::note_work(n);
    }
  }
  std::vector<uint32_t> positions(n);
  for (size_t i = 0; i < n; ++i) positions[i] = items[i].position;
  return positions;
}

}  // namespace tamsel::engine
