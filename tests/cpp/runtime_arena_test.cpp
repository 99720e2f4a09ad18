#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "runtime/arena.h"

namespace tamsel::runtime {
namespace {

struct Block {
  unsigned char* p;
  size_t size;
  unsigned char fill;
};

bool holds(const Block& b) {
  for (size_t i = 0; i < b.size; ++i)
    if (b.p[i] != b.fill) return false;
  return true;
}

// Blocks of every size, freed in random order while others are taken: none
// overlaps another (each keeps its own fill), each is aligned, and the
// arena hands back exactly what it handed out.
TEST(CallArena, BlocksStayApartThroughRandomUse) {
  CallArena arena;
  std::mt19937 rng(7);
  std::vector<Block> live;
  for (int step = 0; step < 200000; ++step) {
    if (live.empty() || rng() % 3 != 0) {
      const size_t size = 1 + rng() % CallArena::kLargestBlock;
      auto* p = static_cast<unsigned char*>(arena.allocate(size));
      ASSERT_NE(p, nullptr);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
      ASSERT_GE(CallArena::block_size(size), size);
      const auto fill = static_cast<unsigned char>(rng());
      std::memset(p, fill, size);
      live.push_back({p, size, fill});
    } else {
      const size_t at = rng() % live.size();
      ASSERT_TRUE(holds(live[at])) << "step " << step;
      EXPECT_EQ(CallArena::release(live[at].p), CallArena::block_size(live[at].size));
      live[at] = live.back();
      live.pop_back();
    }
  }
  EXPECT_EQ(arena.live_blocks(), live.size());
  for (const Block& b : live) {
    ASSERT_TRUE(holds(b));
    CallArena::release(b.p);
  }
  EXPECT_EQ(arena.live_blocks(), 0u);
}

// A slab whose blocks are all free serves blocks of another size: taking
// the same memory again in a new size needs no new segment.
TEST(CallArena, EmptySlabsServeAnySize) {
  CallArena arena;
  std::vector<void*> small;
  for (int i = 0; i < 100000; ++i) small.push_back(arena.allocate(16));
  const size_t segments = arena.segments();
  EXPECT_GT(segments, 1u);
  for (void* p : small) CallArena::release(p);
  std::vector<void*> large;
  for (int i = 0; i < 1500; ++i) large.push_back(arena.allocate(1000));
  EXPECT_EQ(arena.segments(), segments);
  for (void* p : large) CallArena::release(p);
}

TEST(CallArena, KnowsItsOwnBlocksAcrossNestedArenas) {
  void* system = std::malloc(32);
  EXPECT_EQ(CallArena::release(system), 0u);  // no arena open
  CallArena outer;
  void* from_outer = outer.allocate(40);
  {
    CallArena inner;
    void* from_inner = inner.allocate(300);
    EXPECT_EQ(CallArena::release(system), 0u);
    EXPECT_EQ(CallArena::release(from_outer), 48u);
    EXPECT_EQ(CallArena::release(from_inner), 320u);
    EXPECT_EQ(outer.live_blocks() + inner.live_blocks(), 0u);
  }
  std::free(system);
}

TEST(CallArena, ServesOnlyWhileInUseAndNotPaused) {
  EXPECT_EQ(CallArena::serving(), nullptr);
  CallArena arena;
  EXPECT_EQ(CallArena::serving(), nullptr);
  {
    const ArenaInUse in_use(arena);
    EXPECT_EQ(CallArena::serving(), &arena);
    {
      const ArenaPause paused;
      EXPECT_EQ(CallArena::serving(), nullptr);
      CallArena nested;  // a call made from inside the pause
      EXPECT_EQ(CallArena::serving(), nullptr);
    }
    EXPECT_EQ(CallArena::serving(), &arena);
  }
  EXPECT_EQ(CallArena::serving(), nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a freed block, and the bytes past what was asked
// for, are as untouchable as the system's own freed memory.
TEST(CallArenaDeathTest, SanitizerSeesFreedBlocksAndOverruns) {
  EXPECT_DEATH(
      {
        CallArena arena;
        auto* p = static_cast<volatile char*>(arena.allocate(24));
        CallArena::release(const_cast<char*>(p));
        (void)p[0];
      },
      "use-after-poison");
  EXPECT_DEATH(
      {
        CallArena arena;
        auto* p = static_cast<volatile char*>(arena.allocate(24));
        (void)p[24];
      },
      "use-after-poison");
}
#endif

}  // namespace
}  // namespace tamsel::runtime
