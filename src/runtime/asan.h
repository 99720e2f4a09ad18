// Whether this build runs under AddressSanitizer, and the two calls that
// tell it which of the module's own memory must not be touched: memory the
// module holds for later (free arena blocks, kept large blocks) is poisoned
// while it waits, so that a use of it after it was freed is reported as it
// would be for the system's memory.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMSEL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TAMSEL_ASAN 1
#endif
#if defined(TAMSEL_ASAN)
#include <sanitizer/asan_interface.h>
#define POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define POISON(p, n) ((void)(p), (void)(n))
#define UNPOISON(p, n) ((void)(p), (void)(n))
#endif
