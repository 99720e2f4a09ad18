// Where a stream of texts may be cut between two texts, found ahead of the
// texts' runs, so that the pieces a stream's threads run each start and end
// exactly between texts and none is ever run again.
//
// With `lines`, every line break is such a place. Otherwise the framing
// rules of text_splitter.h decide, and every byte counts: the finder keeps,
// from one look to the next, whether it stands inside a string (and after a
// backslash there), how many brackets are open, and whether it is inside a
// token, and a place between texts is one where none of them holds. The
// common blocks of 64 bytes, deep inside a text, take a few vector
// instructions each; only blocks where a text may end are looked at byte by
// byte, or bracket by bracket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tamsel::texts {

namespace detail {
// Where the framing stands after the bytes looked at.
struct FramingState {
  uint64_t depth = 0;      // brackets open
  bool in_string = false;
  bool escaped = false;    // inside a string, the next byte is escaped
  bool in_token = false;   // inside a text that is neither container nor string
  size_t last = 0;         // the last place between texts, in the region
};
}  // namespace detail

class CutFinder {
 public:
  // `at_stream_start`: the first bytes looked at start the stream, so a
  // byte order mark there is passed over.
  explicit CutFinder(bool lines, bool at_stream_start = true)
      : lines_(lines), bom_pending_(at_stream_start) {}

  // Looks at the bytes of `region` after those looked at already: the
  // region starts where the finder started, or where it was last cut, and
  // only grows at its end.
  void look(std::string_view region);
  // The last place between texts in the region looked at; 0 (its start)
  // when there is none past it yet.
  size_t last_cut() const { return state_.last; }
  // The region now starts at `at`, a place last_cut() gave or the start.
  void cut(size_t at);

  // Bytes looked at, in all.
  uint64_t looked_at() const { return looked_; }

 private:
  bool lines_;
  bool bom_pending_;
  size_t scanned_ = 0;  // in the region
  uint64_t looked_ = 0;
  detail::FramingState state_;
};

}  // namespace tamsel::texts
