#include "texts/parser_lease.h"

#include <algorithm>
#include <atomic>
#include <span>
#include <thread>

namespace tamsel::texts {
namespace {

// The parsers no run holds, one a slot, made on first use and kept for the
// life of the process, like the class objects (never destroyed: a thread
// may still give a parser back while the process exits). A slot is taken
// and filled by one atomic exchange, so that the many small calls, which
// take and give back a lease each, never wait on a lock, and a child made
// by fork() never finds one held.
std::atomic<JsonParser*> idle_slots[kMaxKeptParsers] = {};

std::span<std::atomic<JsonParser*>> idle_parsers() {
  static const size_t kept =
      std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMaxKeptParsers);
  return std::span<std::atomic<JsonParser*>>(idle_slots, kept);
}

}  // namespace

ParserLease::ParserLease() {
  for (std::atomic<JsonParser*>& slot : idle_parsers()) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    if (JsonParser* idle = slot.exchange(nullptr, std::memory_order_acquire)) {
      parser_.reset(idle);
      return;
    }
  }
  parser_ = std::make_unique<JsonParser>();
}

ParserLease::~ParserLease() {
  parser_->end_run();
  for (std::atomic<JsonParser*>& slot : idle_parsers()) {
    JsonParser* none = nullptr;
    if (slot.compare_exchange_strong(none, parser_.get(), std::memory_order_release,
                                     std::memory_order_relaxed)) {
      parser_.release();
      return;
    }
  }
  // Every slot holds one: this one is destroyed as parser_ ends.
}

}  // namespace tamsel::texts
