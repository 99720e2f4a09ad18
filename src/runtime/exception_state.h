// The C++ runtime's per-thread exception state.
#pragma once

namespace tamsel::runtime {

// Makes sure it exists before a call starts on this thread: the runtime
// allocates it on a thread's first throw, and aborts the process when it
// cannot, which is exactly when memory has run out and a std::bad_alloc is
// on its way.
void reserve_exception_state();

}  // namespace tamsel::runtime
