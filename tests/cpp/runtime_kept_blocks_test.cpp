#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "runtime/kept_blocks.h"

namespace tamsel::runtime::kept_blocks {
namespace {

// A block from malloc with its usable size, kept as the allocation
// functions keep what is freed.
struct Block {
  void* p;
  size_t usable;
};

Block fresh(size_t size) {
  void* p = std::malloc(size);
  return {p, malloc_usable_size(p)};
}

// Takes back and frees whatever is kept, so that each test starts empty.
void drain() {
  for (size_t size = kSmallest; size <= kLargest; size += size / 16) {
    size_t usable;
    while (void* p = take(size, &usable)) std::free(p);
  }
  ASSERT_EQ(kept_bytes(), 0u);
}

TEST(KeptBlocks, AKeptBlockServesOnlyARequestItFitsClosely) {
  drain();
  const size_t size = 100000;
  struct Case {
    size_t request;
    bool served;
  };
  const Case cases[] = {
      {size + 4096, false},  // larger than the block
      {size / 2, false},     // would waste half of it
      {size - size / 16, true},
      {size, true},
  };
  for (const Case& c : cases) {
    const Block block = fresh(size);
    ASSERT_TRUE(keep(block.p, block.usable));
    EXPECT_EQ(kept_bytes(), block.usable);
    size_t usable = 0;
    void* p = take(c.request, &usable);
    EXPECT_EQ(p != nullptr, c.served) << c.request;
    if (p) {
      EXPECT_EQ(p, block.p);
      EXPECT_EQ(usable, block.usable);
      std::memset(p, 0xAB, c.request);  // all of it is the caller's again
      std::free(p);
    }
    drain();
  }
}

TEST(KeptBlocks, KeepsOnlyBlocksOfItsSizesUpToItsBounds) {
  drain();
  std::vector<Block> refused;
  for (const size_t size : {kSmallest / 2, kLargest * 2}) {
    const Block block = fresh(size);
    EXPECT_FALSE(keep(block.p, block.usable)) << size;
    refused.push_back(block);
  }
  // kMaxBytes of the largest blocks fill it; one more is refused.
  size_t kept = 0;
  while (kept + kLargest <= kMaxBytes) {
    const Block block = fresh(kLargest - 64);
    ASSERT_TRUE(keep(block.p, block.usable));
    kept += block.usable;
  }
  const Block over = fresh(kLargest - 64);
  EXPECT_FALSE(keep(over.p, over.usable));
  refused.push_back(over);
  drain();
  // No more than kSlots blocks, whatever their bytes.
  for (size_t i = 0; i < kSlots; ++i) {
    const Block block = fresh(kSmallest);
    ASSERT_TRUE(keep(block.p, block.usable));
  }
  const Block extra = fresh(kSmallest);
  EXPECT_FALSE(keep(extra.p, extra.usable));
  refused.push_back(extra);
  drain();
  for (const Block& block : refused) std::free(block.p);
}

// Threads keep and take blocks of a few sizes at once: a block is never
// handed to two of them (each fills its own and finds its fill intact), and
// nothing is lost from the count of what is kept.
TEST(KeptBlocks, ThreadsNeverShareABlock) {
  drain();
  constexpr int kThreads = 4;
  std::vector<std::thread> threads;
  std::vector<int> faults(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &faults] {
      const size_t sizes[] = {kSmallest, 3 * kSmallest, 40000};
      for (int round = 0; round < 3000; ++round) {
        const size_t size = sizes[(round + t) % 3];
        size_t usable = 0;
        void* p = take(size, &usable);
        if (!p) {
          p = std::malloc(size);
          usable = malloc_usable_size(p);
        }
        const auto fill = static_cast<unsigned char>(t * 31 + round);
        std::memset(p, fill, size);
        for (size_t i = 0; i < size; i += 997)
          if (static_cast<unsigned char*>(p)[i] != fill) ++faults[t];
        if (!keep(p, usable)) std::free(p);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(faults[t], 0) << t;
  EXPECT_LE(kept_bytes(), kMaxBytes);
  drain();
}

}  // namespace
}  // namespace tamsel::runtime::kept_blocks
