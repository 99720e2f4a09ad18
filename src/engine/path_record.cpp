#include "engine/path_record.h"

#include <utility>

#include "engine/paths.h"
#include "runtime/bounds.h"
#include "value/depth.h"
#include "value/document_ref.h"

namespace tamsel::engine {

std::optional<Path> Path::of(const query::Pipeline& pipeline) {
  Path path;
  for (const query::Filter& step : pipeline) {
    if (const auto* field = std::get_if<query::Field>(&step.node)) {
      path.steps_.emplace_back(*field);
    } else if (const auto* index = std::get_if<query::Index>(&step.node)) {
      path.steps_.emplace_back(*index);
    } else if (!std::holds_alternative<query::Identity>(step.node)) {
      return std::nullopt;
    }
  }
  return path;
}

std::optional<View> Path::follow(View input) const {
  auto step = steps_.begin();
  if (input.in_document()) {
    // Fields in the document go from place to place on its tape: a View
    // made at each step and copied on cost more than finding the key.
    DocumentRef at = input.document_ref();
    for (; step != steps_.end(); ++step) {
      const auto* field = std::get_if<query::Field>(&*step);
      if (!field) break;
      runtime::note_work();
      if (at.type() != simdjson::dom::element_type::OBJECT ||
          document_object(at).at_key(field->name).get(at) != simdjson::SUCCESS)
        return std::nullopt;
    }
    // Made in place, for the reason View::member gives.
    if (step == steps_.end()) return std::optional<View>(std::in_place, at);
    input = View(at);
  }
  for (; step != steps_.end(); ++step) {
    runtime::note_work();
    const std::optional<View> next =
        std::visit([&](const auto& each) { return path_step(each, input); }, *step);
    if (!next) return std::nullopt;
    input = *next;
  }
  return input;
}

std::optional<PathRecord> PathRecord::of(const query::Pipeline& pipeline) {
  if (pipeline.empty()) return std::nullopt;
  const auto* construct = std::get_if<query::ObjectConstruct>(&pipeline.back().node);
  if (!construct || construct->entries.size() > kMaxMembers) return std::nullopt;
  PathRecord record;
  for (const query::ObjectEntry& entry : construct->entries) {
    // A repeated key is left to the evaluator: the later value replaces
    // the earlier, at the earlier's place.
    for (const Member& earlier : record.members_)
      if (earlier.key == entry.key) return std::nullopt;
    std::optional<Path> path = Path::of(entry.value);
    if (!path) return std::nullopt;
    record.members_.push_back(Member{entry.key, std::move(*path)});
  }
  return record;
}

bool PathRecord::follow(View input, Values& values) const {
  for (size_t i = 0; i < size(); ++i) {
    const std::optional<View> part = members_[i].path.follow(input);
    if (!part) return false;
    ensure_room_to_wrap(*part);
    values.set(i, *part);
  }
  return true;
}

bool ends_in_entries(const query::Pipeline& pipeline) {
  if (pipeline.empty()) return false;
  const auto* builtin = std::get_if<query::Builtin>(&pipeline.back().node);
  return builtin && builtin->kind == query::BuiltinKind::ToEntries;
}

}  // namespace tamsel::engine
