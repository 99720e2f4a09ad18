// Shared pieces of the builtin implementations: the function of each builtin,
// called through the dispatch tables (builtins_dispatch.cpp), and helpers
// that more than one group file uses.
//
// Two rules for a builtin's author, both from the call's runtime
// (src/runtime):
// - A loop whose length depends on the input counts its steps with
//   runtime::note_work(), about one unit per value or per 64 bytes of text,
//   so that Ctrl-C can stop it; only where unwinding is safe.
// - Memory handed to another library, which may free it with its own
//   functions, or memory that must outlive the call, must not come from the
//   call's arena: take it inside a `const runtime::ArenaPause` scope, as
//   fromjson does around simdjson's parser.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/eval_value.h"
#include "parser/builtin_list.h"
#include "parser/filter.h"
#include "runtime/arena.h"
#include "runtime/bounds.h"

namespace tamsel::engine {

// One function per row of TAMSEL_BUILTINS, named by its third column and
// defined in the group file of its kind of input. Each takes `input`
// (consumed) and appends its outputs, if any, to `out`; a builtin with an
// argument gets the query constant first. The names live in a namespace of
// their own because several are also names of std functions (floor, sqrt),
// which inside it are called as std::floor. Since a builtin's name hides any
// helper of the same name, the group files' helpers take other names.
namespace builtin {

#define TAMSEL_DECLARE_BUILTIN(kind, name, handler) \
  void handler(EvalValue input, ResultList& out);
#define TAMSEL_DECLARE_ARG_BUILTIN(kind, name, handler) \
  void handler(const query::LiteralValue& arg, EvalValue input, ResultList& out);
TAMSEL_BUILTINS(TAMSEL_DECLARE_BUILTIN, TAMSEL_DECLARE_ARG_BUILTIN)
#undef TAMSEL_DECLARE_BUILTIN
#undef TAMSEL_DECLARE_ARG_BUILTIN

}  // namespace builtin

// The elements of the array `input` with nested arrays spliced in, `depth`
// levels deep; a negative depth has no limit.
Value flatten_array(EvalValue& input, int64_t depth);

// The characters of the text `s` in reverse order, for reverse of a string.
Value reverse_code_points(std::string_view s);

// The key of a member of `input` as a Value of its own, as take_part does.
inline Value take_key(EvalValue& input, const View::Member& member) {
  if (member.key_value) return take_part(input, *member.key_value);
  return key_value(member);
}

// |n| of an I64. The magnitude of INT64_MIN has no I64 form, so it comes
// out as the U64 2^63 instead of wrapping to a negative number.
inline Value integer_magnitude(int64_t n) {
  if (n == INT64_MIN) return Value::u64(uint64_t{1} << 63);
  return Value::i64(n < 0 ? -n : n);
}

// Decimal text of an I64 or U64.
inline std::string integer_text(View v) {
  return v.kind() == Kind::I64 ? std::to_string(v.as_i64()) : std::to_string(v.as_u64());
}

}  // namespace tamsel::engine
