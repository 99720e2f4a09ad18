// The module's own allocation functions: every allocation the module's C++
// code makes is charged to the bounds of the call running on its thread (see
// runtime/bounds.h), checked before the memory is taken. Small blocks
// come from the call's arena while one serves (runtime/arena.h), where
// the module is linked so that only its own code reaches these functions
// (TAMSEL_CALL_ARENA); everything else is malloc and free, but for large
// blocks that are kept for the next call that needs one (kept_blocks.h).
#include <cstdlib>
#include <new>

#if defined(__APPLE__)
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

#include "runtime/arena.h"
#include "runtime/bounds.h"
#include "runtime/kept_blocks.h"

namespace {

using tamsel::runtime::BudgetExceeded;
using tamsel::runtime::CallArena;
namespace kept_blocks = tamsel::runtime::kept_blocks;

size_t usable_size(void* p) {
#if defined(__APPLE__)
  return malloc_size(p);
#else
  return malloc_usable_size(p);
#endif
}

// nullptr when the budget or the system refuses; `over_budget` says which.
void* take(size_t size, size_t alignment, bool* over_budget) {
  if (size == 0) size = 1;
#if defined(TAMSEL_CALL_ARENA)
  if (size <= CallArena::kLargestBlock && alignment <= alignof(std::max_align_t)) {
    if (CallArena* arena = CallArena::serving()) {
      const size_t block = CallArena::block_size(size);
      *over_budget = !tamsel::runtime::charge(block);
      if (*over_budget) return nullptr;
      if (void* p = arena->allocate(size)) return p;
      tamsel::runtime::settle(-static_cast<int64_t>(block));
    }
  }
#endif
  *over_budget = !tamsel::runtime::charge(size);
  if (*over_budget) return nullptr;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    size_t kept_size = 0;
    if ((p = kept_blocks::take(size, &kept_size))) {
      tamsel::runtime::settle(static_cast<int64_t>(kept_size) - static_cast<int64_t>(size));
      return p;
    }
    p = std::malloc(size);
  } else if (posix_memalign(&p, alignment, size) != 0) {
    p = nullptr;
  }
  if (!p) {
    tamsel::runtime::settle(-static_cast<int64_t>(size));
    return nullptr;
  }
  tamsel::runtime::settle(static_cast<int64_t>(usable_size(p)) - static_cast<int64_t>(size));
  return p;
}

void* take_or_throw(size_t size, size_t alignment) {
  bool over_budget = false;
  if (void* p = take(size, alignment, &over_budget)) return p;
  if (over_budget) throw BudgetExceeded();
  throw std::bad_alloc();
}

void give_back(void* p) noexcept {
  if (!p) return;
#if defined(TAMSEL_CALL_ARENA)
  if (const size_t block = CallArena::release(p)) {
    tamsel::runtime::settle(-static_cast<int64_t>(block));
    return;
  }
#endif
  const size_t usable = usable_size(p);
  tamsel::runtime::settle(-static_cast<int64_t>(usable));
  if (!kept_blocks::keep(p, usable)) std::free(p);
}

}  // namespace

void* operator new(size_t size) { return take_or_throw(size, 0); }
void* operator new[](size_t size) { return take_or_throw(size, 0); }
void* operator new(size_t size, std::align_val_t al) {
  return take_or_throw(size, static_cast<size_t>(al));
}
void* operator new[](size_t size, std::align_val_t al) {
  return take_or_throw(size, static_cast<size_t>(al));
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  bool over_budget = false;
  return take(size, 0, &over_budget);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  bool over_budget = false;
  return take(size, 0, &over_budget);
}
void* operator new(size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  bool over_budget = false;
  return take(size, static_cast<size_t>(al), &over_budget);
}
void* operator new[](size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  bool over_budget = false;
  return take(size, static_cast<size_t>(al), &over_budget);
}

void operator delete(void* p) noexcept { give_back(p); }
void operator delete[](void* p) noexcept { give_back(p); }
void operator delete(void* p, size_t) noexcept { give_back(p); }
void operator delete[](void* p, size_t) noexcept { give_back(p); }
void operator delete(void* p, std::align_val_t) noexcept { give_back(p); }
void operator delete[](void* p, std::align_val_t) noexcept { give_back(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { give_back(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { give_back(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give_back(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give_back(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { give_back(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  give_back(p);
}
