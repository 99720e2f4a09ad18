#include "engine/builtins.h"
#include "engine/builtins_internal.h"

namespace tamsel::engine {

using query::BuiltinKind;

void apply_builtin(BuiltinKind kind, EvalValue input, ResultList& out) {
  switch (kind) {
    case BuiltinKind::Length:
    case BuiltinKind::Type:
    case BuiltinKind::Not:
    case BuiltinKind::Empty:
    case BuiltinKind::Tostring:
    case BuiltinKind::Tonumber:
    case BuiltinKind::Tojson:
    case BuiltinKind::Fromjson:
      return apply_general_builtin(kind, std::move(input), out);
    case BuiltinKind::AsciiDowncase:
    case BuiltinKind::AsciiUpcase:
    case BuiltinKind::Explode:
    case BuiltinKind::Implode:
      return apply_string_builtin(kind, std::move(input), out);
    case BuiltinKind::Reverse:
      if (input.kind() == Kind::String) {
        return apply_string_builtin(kind, std::move(input), out);
      }
      return apply_collection_builtin(kind, std::move(input), out);
    case BuiltinKind::Keys:
    case BuiltinKind::KeysUnsorted:
    case BuiltinKind::Values:
    case BuiltinKind::Sort:
    case BuiltinKind::Flatten:
    case BuiltinKind::Add:
    case BuiltinKind::Min:
    case BuiltinKind::Max:
    case BuiltinKind::Unique:
    case BuiltinKind::First:
    case BuiltinKind::Last:
    case BuiltinKind::ToEntries:
    case BuiltinKind::FromEntries:
    case BuiltinKind::Recurse:
      return apply_collection_builtin(kind, std::move(input), out);
    case BuiltinKind::Floor:
    case BuiltinKind::Ceil:
    case BuiltinKind::Round:
    case BuiltinKind::Sqrt:
    case BuiltinKind::Fabs:
    case BuiltinKind::Nan:
    case BuiltinKind::Infinite:
    case BuiltinKind::Isinfinite:
    case BuiltinKind::Isnan:
    case BuiltinKind::Isnormal:
      return apply_numeric_builtin(kind, std::move(input), out);
  }
}

}  // namespace tamsel::engine
