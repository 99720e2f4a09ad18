// Thread-local pointers that the allocation hooks read on every allocation.
#pragma once

// Kept in the static thread-local block where the platform has one, so that
// no thread ever allocates them lazily (which glibc does with malloc, and
// aborts the process when that fails).
#if defined(__GNUC__) && defined(__linux__)
#define TAMSEL_STATIC_TLS [[gnu::tls_model("initial-exec")]]
#else
#define TAMSEL_STATIC_TLS
#endif
