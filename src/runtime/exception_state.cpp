#include "runtime/exception_state.h"

#include <cxxabi.h>

namespace tamsel::runtime {

void reserve_exception_state() {
#if defined(__GLIBCXX__)
  // Its first use on a thread allocates it; later uses only look it up. The
  // function is declared without side effects, so its result is kept alive
  // for the compiler not to drop the call.
  __cxxabiv1::__cxa_eh_globals* state = abi::__cxa_get_globals();
  asm volatile("" : : "r"(state));
#endif
}

}  // namespace tamsel::runtime
