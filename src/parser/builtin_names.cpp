#include "parser/builtin_names.h"

namespace tamsel::query {

namespace {

// Indexed by code.
constexpr const char* kBuiltinNames[kBuiltinCount] = {
    "length",   "keys",       "keys_unsorted", "values",       "type",
    "reverse",  "sort",       "flatten",       "add",          "min",
    "max",      "unique",     "first",         "last",         "not",
    "empty",    "tostring",   "tonumber",      "to_entries",   "from_entries",
    "ascii_downcase", "ascii_upcase", "tojson", "fromjson",    "explode",
    "implode",  "floor",      "ceil",          "round",        "sqrt",
    "fabs",     "nan",        "infinite",      "isinfinite",   "isnan",
    "isnormal", "recurse",
};

constexpr const char* kArgBuiltinNames[kArgBuiltinCount] = {
    "has",   "startswith", "endswith", "contains", "inside", "split", "join",
    "ltrimstr", "rtrimstr", "flatten", "index",   "rindex", "indices", "limit",
};

}  // namespace

const char* builtin_name(BuiltinKind kind) { return kBuiltinNames[static_cast<int>(kind)]; }

const char* builtin_name(ArgBuiltinKind kind) { return kArgBuiltinNames[static_cast<int>(kind)]; }

using A = ArgBuiltinKind;
const std::array<NamedBuiltin<ArgBuiltinKind>, kArgBuiltinCount> kArgBuiltinTrialOrder = {{
    {"has", A::Has},           {"startswith", A::Startswith}, {"endswith", A::Endswith},
    {"contains", A::Contains}, {"inside", A::Inside},         {"split", A::Split},
    {"join", A::Join},         {"ltrimstr", A::Ltrimstr},     {"rtrimstr", A::Rtrimstr},
    {"flatten", A::Flatten},   {"indices", A::Indices},       {"index", A::Index},
    {"rindex", A::Rindex},     {"limit", A::Limit},
}};

using B = BuiltinKind;
const std::array<NamedBuiltin<BuiltinKind>, kBuiltinCount> kBuiltinTrialOrder = {{
    {"length", B::Length},
    {"keys_unsorted", B::KeysUnsorted},
    {"keys", B::Keys},
    {"values", B::Values},
    {"type", B::Type},
    {"reverse", B::Reverse},
    {"sort", B::Sort},
    {"flatten", B::Flatten},
    {"add", B::Add},
    {"min", B::Min},
    {"max", B::Max},
    {"unique", B::Unique},
    {"first", B::First},
    {"last", B::Last},
    {"not", B::Not},
    {"empty", B::Empty},
    {"tostring", B::Tostring},
    {"tonumber", B::Tonumber},
    {"to_entries", B::ToEntries},
    {"from_entries", B::FromEntries},
    {"ascii_downcase", B::AsciiDowncase},
    {"ascii_upcase", B::AsciiUpcase},
    {"tojson", B::Tojson},
    {"fromjson", B::Fromjson},
    {"explode", B::Explode},
    {"implode", B::Implode},
    {"floor", B::Floor},
    {"ceil", B::Ceil},
    {"round", B::Round},
    {"sqrt", B::Sqrt},
    {"fabs", B::Fabs},
    {"nan", B::Nan},
    {"infinite", B::Infinite},
    {"isinfinite", B::Isinfinite},
    {"isnan", B::Isnan},
    {"isnormal", B::Isnormal},
    {"recurse", B::Recurse},
}};

}  // namespace tamsel::query
