#include "value/hash_seed.h"

// The kernel's random source: getrandom on Linux, getentropy elsewhere (macOS
// and the BSDs declare it in <sys/random.h> or <unistd.h>). TAMSEL_NO_GETRANDOM
// builds the second path on Linux too, so that it is compiled and tested.
#if defined(__linux__) && !defined(TAMSEL_NO_GETRANDOM)
#include <sys/random.h>
#define TAMSEL_SEED_GETRANDOM 1
#elif __has_include(<sys/random.h>) || __has_include(<unistd.h>)
#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#define TAMSEL_SEED_GETENTROPY 1
#endif

#include <atomic>
#include <chrono>
#include <random>

namespace tamsel {
namespace {

// splitmix64's finaliser: turns consecutive counter values into unrelated
// seeds.
uint64_t mix(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

uint64_t draw_process_random() noexcept {
  uint64_t value = 0;
#if defined(TAMSEL_SEED_GETRANDOM)
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) {
    return value;
  }
#elif defined(TAMSEL_SEED_GETENTROPY)
  if (getentropy(&value, sizeof value) == 0) return value;
#endif
  // Early boot, a sandbox without the call, or a system without either: the
  // seeds only need to be hard to guess from outside, so fall back to
  // whatever else varies.
  try {
    std::random_device device;
    value = (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
  }
  return value ^ static_cast<uint64_t>(
                     std::chrono::high_resolution_clock::now().time_since_epoch().count());
}

}  // namespace

uint64_t next_hash_seed() noexcept {
  static const uint64_t process_random = draw_process_random();
  // Any value the counter takes is acceptable; atomic only to stay free of
  // data races when the interpreter runs without a global lock.
  static std::atomic<uint64_t> counter{0};
  uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  return mix(process_random + n * 0x9e3779b97f4a7c15ULL);
}

}  // namespace tamsel
