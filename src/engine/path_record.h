// Programs whose results the runs can make without the evaluator: a path
// alone (.actor.login), and a last stage that builds one object from paths
// of its input and nothing more ({id: .id, type: .type, who: .actor.login},
// the usual projection of a record, alone or after an iteration or a
// select), and a last stage of to_entries. Their results hold only parts
// of their input, so a run takes them straight from those parts, with none
// of the evaluator's values, lists and maps between.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parser/filter.h"
#include "value/view.h"

namespace tamsel::engine {

// Fields and indexes in turn.
class Path {
 public:
  // The path `pipeline` is when each of its stages is a field, an index or
  // the identity; nothing otherwise. The path keeps a copy of its steps.
  static std::optional<Path> of(const query::Pipeline& pipeline);

  // The part of `input` the path leads to, or nothing where a step does not
  // apply, as the evaluator gives. Each step counts as work.
  std::optional<View> follow(const View& input) const;

 private:
  friend class PathRecord;
  // The same, the part handed to `found` as the place on the document's
  // tape it is at (a DocumentRef) or as a View, so that the caller makes
  // its View where it keeps it: false, with no call, where a step does not
  // apply.
  template <class Found>
  bool reach(const View& input, Found&& found) const;

  std::vector<std::variant<query::Field, query::Index>> steps_;
};

class PathRecord {
 public:
  // More members than this are left to the evaluator.
  static constexpr size_t kMaxMembers = 16;

  // Room for the values of a record's members, each unset until follow()
  // sets it: a call that makes one small object should not clear room for
  // the most.
  class Values {
   public:
    Values() {}
    const View* data() const { return views_; }
    // Makes the member's View in its room from a View or a DocumentRef,
    // not copied in (field_step_on_tape, engine/paths.h, says why).
    template <class Part>
    void set(size_t member, const Part& part) {
      new (&views_[member]) View(part);
    }

   private:
    union {
      View views_[kMaxMembers];
    };
  };

  // The record of `pipeline`'s last stage: one object construction whose
  // members are paths, under keys that differ. Nothing for any other
  // program.
  static std::optional<PathRecord> of(const query::Pipeline& pipeline);

  size_t size() const { return members_.size(); }
  std::string_view key(size_t member) const { return members_[member].key; }

  // The values of the members on `input`, in order, into `values`: false,
  // with no result, where a path leads nowhere, as the construction gives
  // none then. Throws InternalFault where a value is too deep for an object
  // to hold.
  bool follow(const View& input, Values& values) const;

 private:
  struct Member {
    std::string key;
    Path path;
  };

  std::vector<Member> members_;
};

// Whether the last stage of `pipeline` is to_entries: an object's members,
// each as {"key": its key, "value": its value}, in an array of their own,
// which a run can make from the object as it stands. Any other input gives
// nothing.
bool ends_in_entries(const query::Pipeline& pipeline);

}  // namespace tamsel::engine
