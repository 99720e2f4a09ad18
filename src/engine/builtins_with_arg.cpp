// The builtins that take one constant argument.
#include <string>

#include "engine/builtins.h"  // literal_to_value
#include "engine/builtins_internal.h"
#include "engine/compare.h"
#include "engine/render.h"
#include "engine/text_search.h"

namespace tamsel::engine {
namespace {

using query::ArgBuiltinKind;
using query::LiteralValue;

void push(ResultList& out, Value v) { out.push_back(EvalValue::owned(std::move(v))); }

bool has_key(View v, const LiteralValue& arg) {
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

Value joined(View items, std::string_view separator) {
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

Value first_elements(EvalValue& input, int64_t n) {
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

namespace builtin {

void has(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, Value::boolean(has_key(input.view(), arg)));
}

void startswith(const LiteralValue& arg, EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.kind() == Kind::String && arg.kind == LiteralValue::Kind::String) {
    push(out, Value::boolean(v.as_string().starts_with(arg.string)));
  }
}

void endswith(const LiteralValue& arg, EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.kind() == Kind::String && arg.kind == LiteralValue::Kind::String) {
    push(out, Value::boolean(v.as_string().ends_with(arg.string)));
  }
}

void contains(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, Value::boolean(contains_value(input.view(), literal_to_value(arg))));
}

void inside(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, Value::boolean(contains_value(literal_to_value(arg), input.view())));
}

void split(const LiteralValue& arg, EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.kind() == Kind::String && arg.kind == LiteralValue::Kind::String) {
    push(out, Value::array(split_text(v.as_string(), arg.string)));
  }
}

void join(const LiteralValue& arg, EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.kind() == Kind::Array && arg.kind == LiteralValue::Kind::String) {
    push(out, joined(v, arg.string));
  }
}

void ltrimstr(const LiteralValue& arg, EvalValue input, ResultList& out) {
  trim(std::move(input), arg, true, out);
}

void rtrimstr(const LiteralValue& arg, EvalValue input, ResultList& out) {
  trim(std::move(input), arg, false, out);
}

void flatten_to_depth(const LiteralValue& arg, EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array && arg.kind == LiteralValue::Kind::Integer) {
    push(out, flatten_array(input, arg.integer));
  }
}

void index(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, search(ArgBuiltinKind::Index, input.view(), arg));
}

void rindex(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, search(ArgBuiltinKind::Rindex, input.view(), arg));
}

void indices(const LiteralValue& arg, EvalValue input, ResultList& out) {
  push(out, search(ArgBuiltinKind::Indices, input.view(), arg));
}

void limit(const LiteralValue& arg, EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array && arg.kind == LiteralValue::Kind::Integer) {
    push(out, first_elements(input, arg.integer));
  }
}

}  // namespace builtin

}  // namespace tamsel::engine
