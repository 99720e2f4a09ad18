// The builtins of the query language, one row each, in the order of their
// codes. The columns: the kind (its enumerator in BuiltinKind or
// ArgBuiltinKind), the name a query calls it by, and the function that
// applies it, in tamsel::engine::builtin. NONE rows are builtins applied to
// their input alone ("keys"); ONE rows take one constant argument too
// ("has(1)"). The parser builds its enums and name tables from the first two
// columns (builtin_table.h) and never looks at the third; the engine declares
// the functions and builds its dispatch tables from the first and third
// (builtins_internal.h, builtins_dispatch.cpp).
//
// Adding a builtin takes a row here and its function, defined in one of the
// engine's builtins_*.cpp files. A new row goes at the end of the rows of its
// arity, so that the others keep their codes (the parser's tests list the
// names by code); its name must be a lower-case word that no other row of its
// arity has (names_are_distinct_words).
#pragma once

#define TAMSEL_BUILTINS(NONE, ONE)                      \
  NONE(Length, "length", length)                        \
  NONE(Keys, "keys", keys)                              \
  NONE(KeysUnsorted, "keys_unsorted", keys_unsorted)    \
  NONE(Values, "values", values)                        \
  NONE(Type, "type", type)                              \
  NONE(Reverse, "reverse", reverse)                     \
  NONE(Sort, "sort", sort)                              \
  NONE(Flatten, "flatten", flatten)                     \
  NONE(Add, "add", add)                                 \
  NONE(Min, "min", min)                                 \
  NONE(Max, "max", max)                                 \
  NONE(Unique, "unique", unique)                        \
  NONE(First, "first", first)                           \
  NONE(Last, "last", last)                              \
  NONE(Not, "not", not_)                                \
  NONE(Empty, "empty", empty)                           \
  NONE(Tostring, "tostring", tostring)                  \
  NONE(Tonumber, "tonumber", tonumber)                  \
  NONE(ToEntries, "to_entries", to_entries)             \
  NONE(FromEntries, "from_entries", from_entries)       \
  NONE(AsciiDowncase, "ascii_downcase", ascii_downcase) \
  NONE(AsciiUpcase, "ascii_upcase", ascii_upcase)       \
  NONE(Tojson, "tojson", tojson)                        \
  NONE(Fromjson, "fromjson", fromjson)                  \
  NONE(Explode, "explode", explode)                     \
  NONE(Implode, "implode", implode)                     \
  NONE(Floor, "floor", floor)                           \
  NONE(Ceil, "ceil", ceil)                              \
  NONE(Round, "round", round)                           \
  NONE(Sqrt, "sqrt", sqrt)                              \
  NONE(Fabs, "fabs", fabs)                              \
  NONE(Nan, "nan", nan)                                 \
  NONE(Infinite, "infinite", infinite)                  \
  NONE(Isinfinite, "isinfinite", is_infinite)           \
  NONE(Isnan, "isnan", is_nan)                          \
  NONE(Isnormal, "isnormal", is_normal)                 \
  NONE(Recurse, "recurse", recurse)                     \
  ONE(Has, "has", has)                                  \
  ONE(Startswith, "startswith", startswith)             \
  ONE(Endswith, "endswith", endswith)                   \
  ONE(Contains, "contains", contains)                   \
  ONE(Inside, "inside", inside)                         \
  ONE(Split, "split", split)                            \
  ONE(Join, "join", join)                               \
  ONE(Ltrimstr, "ltrimstr", ltrimstr)                   \
  ONE(Rtrimstr, "rtrimstr", rtrimstr)                   \
  ONE(Flatten, "flatten", flatten_to_depth)             \
  ONE(Index, "index", index)                            \
  ONE(Rindex, "rindex", rindex)                         \
  ONE(Indices, "indices", indices)                      \
  ONE(Limit, "limit", limit)
