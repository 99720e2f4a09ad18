// The argument-less builtins on arrays and objects, and recurse.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/arith.h"
#include "engine/builtins_internal.h"
#include "engine/compare.h"
#include "engine/number_sort.h"
#include "engine/paths.h"
#include "engine/stable_sort.h"

namespace tamsel::engine {
namespace {

void push(ResultList& out, Value v) { out.push_back(EvalValue::owned(std::move(v))); }

bool is_non_empty_array(const EvalValue& input) {
  return input.kind() == Kind::Array && input.view().size() != 0;
}

bool sorts_before(const Value& a, const Value& b) { return order_values(a, b) == Ordering::Less; }

// The first eight bytes of `text`, zero-padded, as a number whose order is
// theirs.
uint64_t prefix_of(std::string_view text) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, text.data(), std::min<size_t>(text.size(), 8));
  uint64_t prefix = 0;
  for (unsigned char byte : bytes) prefix = prefix << 8 | byte;
  return prefix;
}

// Sorts strings by their bytes, unsigned, a common prefix first. Equal
// strings are alike in every way, so their order among themselves does not
// matter; comparing the prefixes settles most pairs without a memcmp.
void sort_texts(Array& texts) {
  struct Text {
    uint64_t prefix;
    size_t position;
  };
  std::vector<Text> order(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) order[i] = {prefix_of(texts[i].as_string()), i};
  // Each comparison counts as work; unwinding out of the sort is safe, as
  // it only moves plain records.
  std::sort(order.begin(), order.end(), [&](const Text& a, const Text& b) {
    runtime::note_work();
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return texts[a.position].as_string() < texts[b.position].as_string();
  });
  Array sorted;
  sorted.reserve(texts.size());
  for (const Text& text : order) sorted.push_back(std::move(texts[text.position]));
  texts = std::move(sorted);
}

Value sorted_keys(EvalValue& input) {
  const View v = input.view();
  Array result;
  result.reserve(v.size());
  if (v.kind() == Kind::Array) {
    for (size_t i = 0, n = v.size(); i < n; ++i) {
      runtime::note_work();
      result.push_back(Value::i64(static_cast<int64_t>(i)));
    }
    return Value::array(std::move(result));
  }
  for (const View::Member& member : v.members()) {
    runtime::note_work();
    result.push_back(take_key(input, member));
  }
  sort_texts(result);
  return Value::array(std::move(result));
}

Value keys_in_order(EvalValue& input) {
  const View v = input.view();
  Array result;
  result.reserve(v.size());
  for (const View::Member& member : v.members()) {
    runtime::note_work();
    result.push_back(take_key(input, member));
  }
  return Value::array(std::move(result));
}

Value object_values(EvalValue& input) {
  const View v = input.view();
  Array result;
  result.reserve(v.size());
  for (const View::Member& member : v.members()) {
    runtime::note_work();
    result.push_back(take_part(input, member.value));
  }
  return Value::array(std::move(result));
}

// An array of numbers only, none of them NaN (every array of numbers a
// document holds), sorts on the numbers' double values: the sort order
// compares numbers just so, and without NaN that order is a strict weak one,
// so any stable sort gives the same result. False, untouched, otherwise.
bool sort_numbers(Array& items) {
  if (items.size() > UINT32_MAX) return false;
  std::vector<double> numbers;
  numbers.reserve(items.size());
  for (const Value& value : items) {
    runtime::note_work();
    const View item(value);
    if (!item.is_number()) return false;
    const double x = item.as_double();
    if (std::isnan(x)) return false;
    numbers.push_back(x);
  }
  Array result;
  result.reserve(items.size());
  for (uint32_t position : sorted_positions(numbers)) result.push_back(std::move(items[position]));
  items = std::move(result);
  return true;
}

Value sorted(EvalValue input) {
  Value copy = std::move(input).take_open();
  if (!sort_numbers(copy.as_array())) stable_sort_values(copy.as_array(), sorts_before);
  return copy;
}

Value sorted_unique(EvalValue input) {
  Value copy = sorted(std::move(input));
  Array& items = copy.as_array();
  size_t kept = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    runtime::note_work();
    if (kept > 0 && compare_values(items[kept - 1], query::CompareOp::Eq, items[i])) continue;
    if (kept != i) items[kept] = std::move(items[i]);
    ++kept;
  }
  items.resize(kept);
  return copy;
}

// The element that wins under `replaces(candidate, element)`, scanning from
// the front of a non-empty array; only that element is copied.
template <typename Replaces>
Value extreme(EvalValue& input, Replaces replaces) {
  const View::Elements items = input.view().elements();
  auto it = items.begin();
  View best = *it;
  for (++it; it != items.end(); ++it) {
    runtime::note_work();
    if (replaces(order_values(best, *it))) best = *it;
  }
  return take_part(input, best);
}

Value reversed(EvalValue& input) {
  const View v = input.view();
  Array result;
  result.reserve(v.size());
  for (View item : v.elements()) {
    runtime::note_work();
    result.push_back(take_part(input, item));
  }
  std::reverse(result.begin(), result.end());
  return Value::array(std::move(result));
}

void flatten_into(Array& out, EvalValue& input, View items, int64_t depth) {
  for (View item : items.elements()) {
    runtime::note_work();
    if (item.kind() == Kind::Array && depth != 0) {
      flatten_into(out, input, item, depth > 0 ? depth - 1 : depth);
    } else {
      out.push_back(take_part(input, item));
    }
  }
}

// The texts of `total` and of every String element from `from` on, joined
// and written once; `total` itself when no element is a String.
template <typename Iterator>
Value joined_texts(Value total, Iterator from, Iterator end) {
  size_t size = total.as_string().size();
  bool grows = false;
  for (Iterator it = from; it != end; ++it) {
    runtime::note_work();
    const View item = *it;
    if (item.kind() != Kind::String) continue;
    size += item.as_string().size();
    grows = true;
  }
  if (!grows) return total;
  return Value::string_written(size, [&](char* out) {
    const std::string_view first = total.as_string();
    std::memcpy(out, first.data(), first.size());
    out += first.size();
    for (Iterator it = from; it != end; ++it) {
      runtime::note_work();
      const View item = *it;
      if (item.kind() != Kind::String) continue;
      const std::string_view text = item.as_string();
      std::memcpy(out, text.data(), text.size());
      out += text.size();
    }
  });
}

// The sum of the elements under +, from the left. Once the total is not
// null its kind never changes: + with null gives the other side, and a pair
// of kinds + cannot combine leaves the total as it was. So texts, arrays and
// objects grow in place, each element costing its own size; + step by step
// would copy the whole total for every element.
Value sum(EvalValue& input) {
  const View::Elements items = input.view().elements();
  auto it = items.begin();
  while (it != items.end() && (*it).kind() == Kind::Null) {
    runtime::note_work();
    ++it;
  }
  if (!(it != items.end())) return Value::null();
  Value total = take_part(input, *it);
  const Kind kind = total.kind();
  ++it;
  if (kind == Kind::String) return joined_texts(std::move(total), it, items.end());
  ObjectMap members;  // an Object total, once a second object comes
  bool merged = false;
  for (; it != items.end(); ++it) {
    runtime::note_work();
    const View item = *it;
    if (kind == Kind::Array) {
      if (item.kind() != Kind::Array) continue;
      if (total.is_document_part()) total = expand_document(document_ref_of(total));
      for (View e : item.elements()) {
        runtime::note_work();
        total.as_array().push_back(take_part(input, e));
      }
    } else if (kind == Kind::Object) {
      if (item.kind() != Kind::Object) continue;
      if (!merged) {
        // Inserting the first object's members merges any key it holds
        // twice, as + does.
        EvalValue first = EvalValue::owned(std::move(total));
        members = ObjectMap::with_capacity(first.view().size() + item.size());
        for (const View::Member& m : first.view().members())
          members.insert(take_key(first, m), take_part(first, m.value));
        merged = true;
      }
      for (const View::Member& m : item.members()) {
        runtime::note_work();
        members.insert(take_key(input, m), take_part(input, m.value));
      }
    } else if (auto sum = arith(total, query::ArithOp::Add, item)) {
      total = std::move(*sum);  // numbers; a boolean combines with nothing
    }
  }
  return merged ? Value::object(std::move(members)) : std::move(total);
}

// The member names of entries, views of text that lives as long as the
// program.
Value fixed_text(std::string_view text) {
  return Value::string_view(text.data(), static_cast<uint32_t>(text.size()));
}

Value entries(EvalValue& input) {
  const View v = input.view();
  Array result;
  result.reserve(v.size());
  for (const View::Member& member : v.members()) {
    runtime::note_work();
    Value pair = Value::object_with_room(2);
    pair.as_object().insert_unchecked(fixed_text("key"), take_key(input, member));
    pair.as_object().insert_unchecked(fixed_text("value"), take_part(input, member.value));
    result.push_back(std::move(pair));
  }
  return Value::array(std::move(result));
}

// The object key an entry names, or nothing when the entry is unusable.
std::optional<Value> entry_key(EvalValue& input, View entry) {
  std::optional<View> key = entry.member("key");
  if (!key) key = entry.member("name");
  if (!key) return std::nullopt;
  switch (key->kind()) {
    case Kind::String: return take_part(input, *key);
    case Kind::I64:
    case Kind::U64: return Value::string(integer_text(*key));
    default: return std::nullopt;
  }
}

Value object_from_entries(EvalValue& input) {
  const View items = input.view();
  Value object = Value::object_with_room(items.size());
  ObjectMap& result = object.as_object();
  for (View item : items.elements()) {
    runtime::note_work();
    if (item.kind() != Kind::Object) continue;
    auto key = entry_key(input, item);
    if (!key) continue;
    std::optional<View> value = item.member("value");
    result.insert(std::move(*key), value ? take_part(input, *value) : Value::null());
  }
  return object;
}

}  // namespace

Value flatten_array(EvalValue& input, int64_t depth) {
  Array flat;
  flatten_into(flat, input, input.view(), depth);
  return Value::array(std::move(flat));
}

namespace builtin {

void keys(EvalValue input, ResultList& out) {
  // The keys of an array are its indices.
  if (input.kind() == Kind::Object || input.kind() == Kind::Array) push(out, sorted_keys(input));
}

void keys_unsorted(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Object) push(out, keys_in_order(input));
}

void values(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Object) return push(out, object_values(input));
  // The values of an array are its elements, so the array itself.
  if (input.kind() == Kind::Array) out.push_back(std::move(input));
}

void to_entries(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Object) push(out, entries(input));
}

void from_entries(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array) push(out, object_from_entries(input));
}

void reverse(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::String) return push(out, reverse_code_points(input.view().as_string()));
  if (input.kind() == Kind::Array) push(out, reversed(input));
}

void sort(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array) push(out, sorted(std::move(input)));
}

void unique(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array) push(out, sorted_unique(std::move(input)));
}

void flatten(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array) push(out, flatten_array(input, -1));
}

void add(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::Array) push(out, sum(input));
}

void min(EvalValue input, ResultList& out) {
  if (!is_non_empty_array(input)) return;
  // The first of several least elements wins.
  push(out, extreme(input, [](Ordering o) { return o == Ordering::Greater; }));
}

void max(EvalValue input, ResultList& out) {
  if (!is_non_empty_array(input)) return;
  // The last of several greatest elements wins.
  push(out, extreme(input, [](Ordering o) { return o != Ordering::Greater; }));
}

void first(EvalValue input, ResultList& out) {
  if (is_non_empty_array(input)) push(out, take_part(input, input.view().front()));
}

void last(EvalValue input, ResultList& out) {
  if (is_non_empty_array(input)) push(out, take_part(input, input.view().back()));
}

void recurse(EvalValue input, ResultList& out) { recursive_descent(std::move(input), out); }

}  // namespace builtin

}  // namespace tamsel::engine
