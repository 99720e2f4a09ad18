#include "engine/evaluator.h"

#include <algorithm>
#include <string>
#include <utility>

#include "engine/arith.h"
#include "engine/builtins.h"
#include "engine/compare.h"
#include "engine/paths.h"
#include "runtime/bounds.h"
#include "tamsel_limits.h"
#include "unicode/utf8.h"
#include "value/depth.h"
#include "value/document_ref.h"
#include "value/object_map.h"

namespace tamsel::engine {
namespace {

using namespace query;

void ensure_results_fit(size_t count) {
  if (count > kMaxResults)
    throw InternalFault("too many results: a stage produced more than " +
                        std::to_string(kMaxResults) + " values");
}

void apply(const Filter& filter, EvalValue v, ResultList& out);

// Appends the member `name` of an object.
void apply_field(const Field& field, EvalValue v, ResultList& out) {
  const View value = v.view();
  if (value.kind() != Kind::Object) return;
  if (const std::optional<View> member = value.member(field.name)) out.push_back(v.select(*member));
}

void apply_index(const Index& index, EvalValue v, ResultList& out) {
  const View value = v.view();
  if (value.kind() != Kind::Array) return;
  if (auto position = array_position(index.index, value.size()))
    out.push_back(v.select(value.element(*position)));
}

void apply_iterate(EvalValue v, ResultList& out) {
  // The document's own loop, for the step that most queries take over
  // every element: it hands out references without reading the elements.
  if (v.is_document()) {
    const DocumentRef ref = v.document_ref();
    if (ref.is_array()) {
      for (DocumentRef element : document_array(ref)) out.push_back(EvalValue::document(element));
    } else if (ref.is_object()) {
      for (simdjson::dom::key_value_pair member : document_object(ref))
        out.push_back(EvalValue::document(member.value));
    }
    return;
  }
  const View value = v.view();
  if (value.kind() == Kind::Array) {
    for (View element : value.elements()) out.push_back(v.select(element));
  } else if (value.kind() == Kind::Object) {
    for (const View::Member& member : value.members()) out.push_back(v.select(member.value));
  }
}

// Clamps a slice bound to [0, n]; negative bounds count from the end.
size_t slice_bound(const std::optional<int64_t>& bound, size_t n, size_t absent) {
  if (!bound) return absent;
  int64_t len = static_cast<int64_t>(n);
  int64_t b = *bound;
  if (b >= 0) return static_cast<size_t>(std::min(b, len));
  // len + b cannot overflow: len >= 0 and b < 0.
  return static_cast<size_t>(std::max<int64_t>(len + b, 0));
}

// Byte offset of code point number `index` in `s` (s.size() past the end).
size_t code_point_offset(std::string_view s, size_t index) {
  size_t offset = 0;
  for (size_t i = 0; i < index && offset < s.size(); ++i)
    offset += utf8::sequence_length(static_cast<unsigned char>(s[offset]));
  return std::min(offset, s.size());
}

void apply_slice(const Slice& slice, EvalValue v, ResultList& out) {
  const View value = v.view();
  if (value.kind() == Kind::String) {
    std::string_view s = value.as_string();
    size_t n = utf8::count_code_points(s);
    size_t from = slice_bound(slice.from, n, 0), to = slice_bound(slice.to, n, n);
    if (from >= to) {
      out.push_back(EvalValue::owned(Value::string("")));
      return;
    }
    size_t begin = code_point_offset(s, from);
    size_t end = begin + code_point_offset(s.substr(begin), to - from);
    out.push_back(EvalValue::owned(Value::string(s.substr(begin, end - begin))));
  } else if (value.kind() == Kind::Array) {
    size_t n = value.size();
    size_t from = slice_bound(slice.from, n, 0), to = slice_bound(slice.to, n, n);
    Array part;
    if (from < to) {
      part.reserve(to - from);
      size_t left = to - from;
      for (View element : value.elements_from(from)) {
        if (left-- == 0) break;
        part.push_back(take_part(v, element));
      }
    }
    out.push_back(EvalValue::owned(Value::array(std::move(part))));
  }
}

// Room for `more` further items. Stages append to one list input after input,
// so growth must stay geometric: reserving exactly the new size each time
// would copy the whole list on every append.
void reserve_more(ResultList& out, size_t more) {
  if (out.size() + more > out.capacity())
    out.reserve(std::max(out.size() + more, out.capacity() * 2));
}

void append_all(ResultList& out, ResultList&& more) {
  if (out.empty()) {
    out = std::move(more);
    return;
  }
  reserve_more(out, more.size());
  for (EvalValue& value : more) out.push_back(std::move(value));
}

void apply_comma(const Comma& comma, EvalValue v, ResultList& out) {
  size_t last = comma.branches.size() - 1;
  for (size_t i = 0; i < last; ++i)
    append_all(out, evaluate(comma.branches[i], v.share_or_copy(), false));
  append_all(out, evaluate(comma.branches[last], std::move(v), false));
}

// The key of a constructed member: a view of the key in the query, which
// outlives every value of the run.
Value key_of(const ObjectEntry& entry) {
  return Value::string_view(entry.key.data(), Value::checked_length(entry.key.size()));
}

size_t path_start(const Pipeline& pipeline, size_t end);
std::optional<EvalValue> follow_path(const Pipeline& pipeline, size_t from, size_t end,
                                     EvalValue v);

// When every entry is a path ({id: .id, who: .actor.login}, the usual
// form), each takes at most one value: at most one object, built straight
// from the paths without the lists and products of the general case below.
// False, having done nothing, when an entry is not a path.
bool apply_path_construct(const ObjectConstruct& construct, const EvalValue& v,
                          ResultList& out) {
  for (const ObjectEntry& entry : construct.entries)
    if (path_start(entry.value, entry.value.size()) != 0) return false;
  Value object = Value::object_with_room(construct.entries.size());
  for (const ObjectEntry& entry : construct.entries) {
    std::optional<EvalValue> value = follow_path(entry.value, 0, entry.value.size(), v.borrow());
    if (!value) return true;
    runtime::note_work();
    ensure_room_to_wrap(value->view());
    object.as_object().insert(key_of(entry), std::move(*value).take());
  }
  reserve_more(out, 1);
  out.push_back(EvalValue::owned(std::move(object)));
  return true;
}

// Entry values are copied into the new objects before `v` is dropped, so the
// entry pipelines can read `v` by reference even when it is owned.
void apply_object_construct(const ObjectConstruct& construct, EvalValue v, ResultList& out) {
  if (apply_path_construct(construct, v, out)) return;
  std::vector<ObjectMap> partial;
  partial.push_back(ObjectMap::with_capacity(construct.entries.size()));
  for (const ObjectEntry& entry : construct.entries) {
    ResultList values = evaluate(entry.value, v.borrow(), false);
    if (values.empty()) return;
    // Parts of the document are within its own, smaller, nesting limit and
    // are not walked.
    for (const EvalValue& value : values) {
      runtime::note_work();
      ensure_room_to_wrap(value.view());
    }
    if (values.size() == 1) {
      // One value: every partial object gets it, no products to form.
      for (size_t i = 0; i + 1 < partial.size(); ++i) {
        runtime::note_work();
        partial[i].insert(key_of(entry), values[0].view().to_value());
      }
      partial.back().insert(key_of(entry), std::move(values[0]).take());
      continue;
    }
    // values.size() is at most kMaxResults, so the product cannot overflow.
    if (partial.size() * values.size() > kMaxConstructed)
      throw InternalFault("too many results: object construction would build more than " +
                          std::to_string(kMaxConstructed) + " objects");
    std::vector<ObjectMap> product;
    product.reserve(partial.size() * values.size());
    for (const ObjectMap& base : partial) {
      for (const EvalValue& value : values) {
        runtime::note_work();
        ObjectMap map = base.copy();
        map.insert(key_of(entry), value.view().to_value());
        product.push_back(std::move(map));
      }
    }
    partial = std::move(product);
  }
  reserve_more(out, partial.size());
  for (ObjectMap& map : partial) out.push_back(EvalValue::owned(Value::object(std::move(map))));
}

bool is_container(Kind kind) { return kind == Kind::Array || kind == Kind::Object; }

// Where the trailing run of path steps of the stages [0, end) of `pipeline`
// begins (`end` when they end with another step).
size_t path_start(const Pipeline& pipeline, size_t end) {
  size_t start = end;
  while (start > 0 && is_path_step(pipeline[start - 1])) --start;
  return start;
}

// What the path steps [from, end) of `pipeline` lead to from `v`, or nothing
// where a step does not apply: the output apply() gives, step by step.
std::optional<EvalValue> follow_path(const Pipeline& pipeline, size_t from, size_t end,
                                     EvalValue v) {
  size_t i = from;
  if (v.is_document()) {
    DocumentRef at = v.document_ref();
    for (; i < end; ++i) {
      const auto* field = std::get_if<query::Field>(&pipeline[i].node);
      if (!field) break;
      if (!field_step_on_tape(*field, &at)) return std::nullopt;
    }
    if (i == end) return EvalValue::document(at);
    v = EvalValue::document(at);
  }
  for (; i < end; ++i) {
    runtime::note_work();
    const std::optional<View> part = path_step(pipeline[i], v.view());
    if (!part) return std::nullopt;
    v = v.select(*part);
  }
  return v;
}

// The first output of `pipeline` on `v` (every output is computed, as a
// condition's operand needs), or nothing.
std::optional<EvalValue> first_output(const Pipeline& pipeline, const EvalValue& v) {
  if (path_start(pipeline, pipeline.size()) == 0)
    return follow_path(pipeline, 0, pipeline.size(), v.borrow());
  ResultList outputs = evaluate(pipeline, v.borrow(), false);
  if (outputs.empty()) return std::nullopt;
  return std::move(outputs.front());
}

// compare_values of two operands; arrays and objects never compare equal to
// anything, so they are settled without building them from the document.
bool compare(const EvalValue& a, CompareOp op, View b) {
  if (is_container(a.kind()) || is_container(b.kind())) return op == CompareOp::Ne;
  return compare_values(a.view(), op, b);
}

bool holds(const Condition& condition, const EvalValue& v) {
  return std::visit(
      [&](const auto& node) -> bool {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, CompareLiteral>) {
          const std::optional<EvalValue> lhs = first_output(node.lhs, v);
          if (!lhs) return false;
          return compare(*lhs, node.op, literal_to_value(node.rhs));
        } else if constexpr (std::is_same_v<Node, CompareFilter>) {
          const std::optional<EvalValue> lhs = first_output(node.lhs, v);
          if (!lhs) return false;
          const std::optional<EvalValue> rhs = first_output(node.rhs, v);
          if (!rhs) return false;
          if (is_container(rhs->kind())) return node.op == CompareOp::Ne;
          return compare(*lhs, node.op, rhs->view());
        } else if constexpr (std::is_same_v<Node, Truthy>) {
          const std::optional<EvalValue> operand = first_output(node.operand, v);
          return operand && is_truthy(*operand);
        } else if constexpr (std::is_same_v<Node, And>) {
          return holds(*node.left, v) && holds(*node.right, v);
        } else if constexpr (std::is_same_v<Node, Or>) {
          return holds(*node.left, v) || holds(*node.right, v);
        } else {
          return !holds(*node.operand, v);
        }
      },
      condition.node);
}

// Both operands only feed arith(), which copies what it keeps, so they read
// `v` by reference even when it is owned; `v` lives until the result is built.
void apply_arithmetic(const Arithmetic& arithmetic, EvalValue v, ResultList& out) {
  ResultList left = evaluate(arithmetic.left, v.borrow(), false);
  ResultList right = evaluate(arithmetic.right, v.borrow(), false);
  if (left.empty() || right.empty()) return;
  if (auto result = arith(left.front().view(), arithmetic.op, right.front().view()))
    out.push_back(EvalValue::owned(std::move(*result)));
}

void apply(const Filter& filter, EvalValue v, ResultList& out) {
  runtime::note_work();
  std::visit(
      [&](const auto& node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, Identity>) {
          out.push_back(std::move(v));
        } else if constexpr (std::is_same_v<Node, Field>) {
          apply_field(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, Index>) {
          apply_index(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, Iterate>) {
          apply_iterate(std::move(v), out);
        } else if constexpr (std::is_same_v<Node, ObjectConstruct>) {
          apply_object_construct(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, Select>) {
          if (holds(node.condition, v)) out.push_back(std::move(v));
        } else if constexpr (std::is_same_v<Node, Comma>) {
          apply_comma(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, Arithmetic>) {
          apply_arithmetic(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, Literal>) {
          out.push_back(EvalValue::owned(literal_to_value(node.value)));
        } else if constexpr (std::is_same_v<Node, Builtin>) {
          apply_builtin(node.kind, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, BuiltinWithArg>) {
          apply_builtin_with_arg(node, std::move(v), out);
        } else if constexpr (std::is_same_v<Node, RecursiveDescent>) {
          recursive_descent(std::move(v), out);
        } else {
          static_assert(std::is_same_v<Node, Slice>);
          apply_slice(node, std::move(v), out);
        }
      },
      filter.node);
}

}  // namespace

ResultList evaluate(const Pipeline& pipeline, EvalValue input, bool first_result) {
  return evaluate(pipeline, pipeline.size(), std::move(input), first_result);
}

ResultList evaluate(const Pipeline& pipeline, size_t end, EvalValue input, bool first_result) {
  ResultList current;
  if (end == 0) {
    current.push_back(std::move(input));
    return current;
  }
  // A trailing run of fields and indexes takes each value on alone.
  const size_t path = path_start(pipeline, end);
  if (path == 0) {
    if (std::optional<EvalValue> output = follow_path(pipeline, 0, end, std::move(input)))
      current.push_back(std::move(*output));
    return current;
  }
  // The first stage has the one input: apply it directly, without a list.
  apply(pipeline[0], std::move(input), current);
  ensure_results_fit(current.size());
  for (size_t stage = 1; stage < path && !current.empty(); ++stage) {
    bool stop_early = first_result && stage + 1 == end;
    ResultList next;
    next.reserve(current.size());
    for (EvalValue& value : current) {
      apply(pipeline[stage], std::move(value), next);
      ensure_results_fit(next.size());
      if (stop_early && !next.empty()) break;
    }
    current = std::move(next);
  }
  if (path < end && !current.empty()) {
    // Each value leads to at most one: the list shrinks in place.
    size_t kept = 0;
    for (EvalValue& value : current) {
      std::optional<EvalValue> output = follow_path(pipeline, path, end, std::move(value));
      if (!output) continue;
      current[kept++] = std::move(*output);
      if (first_result) break;
    }
    current.erase(current.begin() + static_cast<ptrdiff_t>(kept), current.end());
  }
  return current;
}

}  // namespace tamsel::engine
