#include "runtime/kept_blocks.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/asan.h"

namespace tamsel::runtime::kept_blocks {
namespace {

// A slot holds a block's address with its size class in the low bits,
// which malloc's 16-byte alignment leaves free: a request looks only into
// slots of a class it may fit. The block's first word holds its usable
// size, read only by the thread that took the block out of its slot.
constexpr uintptr_t kClassBits = 7;
static_assert(std::bit_width(kLargest / kSmallest) - 1 <= kClassBits, "a class fits there");

std::atomic<uintptr_t> slots[kSlots] = {};
std::atomic<size_t> bytes_kept{0};

// 0 for 16 KiB up to 32 KiB, 1 up to 64 KiB, and so on.
uintptr_t class_of(size_t usable) { return std::bit_width(usable / kSmallest) - 1; }

size_t size_in(void* p) {
  size_t usable;
  std::memcpy(&usable, p, sizeof usable);
  return usable;
}

bool fits(size_t usable, size_t size) { return usable >= size && usable - size <= size / 8; }

// Puts the slot word `word` in an empty slot; false when every slot is full.
bool put(uintptr_t word) {
  for (std::atomic<uintptr_t>& slot : slots) {
    uintptr_t none = 0;
    if (slot.compare_exchange_strong(none, word, std::memory_order_release,
                                     std::memory_order_relaxed))
      return true;
  }
  return false;
}

void* handed_out(void* p, size_t usable) {
  bytes_kept.fetch_sub(usable, std::memory_order_relaxed);
  UNPOISON(p, usable);
  return p;
}

}  // namespace

void* take(size_t size, size_t* usable) noexcept {
  if (size > kLargest || size + size / 8 < kSmallest) return nullptr;
  // The classes of the blocks that may fit: from `size` to an eighth more.
  const uintptr_t low = class_of(std::max(size, kSmallest));
  const uintptr_t high = class_of(std::min(size + size / 8, kLargest));
  for (std::atomic<uintptr_t>& slot : slots) {
    const uintptr_t seen = slot.load(std::memory_order_relaxed);
    if (seen == 0 || (seen & kClassBits) < low || (seen & kClassBits) > high) continue;
    const uintptr_t word = slot.exchange(0, std::memory_order_acquire);
    if (word == 0) continue;
    void* p = reinterpret_cast<void*>(word & ~kClassBits);
    const size_t held = size_in(p);
    if (fits(held, size)) {
      *usable = held;
      return handed_out(p, held);
    }
    // Its class but not its fit: back where it waits, or to the system
    // when another block took its place meanwhile.
    if (!put(word)) std::free(handed_out(p, held));
  }
  return nullptr;
}

bool keep(void* p, size_t usable) noexcept {
  const auto address = reinterpret_cast<uintptr_t>(p);
  if (usable < kSmallest || usable > kLargest || (address & 15) != 0) return false;
  if (bytes_kept.fetch_add(usable, std::memory_order_relaxed) + usable > kMaxBytes) {
    bytes_kept.fetch_sub(usable, std::memory_order_relaxed);
    return false;
  }
  std::memcpy(p, &usable, sizeof usable);
  POISON(static_cast<char*>(p) + sizeof usable, usable - sizeof usable);
  if (put(address | class_of(usable))) return true;
  handed_out(p, usable);
  return false;
}

size_t kept_bytes() noexcept { return bytes_kept.load(std::memory_order_relaxed); }

}  // namespace tamsel::runtime::kept_blocks
