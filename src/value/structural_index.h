// A JSON text as simdjson's first stage leaves it, for a reader that walks
// it itself (text_walk.h).
#pragma once

#include <cstdint>

namespace tamsel {

// A text and its structural characters: `at` holds `count` offsets into
// `text`, and at[count] and at[count + 1] its size; the text ends in a NUL
// byte and may be read up to simdjson's padding past its end.
struct StructuralIndex {
  const uint8_t* text;
  const uint32_t* at;
  uint32_t count;
};

// What became of a walk: the builder holds the text's one value; the text
// is left to the whole parse; or the builder failed (and says why itself).
enum class Walk { kTaken, kNotTaken, kFailed };

}  // namespace tamsel
