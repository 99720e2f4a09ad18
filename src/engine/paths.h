// Path steps that select parts of a value: shared by the evaluator's path
// nodes and the builtins that walk values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "engine/eval_value.h"
#include "parser/filter.h"
#include "runtime/bounds.h"
#include "value/document_ref.h"
#include "value/view.h"

namespace tamsel::engine {

// The effective position of `index` in an array of `n` elements, if inside.
inline std::optional<size_t> array_position(int32_t index, size_t n) {
  int64_t count = static_cast<int64_t>(n);
  int64_t position = index >= 0 ? index : count + index;
  if (position < 0 || position >= count) return std::nullopt;
  return static_cast<size_t>(position);
}

// Whether `filter` is a field or an index: a step that takes one value to
// at most one, so that a run of them needs no list between its steps.
inline bool is_path_step(const query::Filter& filter) {
  return std::holds_alternative<query::Field>(filter.node) ||
         std::holds_alternative<query::Index>(filter.node);
}

// The part of `value` that the path step `step` selects, or nothing where
// the step does not apply. Inline: a path's every step comes here.
inline std::optional<View> path_step(const query::Field& step, View value) {
  if (value.kind() != Kind::Object) return std::nullopt;
  return value.member(step.name);
}

inline std::optional<View> path_step(const query::Index& step, View value) {
  if (value.kind() != Kind::Array) return std::nullopt;
  const std::optional<size_t> position = array_position(step.index, value.size());
  if (!position) return std::nullopt;
  return value.element(*position);
}

inline std::optional<View> path_step(const query::Filter& step, View value) {
  if (const auto* field = std::get_if<query::Field>(&step.node)) return path_step(*field, value);
  return path_step(std::get<query::Index>(step.node), value);
}

// The field step taken on the document's tape: `*at` moves to the member's
// value, or false where the step does not apply. A run of fields goes from
// place to place so, with no view made between: a view written and then
// copied is read back before the processor can serve it from its recent
// writes, which costs more than the step. Counts as work.
inline bool field_step_on_tape(const query::Field& step, DocumentRef* at) {
  runtime::note_work();
  return at->type() == simdjson::dom::element_type::OBJECT && document_member(*at, step.name, at);
}

// Appends v and every value nested in it, parents before children, all as
// references: into the document for its parts, to the caller's value for
// borrowed input, and shared for a value the query built (which the outputs
// then own together), so no level is ever copied.
void recursive_descent(EvalValue v, ResultList& out);

}  // namespace tamsel::engine
