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

namespace {

using Steps = std::vector<std::variant<query::Field, query::Index>>;

// The steps from `step` on, taken in views.
std::optional<View> follow_views(Steps::const_iterator step, Steps::const_iterator end,
                                 View input) {
  for (; step != end; ++step) {
    runtime::note_work();
    const std::optional<View> next =
        std::visit([&](const auto& each) { return path_step(each, input); }, *step);
    if (!next) return std::nullopt;
    input = *next;
  }
  return input;
}

}  // namespace

// The input comes by reference, and the result is handed on as the tape
// place it is at, for the reason field_step_on_tape gives.
template <class Found>
bool Path::reach(const View& input, Found&& found) const {
  auto views_from = [&](Steps::const_iterator step, const View& from) {
    const std::optional<View> part = follow_views(step, steps_.end(), from);
    if (!part) return false;
    found(*part);
    return true;
  };
  if (!input.in_document()) return views_from(steps_.begin(), input);
  DocumentRef at = input.document_ref();
  for (auto step = steps_.begin(); step != steps_.end(); ++step) {
    const auto* field = std::get_if<query::Field>(&*step);
    if (!field) return views_from(step, View(at));
    if (!field_step_on_tape(*field, &at)) return false;
  }
  found(at);
  return true;
}

std::optional<View> Path::follow(const View& input) const {
  std::optional<View> part;
  reach(input, [&](const auto& found) { part.emplace(found); });
  return part;
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

bool PathRecord::follow(const View& input, Values& values) const {
  size_t i = 0;
  for (const Member& member : members_) {
    if (!member.path.reach(input, [&](const auto& part) { values.set(i, part); })) return false;
    ensure_room_to_wrap(values.data()[i++]);
  }
  return true;
}

bool ends_in_entries(const query::Pipeline& pipeline) {
  if (pipeline.empty()) return false;
  const auto* builtin = std::get_if<query::Builtin>(&pipeline.back().node);
  return builtin && builtin->kind == query::BuiltinKind::ToEntries;
}

}  // namespace tamsel::engine
