#include "binding/key_cache.h"

namespace tamsel::binding {
namespace {

// Made on first use and kept for the life of the process, like the class
// objects; so are the keys it holds. Conversions make Python objects, so
// each takes and gives back the cache with the interpreter lock held, and
// the lock orders those steps between threads: a plain flag is exact.
struct SharedCache {
  KeyCache cache;
  bool held = false;
};

SharedCache& shared_cache() {
  static SharedCache* shared = new SharedCache();
  return *shared;
}

}  // namespace

KeyCacheLease::KeyCacheLease() : cache_(nullptr) {
  SharedCache& shared = shared_cache();
  if (!shared.held) {
    shared.held = true;
    cache_ = &shared.cache;
  }
}

KeyCacheLease::~KeyCacheLease() {
  if (cache_) shared_cache().held = false;
}

}  // namespace tamsel::binding
