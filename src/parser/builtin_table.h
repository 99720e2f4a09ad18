// The builtins of the query language: the code each has in the filter tree
// and the name it is called by. Adding one takes an enumerator and a row of
// the table below it; then, in the engine, which applies builtins and which
// the parser does not know, a row of the handler table (builtins_dispatch.cpp)
// or, for a builtin with an argument, a case of apply_builtin_with_arg; and
// the function itself. The static_asserts here and there keep every table in
// the order of the codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace tamsel::query {

template <typename Kind>
struct NamedBuiltin {
  std::string_view name;  // a string literal, so also NUL-terminated
  Kind kind;
};

// Builtins applied to their input alone: "keys", "length".
enum class BuiltinKind : uint8_t {
  Length = 0, Keys = 1, KeysUnsorted = 2, Values = 3, Type = 4, Reverse = 5, Sort = 6,
  Flatten = 7, Add = 8, Min = 9, Max = 10, Unique = 11, First = 12, Last = 13, Not = 14,
  Empty = 15, Tostring = 16, Tonumber = 17, ToEntries = 18, FromEntries = 19,
  AsciiDowncase = 20, AsciiUpcase = 21, Tojson = 22, Fromjson = 23, Explode = 24,
  Implode = 25, Floor = 26, Ceil = 27, Round = 28, Sqrt = 29, Fabs = 30, Nan = 31,
  Infinite = 32, Isinfinite = 33, Isnan = 34, Isnormal = 35, Recurse = 36,
};

// In the order of the codes.
inline constexpr NamedBuiltin<BuiltinKind> kBuiltins[] = {
    {"length", BuiltinKind::Length},
    {"keys", BuiltinKind::Keys},
    {"keys_unsorted", BuiltinKind::KeysUnsorted},
    {"values", BuiltinKind::Values},
    {"type", BuiltinKind::Type},
    {"reverse", BuiltinKind::Reverse},
    {"sort", BuiltinKind::Sort},
    {"flatten", BuiltinKind::Flatten},
    {"add", BuiltinKind::Add},
    {"min", BuiltinKind::Min},
    {"max", BuiltinKind::Max},
    {"unique", BuiltinKind::Unique},
    {"first", BuiltinKind::First},
    {"last", BuiltinKind::Last},
    {"not", BuiltinKind::Not},
    {"empty", BuiltinKind::Empty},
    {"tostring", BuiltinKind::Tostring},
    {"tonumber", BuiltinKind::Tonumber},
    {"to_entries", BuiltinKind::ToEntries},
    {"from_entries", BuiltinKind::FromEntries},
    {"ascii_downcase", BuiltinKind::AsciiDowncase},
    {"ascii_upcase", BuiltinKind::AsciiUpcase},
    {"tojson", BuiltinKind::Tojson},
    {"fromjson", BuiltinKind::Fromjson},
    {"explode", BuiltinKind::Explode},
    {"implode", BuiltinKind::Implode},
    {"floor", BuiltinKind::Floor},
    {"ceil", BuiltinKind::Ceil},
    {"round", BuiltinKind::Round},
    {"sqrt", BuiltinKind::Sqrt},
    {"fabs", BuiltinKind::Fabs},
    {"nan", BuiltinKind::Nan},
    {"infinite", BuiltinKind::Infinite},
    {"isinfinite", BuiltinKind::Isinfinite},
    {"isnan", BuiltinKind::Isnan},
    {"isnormal", BuiltinKind::Isnormal},
    {"recurse", BuiltinKind::Recurse},
};
inline constexpr int kBuiltinCount = static_cast<int>(std::size(kBuiltins));

// Builtins with one constant argument: "has(1)", "split(\",\")".
enum class ArgBuiltinKind : uint8_t {
  Has = 0, Startswith = 1, Endswith = 2, Contains = 3, Inside = 4, Split = 5, Join = 6,
  Ltrimstr = 7, Rtrimstr = 8, Flatten = 9, Index = 10, Rindex = 11, Indices = 12, Limit = 13,
};

// In the order of the codes.
inline constexpr NamedBuiltin<ArgBuiltinKind> kArgBuiltins[] = {
    {"has", ArgBuiltinKind::Has},
    {"startswith", ArgBuiltinKind::Startswith},
    {"endswith", ArgBuiltinKind::Endswith},
    {"contains", ArgBuiltinKind::Contains},
    {"inside", ArgBuiltinKind::Inside},
    {"split", ArgBuiltinKind::Split},
    {"join", ArgBuiltinKind::Join},
    {"ltrimstr", ArgBuiltinKind::Ltrimstr},
    {"rtrimstr", ArgBuiltinKind::Rtrimstr},
    {"flatten", ArgBuiltinKind::Flatten},
    {"index", ArgBuiltinKind::Index},
    {"rindex", ArgBuiltinKind::Rindex},
    {"indices", ArgBuiltinKind::Indices},
    {"limit", ArgBuiltinKind::Limit},
};
inline constexpr int kArgBuiltinCount = static_cast<int>(std::size(kArgBuiltins));

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
