// Large blocks that the module's code frees, kept for the next allocation
// they fit. glibc gives the top of its heap back to the system when a large
// block there is freed, so a call that sorts or copies an array of a few
// thousand values would otherwise have its pages zeroed and mapped anew by
// the kernel on every call, which costs a quarter of such a call.
//
// At most kMaxKeptBlocks blocks are kept, each of kSmallest to kLargest
// usable bytes, kMaxKeptBlockBytes in all, for the process (like the spare
// segments of the arenas): each slot is taken and filled by one atomic
// step, so a thread never waits on another, and a child made by fork()
// finds none held. A block is handed out only to a request it fits closely
// (at most an eighth more than asked), so that what a call is charged for
// its memory stays within an eighth of what the system would have given it.
#pragma once

#include <cstddef>

#include "tamsel_limits.h"

namespace tamsel::runtime::kept_blocks {

inline constexpr size_t kSlots = kMaxKeptBlocks;
inline constexpr size_t kMaxBytes = kMaxKeptBlockBytes;
inline constexpr size_t kSmallest = size_t{16} << 10;
inline constexpr size_t kLargest = size_t{2} << 20;

// A kept block of at least `size` bytes that fits it closely, with its
// usable size in `*usable`; nullptr when none does.
void* take(size_t size, size_t* usable) noexcept;

// Keeps `p`, a block of `usable` bytes from malloc that its owner frees;
// false when it is not kept, and the caller frees it.
bool keep(void* p, size_t usable) noexcept;

// The bytes kept now (for tests).
size_t kept_bytes() noexcept;

}  // namespace tamsel::runtime::kept_blocks
