// The bounds of one call: how much memory what it builds may take, and a
// poll through which the caller can stop it (a pending Ctrl-C).
//
// The module opens a CallBounds around each run, on the calling thread. The
// memory a run's C++ code allocates on that thread is charged to it as it is
// allocated (the module's allocation functions call charge() and settle()),
// the Python objects it converts are charged by the conversion, and the
// engine reports work at the points where stopping is safe. Code that runs
// with no bounds open (the C++ tests, the tools) is unbounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "runtime/static_tls.h"

namespace tamsel::runtime {

// Thrown where an allocation would pass the budget: a std::bad_alloc, so
// every path that survives running out of memory survives this too, but the
// module tells the two apart. Its text names the budget of the open bounds;
// it is kept inline, since allocating it would meet the budget again.
class BudgetExceeded : public std::bad_alloc {
 public:
  BudgetExceeded() noexcept;
  const char* what() const noexcept override { return text_; }

 private:
  char text_[128];
};

// Thrown when the poll asks to stop the call; the poll has already recorded
// why (in the module: the pending Python exception). Also a std::bad_alloc,
// for the same reason as BudgetExceeded.
class Interrupted : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class CallBounds;

// The bounds of the call running on this thread, or nullptr: a pointer to the
// caller's own object for the length of one call, since the allocation hooks
// have no other way to reach it.
TAMSEL_STATIC_TLS extern constinit thread_local CallBounds* current_bounds;

class CallBounds {
 public:
  // Returns true to stop the call.
  using Poll = bool (*)();

  CallBounds(uint64_t budget, Poll poll);
  ~CallBounds();
  CallBounds(const CallBounds&) = delete;
  CallBounds& operator=(const CallBounds&) = delete;

  // The budget of a call over `text_size` bytes of JSON: a fixed allowance
  // plus a multiple of the text, so that real work on a large document is
  // never refused while a small one cannot grow a value without end.
  static uint64_t budget_for(size_t text_size);

  int64_t used() const { return used_; }
  // The most that was charged at once.
  int64_t peak() const { return peak_; }

 private:
  friend bool charge(size_t bytes);
  friend void settle(int64_t bytes);
  friend void note_work(size_t units);
  friend void poll_now();
  friend class BudgetExceeded;

  CallBounds* outer_;  // the bounds of the call this one runs inside, if any
  uint64_t budget_;
  int64_t used_ = 0;  // may go below zero: memory from before the call freed in it
  int64_t peak_ = 0;
  Poll poll_;
  int64_t work_until_poll_;
};

// Charges `bytes` about to be allocated to the open bounds. Returns false,
// charging nothing, when that would pass the budget.
inline bool charge(size_t bytes) {
  CallBounds* bounds = current_bounds;
  if (!bounds) return true;
  const int64_t after = bounds->used_ + static_cast<int64_t>(bytes);
  if (after > 0 && static_cast<uint64_t>(after) > bounds->budget_) return false;
  bounds->used_ = after;
  if (after > bounds->peak_) bounds->peak_ = after;
  return true;
}
// Adds `bytes` to what is charged without checking the budget: negative for
// memory just freed, positive for the allocator's rounding of a charge.
inline void settle(int64_t bytes) {
  if (CallBounds* bounds = current_bounds) bounds->used_ += bytes;
}

// Charges `bytes` that the call takes outside the module's allocation
// functions (the Python objects of its results); throws BudgetExceeded,
// charging nothing, when that would pass the budget.
inline void charge_or_throw(size_t bytes) {
  if (!charge(bytes)) throw BudgetExceeded();
}

// Runs the poll now.
void poll_now();

// Counts `units` of work (about one value handled each); every few thousand
// units runs the poll, and throws Interrupted when it asks to stop. Call it
// only where unwinding is safe.
inline void note_work(size_t units = 1) {
  CallBounds* bounds = current_bounds;
  if (bounds && (bounds->work_until_poll_ -= static_cast<int64_t>(units)) <= 0) poll_now();
}

// Bytes of text handled a byte at a time that count as one unit of work.
inline constexpr size_t kTextBytesPerUnit = 64;

// Counts the work of handling `bytes` bytes of text.
inline void note_text_work(size_t bytes) { note_work(bytes / kTextBytesPerUnit); }

}  // namespace tamsel::runtime
