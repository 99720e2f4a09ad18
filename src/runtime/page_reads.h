// Reads past the end of a piece of memory, within the page that holds its
// last readable byte: sound on the hardware, which maps memory a page at a
// time (4 KiB, or a multiple of it), but reported by AddressSanitizer and
// ThreadSanitizer as reads outside the object, so their builds never make
// them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/asan.h"

#if defined(__SANITIZE_THREAD__)
#define TAMSEL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAMSEL_TSAN 1
#endif
#endif

namespace tamsel::runtime {

// Whether the `length` bytes from `first`, a byte that may be read, lie on
// the page of `first`; always false under a sanitizer.
inline bool readable_on_its_page(const void* first, size_t length) {
#if defined(TAMSEL_ASAN) || defined(TAMSEL_TSAN)
  (void)first;
  (void)length;
  return false;
#else
  constexpr uintptr_t kPage = 4096;
  return (reinterpret_cast<uintptr_t>(first) & (kPage - 1)) + length <= kPage;
#endif
}

}  // namespace tamsel::runtime
