#include "binding/key_cache.h"

#include <atomic>

namespace tamsel::binding {
namespace {

// Made on first use and kept for the life of the process, like the class
// objects; so are the keys it holds.
struct SharedCache {
  KeyCache cache;
  std::atomic<bool> held{false};
};

SharedCache& shared_cache() {
  static SharedCache* shared = new SharedCache();
  return *shared;
}

}  // namespace

KeyCacheLease::KeyCacheLease() : cache_(nullptr) {
  SharedCache& shared = shared_cache();
  if (!shared.held.exchange(true, std::memory_order_acquire)) cache_ = &shared.cache;
}

KeyCacheLease::~KeyCacheLease() {
  if (cache_) shared_cache().held.store(false, std::memory_order_release);
}

}  // namespace tamsel::binding
