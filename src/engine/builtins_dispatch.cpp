// apply_builtin and apply_builtin_with_arg: each builtin's code indexes a
// table of the functions that apply them (builtins_internal.h).
#include <cstddef>
#include <utility>

#include "engine/builtins.h"
#include "engine/builtins_internal.h"

namespace tamsel::engine {
namespace {

using query::ArgBuiltinKind;
using query::BuiltinKind;

struct BuiltinHandlerRow {
  BuiltinKind kind;
  void (*handler)(EvalValue input, ResultList& out);
};

struct ArgBuiltinHandlerRow {
  ArgBuiltinKind kind;
  void (*handler)(const query::LiteralValue& arg, EvalValue input, ResultList& out);
};

#define TAMSEL_BUILTIN_ROW_SKIPPED(kind, name, handler)
#define TAMSEL_BUILTIN_HANDLER_ROW(kind, name, handler) {BuiltinKind::kind, builtin::handler},
#define TAMSEL_ARG_BUILTIN_HANDLER_ROW(kind, name, handler) \
  {ArgBuiltinKind::kind, builtin::handler},

// One row per builtin, in the order of the codes (query::kBuiltins).
constexpr BuiltinHandlerRow kBuiltinHandlers[] = {
    TAMSEL_BUILTINS(TAMSEL_BUILTIN_HANDLER_ROW, TAMSEL_BUILTIN_ROW_SKIPPED)};
static_assert(query::indexed_by_code(kBuiltinHandlers, query::kBuiltinCount),
              "kBuiltinHandlers must have one row per BuiltinKind, in its order");

// One row per builtin, in the order of the codes (query::kArgBuiltins).
constexpr ArgBuiltinHandlerRow kArgBuiltinHandlers[] = {
    TAMSEL_BUILTINS(TAMSEL_BUILTIN_ROW_SKIPPED, TAMSEL_ARG_BUILTIN_HANDLER_ROW)};
static_assert(query::indexed_by_code(kArgBuiltinHandlers, query::kArgBuiltinCount),
              "kArgBuiltinHandlers must have one row per ArgBuiltinKind, in its order");

#undef TAMSEL_BUILTIN_ROW_SKIPPED
#undef TAMSEL_BUILTIN_HANDLER_ROW
#undef TAMSEL_ARG_BUILTIN_HANDLER_ROW

}  // namespace

void apply_builtin(BuiltinKind kind, EvalValue input, ResultList& out) {
  kBuiltinHandlers[static_cast<size_t>(kind)].handler(std::move(input), out);
}

void apply_builtin_with_arg(const query::BuiltinWithArg& node, EvalValue input, ResultList& out) {
  kArgBuiltinHandlers[static_cast<size_t>(node.kind)].handler(node.argument, std::move(input), out);
}

}  // namespace tamsel::engine
