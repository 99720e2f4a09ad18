// The builtins of the query language as the parser sees them: the code each
// has in the filter tree and the name it is called by, both from the list in
// builtin_list.h. The static_asserts here, and the engine's on its dispatch
// tables, keep every table indexed by code in the order of the codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "parser/builtin_list.h"

namespace tamsel::query {

template <typename Kind>
struct NamedBuiltin {
  std::string_view name;  // a string literal, so also NUL-terminated
  Kind kind;
};

// Row macros for expanding TAMSEL_BUILTINS here, one arity at a time: the rows
// of the other arity are SKIPPED. The handler column is the engine's.
#define TAMSEL_BUILTIN_ROW_SKIPPED(kind, name, handler)
#define TAMSEL_BUILTIN_ROW_KIND(kind, name, handler) kind,
#define TAMSEL_BUILTIN_ROW_NAMED(kind, name, handler) {name, BuiltinKind::kind},
#define TAMSEL_ARG_BUILTIN_ROW_NAMED(kind, name, handler) {name, ArgBuiltinKind::kind},

// Builtins applied to their input alone: "keys", "length".
enum class BuiltinKind : uint8_t {
  TAMSEL_BUILTINS(TAMSEL_BUILTIN_ROW_KIND, TAMSEL_BUILTIN_ROW_SKIPPED)
};

// In the order of the codes.
inline constexpr NamedBuiltin<BuiltinKind> kBuiltins[] = {
    TAMSEL_BUILTINS(TAMSEL_BUILTIN_ROW_NAMED, TAMSEL_BUILTIN_ROW_SKIPPED)
};
inline constexpr int kBuiltinCount = static_cast<int>(std::size(kBuiltins));

// Builtins with one constant argument: "has(1)", "split(\",\")".
enum class ArgBuiltinKind : uint8_t {
  TAMSEL_BUILTINS(TAMSEL_BUILTIN_ROW_SKIPPED, TAMSEL_BUILTIN_ROW_KIND)
};

// In the order of the codes.
inline constexpr NamedBuiltin<ArgBuiltinKind> kArgBuiltins[] = {
    TAMSEL_BUILTINS(TAMSEL_BUILTIN_ROW_SKIPPED, TAMSEL_ARG_BUILTIN_ROW_NAMED)
};
inline constexpr int kArgBuiltinCount = static_cast<int>(std::size(kArgBuiltins));

#undef TAMSEL_BUILTIN_ROW_SKIPPED
#undef TAMSEL_BUILTIN_ROW_KIND
#undef TAMSEL_BUILTIN_ROW_NAMED
#undef TAMSEL_ARG_BUILTIN_ROW_NAMED

// True when `table` has `count` rows and row n is the one of code n, so that
// the row of a builtin is found by its code. Tables indexed so (these two,
// and the engine's) are checked with it.
template <typename Row, size_t N>
constexpr bool indexed_by_code(const Row (&table)[N], int count) {
  if (N != static_cast<size_t>(count)) return false;
  for (size_t code = 0; code < N; ++code) {
    if (static_cast<size_t>(table[code].kind) != code) return false;
  }
  return true;
}

// True when every name is a lower-case ASCII letter followed by lower-case
// letters and "_", and no two names are alike. The parser relies on both: it
// looks for a name only where a lower-case letter stands, and it takes a name
// only where no letter, digit or "_" follows it. So where one name of a table
// matches, no other can (a shorter name that begins a longer one is followed
// there by a letter or "_"), and the order in which the parser tries a
// table's names makes no difference.
template <typename Kind, size_t N>
constexpr bool names_are_distinct_words(const NamedBuiltin<Kind> (&table)[N]) {
  for (size_t i = 0; i < N; ++i) {
    const std::string_view name = table[i].name;
    if (name.empty() || name[0] < 'a' || name[0] > 'z') return false;
    for (char c : name) {
      if ((c < 'a' || c > 'z') && c != '_') return false;
    }
    for (size_t j = 0; j < i; ++j) {
      if (table[j].name == name) return false;
    }
  }
  return true;
}

static_assert(indexed_by_code(kBuiltins, kBuiltinCount), "kBuiltins must follow BuiltinKind");
static_assert(indexed_by_code(kArgBuiltins, kArgBuiltinCount),
              "kArgBuiltins must follow ArgBuiltinKind");
static_assert(names_are_distinct_words(kBuiltins) && names_are_distinct_words(kArgBuiltins));

// The query-language name of a builtin ("keys_unsorted", "flatten").
constexpr const char* builtin_name(BuiltinKind kind) {
  return kBuiltins[static_cast<size_t>(kind)].name.data();
}
constexpr const char* builtin_name(ArgBuiltinKind kind) {
  return kArgBuiltins[static_cast<size_t>(kind)].name.data();
}

}  // namespace tamsel::query
