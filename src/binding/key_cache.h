// The str objects of short dict keys, made once and shared by the dicts of
// the module's own methods (the bytes methods, stream(), batch()): a key
// that comes again costs a new reference, with its hash already computed,
// instead of a new object that the dict must hash. input() and first() make
// every key anew and never come here.
//
// One cache serves the process: a table of kSlots strong references, each
// slot chosen by a hash of the key's bytes and holding the last ASCII key of
// at most kLongestKey bytes that landed there. A hit compares the bytes
// themselves, so two keys that land in one slot are never taken for each
// other. The cache is held by one conversion at a time (KeyCacheLease); a
// conversion that finds it held, on another thread or inside a conversion
// that a signal handler interrupted, makes its keys without it.
#pragma once

#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "value/same_bytes.h"

namespace tamsel::binding {

class KeyCache {
 public:
  static constexpr size_t kSlots = 2048;
  static constexpr size_t kLongestKey = 64;

  // A key's str, with its length and first bytes kept beside it, so that
  // telling whether a slot holds a key reads the slot alone for most keys
  // (the str itself lies elsewhere in memory, seldom in the nearest cache).
  struct Slot {
    static constexpr size_t kHead = 20;
    PyObject* str = nullptr;
    uint32_t length = 0;
    char head[kHead] = {};
  };

  // The slot for a key of these bytes (at most kLongestKey of them).
  Slot& slot(std::string_view text) { return slots_[slot_of(text)]; }

  // Whether `slot` holds exactly the key `text`.
  static bool holds(const Slot& slot, std::string_view text) {
    const size_t n = text.size();
    if (!slot.str || slot.length != n) return false;
    if (n <= Slot::kHead) return same_bytes(slot.head, text.data(), n);
    // An ASCII str's characters follow its header.
    const char* chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(slot.str));
    return same_bytes(slot.head, text.data(), Slot::kHead) &&
           same_bytes(chars + Slot::kHead, text.data() + Slot::kHead, n - Slot::kHead);
  }

  // Puts `key`, the str of the ASCII key `text`, in `slot` (taking a new
  // reference), releasing the key it held.
  static void put(Slot& slot, PyObject* key, std::string_view text) {
    Py_INCREF(key);
    Py_XSETREF(slot.str, key);
    slot.length = static_cast<uint32_t>(text.size());
    std::memcpy(slot.head, text.data(), std::min(text.size(), Slot::kHead));
  }

 private:
  static uint64_t load8(const char* p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }
  static uint32_t load4(const char* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
  }
  // Keys of one schema differ anywhere, mostly at their ends: the first and
  // last 16 bytes decide (every byte up to 32), with the length.
  static size_t slot_of(std::string_view text) {
    const char* p = text.data();
    const size_t n = text.size();
    uint64_t h;
    if (n >= 8) {
      h = load8(p) * 0x9E3779B97F4A7C15ull ^ std::rotl(load8(p + n - 8), 29);
      if (n > 16) h ^= (load8(p + 8) ^ std::rotl(load8(p + n - 16), 43)) * 0xC2B2AE3D27D4EB4Full;
    } else if (n >= 4) {
      h = (uint64_t{load4(p)} << 32) | load4(p + n - 4);
    } else if (n > 0) {
      h = (uint64_t{static_cast<unsigned char>(p[0])} << 16) |
          (uint64_t{static_cast<unsigned char>(p[n / 2])} << 8) |
          static_cast<unsigned char>(p[n - 1]);
    } else {
      h = 0;
    }
    h = (h ^ n) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
    return static_cast<size_t>((h * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  }
  static_assert(std::has_single_bit(kSlots));
  static constexpr int kSlotBits = std::countr_zero(kSlots);

  Slot slots_[kSlots] = {};
};

// The process's key cache for the lifetime of one conversion, or none when
// another conversion holds it. Its slots are read and changed with the
// interpreter lock held.
class KeyCacheLease {
 public:
  KeyCacheLease();
  ~KeyCacheLease();
  KeyCacheLease(const KeyCacheLease&) = delete;
  KeyCacheLease& operator=(const KeyCacheLease&) = delete;

  // nullptr when the cache was held by another conversion.
  KeyCache* cache() const { return cache_; }

 private:
  KeyCache* cache_;
};

}  // namespace tamsel::binding
