#include "runtime/arena.h"
#include "tamsel_limits.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <span>
#include <thread>

// Under AddressSanitizer, free blocks and the room not yet handed out are
// poisoned, and a block is opened to the bytes asked for only: reads past
// them, and uses of a block after it was freed, are reported as they would
// be for the system's memory.
#include "runtime/asan.h"

namespace tamsel::runtime {
namespace {

// Segments are aligned to their size, so the segment of a block is its
// address with the low bits cleared; the first slab holds the segment's own
// records.
constexpr size_t kSegmentSize = size_t{1} << 20;
constexpr size_t kSlabSize = size_t{16} << 10;
constexpr size_t kSlabsPerSegment = kSegmentSize / kSlabSize;

// Block sizes: steps of 16 bytes up to 256, then of 64 up to 1024.
constexpr unsigned class_of(size_t size) {
  return size <= 256 ? static_cast<unsigned>((size + 15) / 16 - 1)
                     : static_cast<unsigned>(16 + (size - 256 + 63) / 64 - 1);
}
constexpr size_t class_size(unsigned size_class) {
  return size_class < 16 ? (size_class + 1) * 16 : 256 + (size_class - 15) * 64;
}

uintptr_t segment_of(const void* p) {
  return reinterpret_cast<uintptr_t>(p) & ~(uintptr_t{kSegmentSize} - 1);
}

// A few segments are kept between calls, so that the many small calls do
// not each map and unmap one: one for each call that may run at once, as
// many as parsers are kept (one a core, at most kMaxKeptParsers). Unmapping
// in a process with threads also stops every other core a moment.
std::atomic<void*> spare_segments[kMaxKeptParsers] = {};

std::span<std::atomic<void*>> kept_segments() {
  static const size_t kept =
      std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxKeptParsers);
  return std::span<std::atomic<void*>>(spare_segments, kept);
}

void* map_segment() {
  for (std::atomic<void*>& spare_segment : kept_segments()) {
    if (spare_segment.load(std::memory_order_relaxed) == nullptr) continue;
    if (void* spare = spare_segment.exchange(nullptr)) return spare;
  }
  // Twice the size, then the unaligned ends trimmed off.
  const size_t span = 2 * kSegmentSize;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kSegmentSize - 1) & ~(uintptr_t{kSegmentSize} - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const uintptr_t tail = aligned + kSegmentSize;
  if (start + span > tail) munmap(reinterpret_cast<void*>(tail), start + span - tail);
  return reinterpret_cast<void*>(aligned);
}

void unmap_segment(void* segment) {
  UNPOISON(segment, kSegmentSize);  // what maps these pages next owes us nothing
  for (std::atomic<void*>& spare_segment : kept_segments()) {
    void* none = nullptr;
    if (spare_segment.compare_exchange_strong(none, segment)) return;
  }
  munmap(segment, kSegmentSize);
}

size_t set_slot(uintptr_t segment, size_t capacity) {
  return static_cast<size_t>(((segment >> 20) * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

}  // namespace

struct FreeBlock {
  FreeBlock* next;
};

struct CallArena::Slab {
  FreeBlock* free;  // freed blocks
  char* bump;       // the first block never handed out
  char* end;
  Slab* prev;  // neighbours on a partial list; `next` also links the empty list
  Slab* next;
  uint32_t live;
  uint16_t size_class;
  bool listed;  // on its size's partial list

  char* start() const { return end - kSlabSize; }
};

struct CallArena::Segment {
  Segment* next;
  size_t carved;  // slabs set up so far
  Slab slabs[kSlabsPerSegment];  // slabs[0] is where this record lies
};

TAMSEL_STATIC_TLS constinit thread_local CallArena* current_arena = nullptr;

CallArena::CallArena() noexcept : outer_(current_arena) {
  static_assert(sizeof(Segment) <= kSlabSize);
  static_assert(class_size(kClasses - 1) == kLargestBlock);
  static_assert(kClasses <= 32, "one bit of begun_ a size");
  current_arena = this;
}

CallArena::~CallArena() {
  current_arena = outer_;
  for (Segment* segment = segments_; segment;) {
    Segment* next = segment->next;
    unmap_segment(segment);
    segment = next;
  }
  if (segment_set_ != inline_set_) std::free(segment_set_);
}

size_t CallArena::block_size(size_t size) { return class_size(class_of(size)); }

void* CallArena::allocate(size_t size) noexcept {
  const unsigned size_class = class_of(size);
  if (Slab* slab = (begun_ >> size_class & 1) ? current_[size_class] : nullptr) {
    if (FreeBlock* block = slab->free) {
      UNPOISON(block, sizeof(FreeBlock));
      slab->free = block->next;
      POISON(block, sizeof(FreeBlock));
      UNPOISON(block, size);
      ++slab->live;
      ++live_blocks_;
      return block;
    }
    const size_t block_bytes = class_size(size_class);
    if (static_cast<size_t>(slab->end - slab->bump) >= block_bytes) {
      void* block = slab->bump;
      slab->bump += block_bytes;
      UNPOISON(block, size);
      ++slab->live;
      ++live_blocks_;
      return block;
    }
  }
  return allocate_slow(size, size_class);
}

// The current slab of this size is full: it leaves the arena's sight until
// one of its blocks is freed, and another slab with room takes its place.
void* CallArena::allocate_slow(size_t size, unsigned size_class) noexcept {
  if (!(begun_ >> size_class & 1)) {
    current_[size_class] = partial_[size_class] = nullptr;
    begun_ |= uint32_t{1} << size_class;
  }
  Slab* slab = partial_[size_class];
  if (slab) {
    unlist(slab);
  } else {
    slab = fresh_slab();
    if (!slab) return nullptr;
    slab->size_class = static_cast<uint16_t>(size_class);
  }
  current_[size_class] = slab;
  return allocate(size);
}

CallArena::Slab* CallArena::fresh_slab() noexcept {
  if (Slab* slab = empty_) {
    empty_ = slab->next;
    slab->next = nullptr;
    return slab;
  }
  // Slabs are set up when first needed, in address order, so that a small
  // call touches only the few it uses.
  if ((!segments_ || segments_->carved == kSlabsPerSegment) && !add_segment()) return nullptr;
  Segment* segment = segments_;
  const size_t i = segment->carved++;
  Slab* slab = &segment->slabs[i];
  slab->end = reinterpret_cast<char*>(segment) + (i + 1) * kSlabSize;
  slab->bump = slab->start();
  slab->free = nullptr;
  slab->prev = slab->next = nullptr;
  slab->live = 0;
  slab->size_class = 0;
  slab->listed = false;
  return slab;
}

bool CallArena::add_segment() noexcept {
  // The set of segments stays at most half full; the first few fit in the
  // arena itself.
  if (set_capacity_ == 0) {
    segment_set_ = inline_set_;
    set_capacity_ = kInlineSet;
    for (uintptr_t& slot : inline_set_) slot = 0;
  } else if (2 * (segment_count_ + 1) > set_capacity_) {
    const size_t capacity = 2 * set_capacity_;
    auto* set = static_cast<uintptr_t*>(std::calloc(capacity, sizeof(uintptr_t)));
    if (!set) return false;
    for (size_t i = 0; i < set_capacity_; ++i) {
      if (const uintptr_t segment = segment_set_[i]) {
        size_t slot = set_slot(segment, capacity);
        while (set[slot]) slot = (slot + 1) & (capacity - 1);
        set[slot] = segment;
      }
    }
    if (segment_set_ != inline_set_) std::free(segment_set_);
    segment_set_ = set;
    set_capacity_ = capacity;
  }
  void* memory = map_segment();
  if (!memory) return false;
  const uintptr_t address = reinterpret_cast<uintptr_t>(memory);
  size_t slot = set_slot(address, set_capacity_);
  while (segment_set_[slot]) slot = (slot + 1) & (set_capacity_ - 1);
  segment_set_[slot] = address;
  ++segment_count_;

  POISON(static_cast<char*>(memory) + kSlabSize, kSegmentSize - kSlabSize);
  auto* segment = new (memory) Segment;
  segment->next = segments_;
  segment->carved = 1;  // slabs[0] holds this record
  segments_ = segment;
  return true;
}

bool CallArena::owns(const void* p) {
  const uintptr_t segment = segment_of(p);
  if (segment == last_segment_ && segment) return true;
  if (!set_capacity_) return false;
  for (size_t slot = set_slot(segment, set_capacity_);; slot = (slot + 1) & (set_capacity_ - 1)) {
    if (segment_set_[slot] == segment) {
      last_segment_ = segment;
      return true;
    }
    if (!segment_set_[slot]) return false;
  }
}

size_t CallArena::release_in_open(void* p) noexcept {
  for (CallArena* arena = current_arena; arena; arena = arena->outer_) {
    if (arena->owns(p)) return arena->free_block(p);
  }
  return 0;
}

size_t CallArena::free_block(void* p) noexcept {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  auto* segment = reinterpret_cast<Segment*>(segment_of(p));
  Slab* slab = &segment->slabs[(address - segment_of(p)) / kSlabSize];
  auto* block = static_cast<FreeBlock*>(p);
  const size_t block_bytes = class_size(slab->size_class);
  UNPOISON(block, block_bytes);
  block->next = slab->free;
  POISON(block, block_bytes);
  slab->free = block;
  --slab->live;
  --live_blocks_;
  const unsigned size_class = slab->size_class;
  if (slab == current_[size_class]) return class_size(size_class);
  if (slab->live == 0) {
    // Free for blocks of any size again.
    if (slab->listed) unlist(slab);
    slab->free = nullptr;
    slab->bump = slab->start();
    slab->next = empty_;
    empty_ = slab;
  } else if (!slab->listed) {
    slab->listed = true;
    slab->prev = nullptr;
    slab->next = partial_[size_class];
    if (slab->next) slab->next->prev = slab;
    partial_[size_class] = slab;
  }
  return class_size(size_class);
}

void CallArena::unlist(Slab* slab) noexcept {
  if (slab->prev) {
    slab->prev->next = slab->next;
  } else {
    partial_[slab->size_class] = slab->next;
  }
  if (slab->next) slab->next->prev = slab->prev;
  slab->prev = slab->next = nullptr;
  slab->listed = false;
}

}  // namespace tamsel::runtime
