#include "engine/path_record.h"

#include <utility>
#include <variant>

#include "engine/paths.h"
#include "runtime/bounds.h"
#include "value/depth.h"

namespace tamsel::engine {

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
    Member member{entry.key, {}};
    for (const query::Filter& step : entry.value) {
      if (const auto* field = std::get_if<query::Field>(&step.node)) {
        member.path.emplace_back(*field);
      } else if (const auto* index = std::get_if<query::Index>(&step.node)) {
        member.path.emplace_back(*index);
      } else if (!std::holds_alternative<query::Identity>(step.node)) {
        return std::nullopt;
      }
    }
    record.members_.push_back(std::move(member));
  }
  return record;
}

bool PathRecord::follow(View input, View (&values)[kMaxMembers]) const {
  for (size_t i = 0; i < size(); ++i) {
    View part = input;
    for (const auto& step : members_[i].path) {
      runtime::note_work();
      const std::optional<View> next =
          std::visit([&](const auto& each) { return path_step(each, part); }, step);
      if (!next) return false;
      part = *next;
    }
    ensure_room_to_wrap(part);
    values[i] = part;
  }
  return true;
}

}  // namespace tamsel::engine
