// A program whose last stage builds one object from paths of its input and
// nothing more ({id: .id, type: .type, who: .actor.login}, the usual
// projection of a record, alone or after an iteration or a select). That
// object holds only parts of the stage's input, so a sink that can make an
// object from its members takes each straight from those parts, with none
// of the evaluator's values and maps between.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/filter.h"
#include "value/view.h"

namespace tamsel::engine {

class PathRecord {
 public:
  // More members than this are left to the evaluator: follow() fills a
  // caller's array of this size.
  static constexpr size_t kMaxMembers = 16;

  // The record of `pipeline`'s last stage: one object construction whose
  // members each follow fields and indexes (or are the input itself),
  // under keys that differ. Nothing
  // for any other program. The record keeps a copy of what it needs.
  static std::optional<PathRecord> of(const query::Pipeline& pipeline);

  size_t size() const { return members_.size(); }
  std::string_view key(size_t member) const { return members_[member].key; }

  // The values of the members on `input`, in order, into `values`: false,
  // with no result, where a path leads nowhere, as the construction gives
  // none then. Each step counts as work; throws InternalFault where a value
  // is too deep for an object to hold.
  bool follow(View input, View (&values)[kMaxMembers]) const;

 private:
  struct Member {
    std::string key;
    std::vector<std::variant<query::Field, query::Index>> path;
  };

  std::vector<Member> members_;
};

}  // namespace tamsel::engine
