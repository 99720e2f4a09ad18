// The builtins that take one constant argument.
#include <string>

#include "engine/builtins.h"
#include "engine/builtins_internal.h"
#include "engine/compare.h"
#include "engine/render.h"
#include "engine/text_search.h"

namespace tamsel::engine {
namespace {

using query::ArgBuiltinKind;
using query::LiteralValue;

void push(ResultList& out, Value v) { out.push_back(EvalValue::owned(std::move(v))); }

bool has(View v, const LiteralValue& arg) {
  if (v.kind() == Kind::Array && arg.kind == LiteralValue::Kind::Integer) {
    // Lengths are far below 2^63, so neither the sum nor the cast can wrap.
    auto n = static_cast<int64_t>(v.size());
    int64_t pos = arg.integer >= 0 ? arg.integer : n + arg.integer;
    return pos >= 0 && pos < n;
  }
  if (v.kind() == Kind::Object && arg.kind == LiteralValue::Kind::String) {
    return v.member(arg.string).has_value();
  }
  return false;
}

Value join(View items, std::string_view separator) {
  std::string text;
  bool first = true;
  for (View item : items.elements()) {
    runtime::note_work();
    // Nulls leave no trace: no text and no separator.
    if (item.kind() == Kind::Null) continue;
    if (!first) text += separator;
    first = false;
    if (item.kind() == Kind::String) {
      text += item.as_string();
    } else {
      text += to_display_text(item);
    }
  }
  return Value::string(text);
}

// ltrimstr and rtrimstr: text that is not a string, or a pattern that is
// not one, passes through untouched.
void trim(EvalValue input, const LiteralValue& arg, bool at_start, ResultList& out) {
  const View v = input.view();
  if (v.kind() != Kind::String || arg.kind != LiteralValue::Kind::String) {
    out.push_back(std::move(input));
    return;
  }
  std::string_view s = v.as_string();
  if (at_start && s.starts_with(arg.string)) {
    return push(out, Value::string(s.substr(arg.string.size())));
  }
  if (!at_start && s.ends_with(arg.string)) {
    return push(out, Value::string(s.substr(0, s.size() - arg.string.size())));
  }
  push(out, std::move(input).take());
}

Value limit(EvalValue& input, int64_t n) {
  const View items = input.view();
  size_t count = items.size();
  if (n >= 0 && static_cast<uint64_t>(n) < count) count = static_cast<size_t>(n);
  Array result;
  result.reserve(count);
  for (View item : items.elements()) {
    if (result.size() == count) break;
    runtime::note_work();
    result.push_back(take_part(input, item));
  }
  return Value::array(std::move(result));
}

Value position_or_null(std::optional<int64_t> pos) {
  return pos ? Value::i64(*pos) : Value::null();
}

// index, rindex and indices over the elements of an array.
Value search_array(ArgBuiltinKind kind, View items, const Value& wanted) {
  // One pass from the front: the first match, the last or all of them.
  std::optional<int64_t> last;
  Array positions;
  int64_t i = 0;
  for (View item : items.elements()) {
    runtime::note_work();
    if (compare_values(item, query::CompareOp::Eq, wanted)) {
      if (kind == ArgBuiltinKind::Index) return Value::i64(i);
      last = i;
      if (kind == ArgBuiltinKind::Indices) positions.push_back(Value::i64(i));
    }
    ++i;
  }
  if (kind == ArgBuiltinKind::Indices) return Value::array(std::move(positions));
  return position_or_null(last);
}

Value search(ArgBuiltinKind kind, View v, const LiteralValue& arg) {
  if (v.kind() == Kind::Array) return search_array(kind, v, literal_to_value(arg));
  if (v.kind() == Kind::String && arg.kind == LiteralValue::Kind::String) {
    std::string_view s = v.as_string();
    switch (kind) {
      case ArgBuiltinKind::Index: return position_or_null(first_position(s, arg.string));
      case ArgBuiltinKind::Rindex: return position_or_null(last_position(s, arg.string));
      default: return Value::array(all_positions(s, arg.string));
    }
  }
  return kind == ArgBuiltinKind::Indices ? Value::array(Array{}) : Value::null();
}

}  // namespace

void apply_builtin_with_arg(const query::BuiltinWithArg& node, EvalValue input, ResultList& out) {
  const LiteralValue& arg = node.argument;
  const View v = input.view();
  const bool string_input = v.kind() == Kind::String;
  const bool string_arg = arg.kind == LiteralValue::Kind::String;
  const bool integer_arg = arg.kind == LiteralValue::Kind::Integer;
  switch (node.kind) {
    case ArgBuiltinKind::Has: return push(out, Value::boolean(has(v, arg)));
    case ArgBuiltinKind::Startswith:
      if (string_input && string_arg) {
        push(out, Value::boolean(v.as_string().starts_with(arg.string)));
      }
      return;
    case ArgBuiltinKind::Endswith:
      if (string_input && string_arg) {
        push(out, Value::boolean(v.as_string().ends_with(arg.string)));
      }
      return;
    case ArgBuiltinKind::Contains:
      return push(out, Value::boolean(contains_value(v, literal_to_value(arg))));
    case ArgBuiltinKind::Inside:
      return push(out, Value::boolean(contains_value(literal_to_value(arg), v)));
    case ArgBuiltinKind::Split:
      if (string_input && string_arg) {
        push(out, Value::array(split_text(v.as_string(), arg.string)));
      }
      return;
    case ArgBuiltinKind::Join:
      if (v.kind() == Kind::Array && string_arg) push(out, join(v, arg.string));
      return;
    case ArgBuiltinKind::Ltrimstr: return trim(std::move(input), arg, true, out);
    case ArgBuiltinKind::Rtrimstr: return trim(std::move(input), arg, false, out);
    case ArgBuiltinKind::Flatten:
      if (v.kind() == Kind::Array && integer_arg) push(out, flatten_array(input, arg.integer));
      return;
    case ArgBuiltinKind::Index:
    case ArgBuiltinKind::Rindex:
    case ArgBuiltinKind::Indices: return push(out, search(node.kind, v, arg));
    case ArgBuiltinKind::Limit:
      if (v.kind() == Kind::Array && integer_arg) push(out, limit(input, arg.integer));
      return;
  }
}

}  // namespace tamsel::engine
