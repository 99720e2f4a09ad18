// apply_builtin: each argument-less builtin goes to the entry of the group
// file that implements it (builtins_general, _string, _collection, _numeric).
#include <cstddef>
#include <utility>

#include "engine/builtins.h"
#include "engine/builtins_internal.h"

namespace tamsel::engine {
namespace {

using query::BuiltinKind;

// The group entry that applies a builtin.
using BuiltinHandler = void (*)(BuiltinKind kind, EvalValue input, ResultList& out);

struct BuiltinHandlerRow {
  BuiltinKind kind;
  BuiltinHandler handler;
};

// reverse of a string reverses its characters; of an array, its elements.
void apply_reverse(BuiltinKind kind, EvalValue input, ResultList& out) {
  if (input.kind() == Kind::String) return apply_string_builtin(kind, std::move(input), out);
  apply_collection_builtin(kind, std::move(input), out);
}

// One row per builtin, in the order of the codes (query::kBuiltins).
constexpr BuiltinHandlerRow kBuiltinHandlers[] = {
    {BuiltinKind::Length, apply_general_builtin},
    {BuiltinKind::Keys, apply_collection_builtin},
    {BuiltinKind::KeysUnsorted, apply_collection_builtin},
    {BuiltinKind::Values, apply_collection_builtin},
    {BuiltinKind::Type, apply_general_builtin},
    {BuiltinKind::Reverse, apply_reverse},
    {BuiltinKind::Sort, apply_collection_builtin},
    {BuiltinKind::Flatten, apply_collection_builtin},
    {BuiltinKind::Add, apply_collection_builtin},
    {BuiltinKind::Min, apply_collection_builtin},
    {BuiltinKind::Max, apply_collection_builtin},
    {BuiltinKind::Unique, apply_collection_builtin},
    {BuiltinKind::First, apply_collection_builtin},
    {BuiltinKind::Last, apply_collection_builtin},
    {BuiltinKind::Not, apply_general_builtin},
    {BuiltinKind::Empty, apply_general_builtin},
    {BuiltinKind::Tostring, apply_general_builtin},
    {BuiltinKind::Tonumber, apply_general_builtin},
    {BuiltinKind::ToEntries, apply_collection_builtin},
    {BuiltinKind::FromEntries, apply_collection_builtin},
    {BuiltinKind::AsciiDowncase, apply_string_builtin},
    {BuiltinKind::AsciiUpcase, apply_string_builtin},
    {BuiltinKind::Tojson, apply_general_builtin},
    {BuiltinKind::Fromjson, apply_general_builtin},
    {BuiltinKind::Explode, apply_string_builtin},
    {BuiltinKind::Implode, apply_string_builtin},
    {BuiltinKind::Floor, apply_numeric_builtin},
    {BuiltinKind::Ceil, apply_numeric_builtin},
    {BuiltinKind::Round, apply_numeric_builtin},
    {BuiltinKind::Sqrt, apply_numeric_builtin},
    {BuiltinKind::Fabs, apply_numeric_builtin},
    {BuiltinKind::Nan, apply_numeric_builtin},
    {BuiltinKind::Infinite, apply_numeric_builtin},
    {BuiltinKind::Isinfinite, apply_numeric_builtin},
    {BuiltinKind::Isnan, apply_numeric_builtin},
    {BuiltinKind::Isnormal, apply_numeric_builtin},
    {BuiltinKind::Recurse, apply_collection_builtin},
};
static_assert(query::indexed_by_code(kBuiltinHandlers, query::kBuiltinCount),
              "kBuiltinHandlers must have one row per BuiltinKind, in its order");

}  // namespace

void apply_builtin(BuiltinKind kind, EvalValue input, ResultList& out) {
  kBuiltinHandlers[static_cast<size_t>(kind)].handler(kind, std::move(input), out);
}

}  // namespace tamsel::engine
