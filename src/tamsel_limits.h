// Every limit a call can meet, each one named constant. The README's table
// of limits names these; each says what it protects.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel {

// Deepest nesting of arrays and objects a document may have. Building,
// converting and releasing a document recurse once per level.
inline constexpr size_t kMaxJsonDepth = 1024;

// Texts of 4 GiB or more are refused before anything is read: positions on
// the parser's tape are 32 bits.
inline constexpr uint64_t kMaxInputSize = uint64_t{1} << 32;

// Deepest filter tree the query parser builds. Evaluating and releasing a
// tree recurse once per level, so the bound protects the native stack.
inline constexpr int kMaxQueryDepth = 256;

// Levels of arrays and objects a value built during a run may have: room for
// the deepest document plus every level a query tree can add in one stage.
inline constexpr size_t kMaxValueDepth = 2048;

// Bytes of one string value: its length is kept in 32 bits.
inline constexpr size_t kMaxStringLength = UINT32_MAX;

// Evaluation is eager, so every value of a stage is held at once. These two
// turn a query whose output grows past what memory can hold (a chain of
// `..`, commas in a row, a product of large iterations in one object) into a
// PanicException instead of exhausting the machine.
// - Values in one result list: 67 million, 4 GiB for the list alone at 64
//   bytes a working value, so the call's memory budget ends such a stage
//   first unless the document is near 100 MiB of text.
inline constexpr size_t kMaxResults = size_t{1} << 26;
// - Objects one object construction builds (each costs a few hundred bytes
//   here and again as a Python dict).
inline constexpr size_t kMaxConstructed = size_t{1} << 21;

// The memory budget of one call over a JSON text: a fixed allowance plus a
// multiple of the text, so that real work on a large document is never
// refused while a small one cannot grow a value without end.
inline constexpr uint64_t kBudgetAllowance = uint64_t{1} << 30;  // 1 GiB
inline constexpr uint64_t kBudgetPerTextByte = 32;

// Threads of its own that one stream or batch may run on (`threads`): far
// more than cores anyone has, and each keeps a parser while the call lasts.
inline constexpr size_t kMaxThreads = 256;

// Parsers kept between calls for the next calls to reuse: one a core up to
// this many, so the memory kept follows the threads that call at once.
inline constexpr size_t kMaxKeptParsers = 8;

// Large blocks that calls freed, kept for the next calls that need blocks of
// their sizes (runtime/kept_blocks.h): at most this many, this many bytes in
// all.
inline constexpr size_t kMaxKeptBlocks = 8;
inline constexpr size_t kMaxKeptBlockBytes = size_t{8} << 20;

}  // namespace tamsel
