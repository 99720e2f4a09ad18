// The memory of the values one call builds.
//
// A call builds and drops millions of small blocks: array and map storage,
// strings, the boxes of arrays and objects. The arena serves blocks of up to
// kLargestBlock bytes from slabs of one block size each, carved from large
// aligned segments that it takes from the system; a freed block goes back on
// its slab's free list, and a slab whose blocks are all free goes back to
// the arena for any size, so what a call holds stays close to what it uses.
// When the arena ends, every segment goes back in one step.
//
// The module opens one arena around each run and lets it serve the run's
// evaluation (ArenaInUse); its allocation functions then take small blocks
// from it and hand every block that it owns back to it. Larger blocks, and
// everything allocated while no arena serves, are the system's.
//
// Nothing allocated while an arena serves may outlive it, nor be freed by
// code that does not free through the module's functions (another library):
// code that hands memory to such a library, or makes memory that must last,
// pauses the arena around it (ArenaPause).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/static_tls.h"

namespace tamsel::runtime {

class CallArena;

// The innermost arena open on this thread, or nullptr.
TAMSEL_STATIC_TLS extern constinit thread_local CallArena* current_arena;

class CallArena {
 public:
  static constexpr size_t kLargestBlock = 1024;

  // Opens the arena on this thread; it serves nothing until an ArenaInUse.
  CallArena() noexcept;
  ~CallArena();
  CallArena(const CallArena&) = delete;
  CallArena& operator=(const CallArena&) = delete;

  // The size of the block that serves `size` bytes (1 to kLargestBlock).
  static size_t block_size(size_t size);

  // The arena serving allocations on this thread, or nullptr.
  static CallArena* serving() {
    CallArena* arena = current_arena;
    return arena && arena->serving_ ? arena : nullptr;
  }

  // A block for `size` bytes (1 to kLargestBlock), 16-byte aligned; nullptr
  // when the system has no memory for a new segment.
  void* allocate(size_t size) noexcept;

  // The arena on this thread that owns `p`, if any, returns `p` to it and
  // gives the size of its block; 0 when no open arena owns it.
  static size_t release(void* p) noexcept { return current_arena ? release_in_open(p) : 0; }

  // Blocks handed out and not yet freed, and segments taken (for tests).
  size_t live_blocks() const { return live_blocks_; }
  size_t segments() const { return segment_count_; }

 private:
  friend class ArenaInUse;
  friend class ArenaPause;
  struct Slab;
  struct Segment;
  static constexpr unsigned kClasses = 28;

  static size_t release_in_open(void* p) noexcept;
  bool owns(const void* p);
  size_t free_block(void* p) noexcept;
  void* allocate_slow(size_t size, unsigned size_class) noexcept;
  Slab* fresh_slab() noexcept;
  bool add_segment() noexcept;
  void unlist(Slab* slab) noexcept;

  CallArena* outer_;
  bool serving_ = false;
  size_t live_blocks_ = 0;
  // The slab each size is served from, and the other slabs of that size
  // with free blocks: set for a size when it is first asked for (bit
  // `size_class` of begun_), so that a small call does not clear them all.
  uint32_t begun_ = 0;
  Slab* current_[kClasses];
  Slab* partial_[kClasses];
  Slab* empty_ = nullptr;         // slabs with no block in use
  Segment* segments_ = nullptr;
  // The segments' addresses, an open-addressing set (capacity a power of 2):
  // inline_set_ until it grows.
  static constexpr size_t kInlineSet = 8;
  uintptr_t inline_set_[kInlineSet];
  uintptr_t* segment_set_ = nullptr;
  size_t set_capacity_ = 0;
  size_t segment_count_ = 0;
  uintptr_t last_segment_ = 0;  // the segment the last lookup hit
};

// Lets `arena` serve this thread's allocations for its lifetime.
class ArenaInUse {
 public:
  explicit ArenaInUse(CallArena& arena) : arena_(arena), was_(arena.serving_) {
    arena.serving_ = true;
  }
  ~ArenaInUse() { arena_.serving_ = was_; }
  ArenaInUse(const ArenaInUse&) = delete;
  ArenaInUse& operator=(const ArenaInUse&) = delete;

 private:
  CallArena& arena_;
  bool was_;
};

// Allocations on this thread go to the system for its lifetime; blocks of
// the arena freed meanwhile still go back to it.
class ArenaPause {
 public:
  ArenaPause() : arena_(current_arena), was_(arena_ && arena_->serving_) {
    if (arena_) arena_->serving_ = false;
  }
  ~ArenaPause() {
    if (arena_) arena_->serving_ = was_;
  }
  ArenaPause(const ArenaPause&) = delete;
  ArenaPause& operator=(const ArenaPause&) = delete;

 private:
  CallArena* arena_;
  bool was_;
};

}  // namespace tamsel::runtime
