// The named builtins of the query language.
#pragma once

#include "engine/eval_value.h"
#include "parser/filter.h"

namespace tamsel::engine {

// Applies an argument-less builtin to `input` (consumed) and appends its
// outputs to `out`.
void apply_builtin(query::BuiltinKind kind, EvalValue input, ResultList& out);

// Applies a builtin with a constant argument to `input` (consumed) and appends
// its output, if any, to `out`.
void apply_builtin_with_arg(const query::BuiltinWithArg& node, EvalValue input, ResultList& out);

// The value a query constant stands for; a string views `literal`'s text.
Value literal_to_value(const query::LiteralValue& literal);

}  // namespace tamsel::engine
