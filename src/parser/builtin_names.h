// Builtin names in the order the term rule tries them.
#pragma once

#include <array>
#include <string_view>

#include "parser/filter.h"

namespace tamsel::query {

template <typename Kind>
struct NamedBuiltin {
  std::string_view name;
  Kind kind;
};

// Every name is matched with the word-boundary test, so the order decides
// only that "flatten(" is tried as a call before "flatten" stands alone.
extern const std::array<NamedBuiltin<ArgBuiltinKind>, kArgBuiltinCount> kArgBuiltinTrialOrder;
extern const std::array<NamedBuiltin<BuiltinKind>, kBuiltinCount> kBuiltinTrialOrder;

}  // namespace tamsel::query
