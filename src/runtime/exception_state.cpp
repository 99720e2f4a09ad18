#include "runtime/exception_state.h"

#include <cxxabi.h>

#include "runtime/static_tls.h"

namespace tamsel::runtime {
#if defined(__GLIBCXX__)
namespace {

// Whether this thread's state is known to exist: every call asks, and the
// runtime's own lookup goes through the dynamic thread-local machinery.
TAMSEL_STATIC_TLS constinit thread_local bool reserved = false;

}  // namespace
#endif

void reserve_exception_state() {
#if defined(__GLIBCXX__)
  if (reserved) return;
  // Its first use on a thread allocates it; later uses only look it up. The
  // function is declared without side effects, so its result is kept alive
  // for the compiler not to drop the call.
  __cxxabiv1::__cxa_eh_globals* state = abi::__cxa_get_globals();
  asm volatile("" : : "r"(state));
  reserved = true;
#endif
}

}  // namespace tamsel::runtime
