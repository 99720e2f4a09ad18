// Everything one call owns while it runs: the arena its values come from,
// its memory budget and its poll (the pieces: arena.h, bounds.h; the
// allocation hooks that serve them: allocation_hooks.cpp).
//
// The binding opens one CallRuntime per call, on the stack of the thread
// that runs the call. The allocation hooks and the engine's loops reach it
// through thread-local pointers that it sets and restores, so calls on
// different threads never share one, and a call made inside another (by a
// signal handler or a finaliser) has its own, the outer one in force again
// once it returns.
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/arena.h"
#include "runtime/bounds.h"

namespace tamsel::runtime {

class CallRuntime {
 public:
  // Opens the call's arena, which serves nothing until evaluating().
  CallRuntime() = default;
  CallRuntime(const CallRuntime&) = delete;
  CallRuntime& operator=(const CallRuntime&) = delete;

  // From here on, what the call builds on this thread is charged against
  // `budget`, and `poll` may stop it (see CallBounds).
  void bound(uint64_t budget, CallBounds::Poll poll) { bounds_.emplace(budget, poll); }
  // Closes the bounds: what the thread allocates next is nobody's charge
  // until bound() again. A call that runs many texts bounds each in turn,
  // and keeps the work between them (splitting, parsing) out of them.
  void unbound() { bounds_.reset(); }

  // Lets the arena serve this thread's allocations while the guard lives:
  // the evaluation only, since code that may run Python (the conversion)
  // must not take memory that outlives the call from it.
  [[nodiscard]] ArenaInUse evaluating() { return ArenaInUse(arena_); }

  // The most the call had charged at once; 0 before bound().
  int64_t peak() const { return bounds_ ? bounds_->peak() : 0; }

 private:
  // The bounds close before the arena: memory freed as the arena ends is
  // no longer the call's.
  CallArena arena_;
  std::optional<CallBounds> bounds_;
};

}  // namespace tamsel::runtime
