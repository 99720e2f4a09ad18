// Seeds for the hashed form of ObjectMap.
#pragma once

#include <cstdint>

namespace tamsel {

// A fresh seed: one random value per process, drawn from the OS on first use,
// mixed with a counter so that every call gives a different seed.
uint64_t next_hash_seed() noexcept;

}  // namespace tamsel
