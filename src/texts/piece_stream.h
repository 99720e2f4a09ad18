// A stream's texts run on threads of its own (stream(threads=N)).
//
// The caller's thread reads the source and cuts it into pieces of about
// piece_bytes, each exactly between two texts (cut_finder.h says where),
// and the workers find and run the texts of each piece as though the
// stream started there, up to 2N pieces at once. The pieces' outcomes are
// taken back in the stream's order, their places made the stream's. Since
// every cut lies between texts, no piece is ever run again, each byte of
// the source is run once, and memory holds the pieces in flight and the
// text being read, whatever the source's size.
//
// A source that may wait for its next bytes (a pipe whose writer has given
// what it has) is cut at the last place between texts read so far, so that
// every finished text is run and handed out before the next read waits.
//
// The elements of an array (StreamOptions::elements) are cut just before
// an element: every piece but the first starts after a comma between
// elements, and runs as though more came after it. The cut is first a
// likely one, a line that opens an object or array after a line that ends
// with a comma, confirmed when the piece before ends just after a comma;
// once one is not, or where no line starts an element, a splitter that
// frames the elements without parsing them (as the cut finder does for
// other texts) finds each cut. Where that splitter finds the array broken,
// the rest of what is read goes in one last piece, whose run reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "texts/cut_finder.h"
#include "texts/text_splitter.h"
#include "texts/text_stream.h"
#include "texts/window_run.h"
#include "texts/worker_pool.h"

namespace tamsel::texts {

class PieceStream final : public TextStream {
 public:
  PieceStream(std::shared_ptr<const Program> program, size_t threads,
              const StreamOptions& options, StreamSource source);
  ~PieceStream() override;

  Step next(Waiting& waiting, const TextResults** results, Stop* stop) override;
  const StreamWork& work() const override { return work_; }
  bool usable() const override { return pool_.usable(); }
  std::string_view broken() const override { return broken_; }

 private:
  struct Chunk;
  struct Piece;
  enum class Cut { kCut, kLater, kNone, kStopped };
  // A place to cut at, and whether it is only likely to lie between texts.
  struct Place {
    size_t at = 0;
    bool likely = false;
  };

  // Cuts the next piece off the source and queues it: kLater when what is
  // read holds no finished text and the source may wait (hand out first),
  // kNone at the source's end.
  Cut cut(Waiting& waiting);
  Cut cut_memory();
  Cut cut_read(Waiting& waiting);
  // The size a piece is cut at: smaller toward a source's known end, so
  // that the threads end together rather than one running a large piece
  // alone.
  size_t target_size() const;
  // Where to cut `region` about `target` bytes in: a certain place from
  // the cut finder, or while the stream speculates, a likely one.
  Place place_to_cut(std::string_view region, size_t target);
  // The last place between texts in `region`, by the cut finder, looked for
  // from `target` bytes on; 0 when none is there.
  size_t find_cut(std::string_view region, size_t target);
  // The same over all of `region`, which starts where every piece handed
  // out ended, by a finder of its own.
  size_t certain_cut(std::string_view region);
  // With elements: the start of the first element at or after `target` in
  // `region` (or the last one before it), as elements_ frames them; 0 when
  // there is none past the region's start yet.
  size_t element_cut(std::string_view region, size_t target);
  // After a piece that ended inside a text, where its likely cut was wrong:
  // drops the pieces after it and cuts again from `from` in it (that
  // text's start, or with elements the piece's own start), with the cut
  // finder for the rest of the stream. False when the wait for the
  // dropped pieces was stopped.
  bool cut_again(const Piece& unfinished, size_t from, Waiting& waiting);
  // With elements: frames them from the region's start on (elements_),
  // which is between two elements, rather than speculate.
  void frame_elements();
  // Queues the first `size` bytes of the region as a piece; `last` when it
  // ends the stream, `open_end` when its end is only likely between texts.
  void queue_region(size_t size, bool last, bool open_end);
  void queue(std::unique_ptr<Piece> piece);
  // The region's text has grown past any text's size: it ends the stream.
  void refuse_region();
  // Brings line_ to the line of `offset`, a place between texts, counting
  // in the source's memory.
  void count_lines_to(uint64_t offset);
  void note_held();

  const std::shared_ptr<const Program> program_;
  const StreamOptions options_;
  const StreamSource source_;
  const size_t in_flight_;
  // Pieces queued, running or done, in the stream's order, and the piece
  // handed out last.
  std::deque<std::unique_ptr<Piece>> pieces_;
  std::unique_ptr<Piece> handed_;

  // The region: the source's bytes from the last cut on, not yet in a
  // piece. In memory, a view; read, the end of a chunk of the stream's own,
  // which the pieces cut from it view too.
  std::string_view region() const;
  uint64_t region_offset_ = 0;  // in the stream
  std::shared_ptr<Chunk> chunk_;
  size_t region_begin_ = 0;  // in the chunk
  size_t region_size_ = 0;
  bool read_all_ = false;     // the reader met the end, or failed
  bool read_failed_ = false;  // reported once the pieces before it are handed out
  bool source_done_ = false;  // every piece is cut
  bool ended_ = false;        // a bad text ended the stream
  size_t reach_ = 0;          // how far to read for a text longer than a piece
  // Outside JSON Lines, pieces are cut at likely places between texts,
  // each confirmed when the piece before it ends there, until one is not;
  // from then on the cut finder follows every byte.
  bool speculating_;
  CutFinder finder_;
  // With elements: the splitter that frames them ahead of the pieces, the
  // offsets where it started and where its window starts, and whether it
  // found the array broken (then no cut follows: the rest is one piece).
  std::unique_ptr<TextSplitter> elements_;
  uint64_t elements_base_ = 0;
  uint64_t elements_window_ = 0;
  bool elements_broken_ = false;
  // Why the array of elements broke, once the piece that found it is handed
  // out, and whether the stream has said so.
  std::string broken_;
  bool broken_said_ = false;

  // Where the stream's texts stand at the pieces handed out: the number
  // of the next text, and the line at lines_counted_to_ (which lags behind
  // for memory, where lines are counted only when a bad text needs them).
  uint64_t texts_before_ = 0;
  uint64_t line_ = 1;
  uint64_t lines_counted_to_ = 0;

  StreamWork work_;
  // Declared last, so that it stops and joins its threads first.
  WorkerPool pool_;
};

}  // namespace tamsel::texts
