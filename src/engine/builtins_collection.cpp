// The argument-less builtins on arrays and objects.
#include <string>
#include <string_view>

#include "engine/arith.h"
#include "engine/builtins_internal.h"
#include "engine/compare.h"
#include "engine/paths.h"
#include "engine/stable_sort.h"

namespace tamsel::engine {
namespace {

using query::BuiltinKind;

void push(ResultList& out, Value v) { out.push_back(EvalValue::owned(std::move(v))); }

bool sorts_before(const Value& a, const Value& b) { return order_values(a, b) == Ordering::Less; }

Value keys(EvalValue& input) {
  const Value& v = input.get();
  Array result;
  if (v.kind() == Kind::Array) {
    size_t n = v.as_array().size();
    result.reserve(n);
    for (size_t i = 0; i < n; ++i) result.push_back(Value::i64(static_cast<int64_t>(i)));
    return Value::array(std::move(result));
  }
  result.reserve(v.as_object().size());
  for (const auto& entry : v.as_object()) result.push_back(take_part(input, entry.key));
  // string_view comparison is by unsigned bytes, a common prefix first.
  stable_sort_values(result, [](const Value& a, const Value& b) {
    return a.as_string() < b.as_string();
  });
  return Value::array(std::move(result));
}

Value keys_unsorted(EvalValue& input) {
  Array result;
  result.reserve(input.get().as_object().size());
  for (const auto& entry : input.get().as_object()) result.push_back(take_part(input, entry.key));
  return Value::array(std::move(result));
}

Value object_values(EvalValue& input) {
  Array result;
  result.reserve(input.get().as_object().size());
  for (const auto& entry : input.get().as_object()) {
    result.push_back(take_part(input, entry.value));
  }
  return Value::array(std::move(result));
}

Value sorted(EvalValue input) {
  Value copy = std::move(input).take();
  stable_sort_values(copy.as_array(), sorts_before);
  return copy;
}

Value unique(EvalValue input) {
  Value copy = sorted(std::move(input));
  Array& items = copy.as_array();
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    if (kept > 0 && compare_values(items[kept - 1], query::CompareOp::Eq, items[i])) continue;
    if (kept != i) items[kept] = std::move(items[i]);
    ++kept;
  }
  items.resize(kept);
  return copy;
}

// The element that wins under `replaces(candidate, element)`, scanning from
// the front; only that element is copied.
template <typename Replaces>
Value extreme(EvalValue& input, Replaces replaces) {
  const Array& items = input.get().as_array();
  size_t best = 0;
  for (size_t i = 1; i < items.size(); ++i) {
    if (replaces(order_values(items[best], items[i]))) best = i;
  }
  return take_part(input, items[best]);
}

Value reversed(EvalValue& input) {
  const Array& items = input.get().as_array();
  Array result;
  result.reserve(items.size());
  for (size_t i = items.size(); i-- > 0;) result.push_back(take_part(input, items[i]));
  return Value::array(std::move(result));
}

void flatten_into(Array& out, EvalValue& input, const Array& items, int64_t depth) {
  for (const Value& item : items) {
    if (item.kind() == Kind::Array && depth != 0) {
      flatten_into(out, input, item.as_array(), depth > 0 ? depth - 1 : depth);
    } else {
      out.push_back(take_part(input, item));
    }
  }
}

Value add(EvalValue& input) {
  const Array& items = input.get().as_array();
  if (items.empty()) return Value::null();
  Value total = take_part(input, items[0]);
  // Runs of strings and of arrays are appended in place rather than through
  // a fresh concatenation per element, which would be quadratic. The result
  // is what the + operator gives step by step.
  std::string text;
  bool text_pending = false;
  for (size_t i = 1; i < items.size(); ++i) {
    const Value& item = items[i];
    if (total.kind() == Kind::String && item.kind() == Kind::String) {
      if (!text_pending) text.assign(total.as_string());
      text_pending = true;
      text += item.as_string();
      continue;
    }
    if (text_pending) {
      total = Value::string(text);
      text_pending = false;
    }
    if (total.kind() == Kind::Array && item.kind() == Kind::Array) {
      for (const Value& e : item.as_array()) total.as_array().push_back(take_part(input, e));
      continue;
    }
    if (auto sum = arith(total, query::ArithOp::Add, item)) total = std::move(*sum);
  }
  if (text_pending) total = Value::string(text);
  return total;
}

Value to_entries(EvalValue& input) {
  Array result;
  result.reserve(input.get().as_object().size());
  for (const auto& entry : input.get().as_object()) {
    ObjectMap pair = ObjectMap::with_capacity(2);
    pair.insert(Value::string("key"), take_part(input, entry.key));
    pair.insert(Value::string("value"), take_part(input, entry.value));
    result.push_back(Value::object(std::move(pair)));
  }
  return Value::array(std::move(result));
}

// The object key an entry names, or nothing when the entry is unusable.
std::optional<Value> entry_key(EvalValue& input, const ObjectMap& entry) {
  const Value* key = entry.get("key");
  if (key == nullptr) key = entry.get("name");
  if (key == nullptr) return std::nullopt;
  switch (key->kind()) {
    case Kind::String: return take_part(input, *key);
    case Kind::I64:
    case Kind::U64: return Value::string(integer_text(*key));
    default: return std::nullopt;
  }
}

Value from_entries(EvalValue& input) {
  const Array& items = input.get().as_array();
  ObjectMap result = ObjectMap::with_capacity(items.size());
  for (const Value& item : items) {
    if (item.kind() != Kind::Object) continue;
    auto key = entry_key(input, item.as_object());
    if (!key) continue;
    const Value* value = item.as_object().get("value");
    result.insert(std::move(*key), value ? take_part(input, *value) : Value::null());
  }
  return Value::object(std::move(result));
}

}  // namespace

Value flatten_array(EvalValue& input, int64_t depth) {
  Array flat;
  flatten_into(flat, input, input.get().as_array(), depth);
  return Value::array(std::move(flat));
}

void apply_collection_builtin(BuiltinKind kind, EvalValue input, ResultList& out) {
  if (kind == BuiltinKind::Recurse) return recursive_descent(std::move(input), out);
  const Kind k = input.get().kind();
  if (k == Kind::Object) {
    switch (kind) {
      case BuiltinKind::Keys: return push(out, keys(input));
      case BuiltinKind::KeysUnsorted: return push(out, keys_unsorted(input));
      case BuiltinKind::Values: return push(out, object_values(input));
      case BuiltinKind::ToEntries: return push(out, to_entries(input));
      default: return;
    }
  }
  if (k != Kind::Array) return;
  const bool empty = input.get().as_array().empty();
  switch (kind) {
    case BuiltinKind::Keys: return push(out, keys(input));
    case BuiltinKind::Values: out.push_back(std::move(input)); return;
    case BuiltinKind::Reverse: return push(out, reversed(input));
    case BuiltinKind::Sort: return push(out, sorted(std::move(input)));
    case BuiltinKind::Unique: return push(out, unique(std::move(input)));
    case BuiltinKind::Flatten: return push(out, flatten_array(input, -1));
    case BuiltinKind::Add: return push(out, add(input));
    case BuiltinKind::FromEntries: return push(out, from_entries(input));
    case BuiltinKind::Min:
      if (empty) return;
      // The first of several least elements wins.
      return push(out, extreme(input, [](Ordering o) { return o == Ordering::Greater; }));
    case BuiltinKind::Max:
      if (empty) return;
      // The last of several greatest elements wins.
      return push(out, extreme(input, [](Ordering o) { return o != Ordering::Greater; }));
    case BuiltinKind::First:
      if (empty) return;
      return push(out, take_part(input, input.get().as_array().front()));
    case BuiltinKind::Last:
      if (empty) return;
      return push(out, take_part(input, input.get().as_array().back()));
    default: return;
  }
}

}  // namespace tamsel::engine
