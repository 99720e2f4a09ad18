#include "runtime/bounds.h"

#include <cstdio>

#include "runtime/arena.h"
#include "tamsel_limits.h"

namespace tamsel::runtime {
namespace {

// Work between polls. A unit is one value through one node or one element
// of a loop, tens of nanoseconds, so a poll comes well within a millisecond.
constexpr int64_t kWorkPerPoll = 4096;


}  // namespace

TAMSEL_STATIC_TLS constinit thread_local CallBounds* current_bounds = nullptr;

CallBounds::CallBounds(uint64_t budget, Poll poll)
    : outer_(current_bounds), budget_(budget), poll_(poll), work_until_poll_(kWorkPerPoll) {
  current_bounds = this;
}

// A call made from inside another (by a finaliser or a signal handler) has
// bounds of its own; the outer call's are in force again once it returns.
CallBounds::~CallBounds() { current_bounds = outer_; }

uint64_t CallBounds::budget_for(size_t text_size) {
  return kBudgetAllowance + kBudgetPerTextByte * static_cast<uint64_t>(text_size);
}

BudgetExceeded::BudgetExceeded() noexcept {
  const uint64_t budget = current_bounds ? current_bounds->budget_ : 0;
  std::snprintf(text_, sizeof text_,
                "memory budget exceeded: the values of one call may take at most %llu MiB here",
                static_cast<unsigned long long>(budget >> 20));
}

void poll_now() {
  CallBounds* bounds = current_bounds;
  if (!bounds) return;
  bounds->work_until_poll_ = kWorkPerPoll;
  if (!bounds->poll_) return;
  // The poll may run code that makes memory to keep (a signal handler that
  // compiles a program): none of it may come from the call's arena.
  const ArenaPause system_memory;
  if (bounds->poll_()) throw Interrupted{};
}

}  // namespace tamsel::runtime
