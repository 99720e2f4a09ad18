// A stream whose texts run on threads of the module's own
// (stream(threads=N)).
//
// The source is cut into pieces of about kPieceBytes at line breaks, and a
// worker finds and runs the texts of each piece as though the stream
// started there. Pieces are taken back in the stream's order. A piece is
// right when the piece before it ended exactly where it starts, between
// two texts, which a cut between lines always is in JSON Lines and, in
// other streams, is wherever no text runs over a line break. Where a text
// runs over a cut instead, a piece is run again from that text's start,
// taking in the pieces after it (twice as many each time the text runs on
// past them), and the pieces it took in are dropped. So the texts found,
// their places and every outcome are those of the stream run in one
// piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string_view>

#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/text_batch.h"
#include "binding/text_run.h"
#include "binding/text_source.h"
#include "binding/window_run.h"
#include "binding/worker_pool.h"

namespace tamsel::binding {

class ParallelStream {
 public:
  static constexpr size_t kPieceBytes = size_t{1} << 20;
  // TAMSEL_VONK_PIECE_BYTES, when a stream starts, sets another size: the
  // tests cut their small streams into many pieces with it.

  // Throws std::system_error when the threads cannot be started.
  ParallelStream(size_t threads, const ProgramObject& program, const ResultForm& form,
                 bool lines, bool stop_at_bad);
  ~ParallelStream();

  enum class Step {
    kBatch,  // the next piece's texts, places in the stream's terms
    kEnd,    // the stream has no more
    kFailed  // with a Python exception set
  };
  // Cuts and queues pieces of `source` (with the interpreter lock held),
  // then waits for the next piece in order. Its batch stays valid until
  // the next call.
  Step next(TextSource& source, const TextBatch** batch);

  bool usable() const { return pool_.usable(); }

 private:
  struct Piece;
  // Cuts the next piece off the source; false at its end or with a Python
  // exception set (`failed`).
  bool cut(TextSource& source, bool* failed);
  void queue(Piece& piece, bool urgent);
  // Queues the piece that runs again from the text at frontier_, which
  // `unfinished` left unfinished; none when no byte follows it because the
  // source failed (its error then comes next).
  void run_again(TextSource& source, const Piece& unfinished);
  // Lets go of the dropped pieces whose jobs are done.
  void reap();
  // Keeps the pending exception of a source that failed, to be raised once
  // the pieces before it are handed out.
  void keep_source_error(const TextSource& source);
  // Queues the first `at` bytes of the source's window as the next piece.
  void add_piece(const TextSource& source, size_t at, bool last);
  // Brings line_ to the line of the byte at `offset`, a place between texts.
  void count_lines_to(uint64_t offset);

  const ProgramObject& program_;
  const ResultForm& form_;
  const bool lines_;
  const bool stop_at_bad_;
  const size_t in_flight_;
  const size_t piece_bytes_;
  // Pieces that are queued, running or done, in the stream's order, and
  // the piece handed out last.
  std::deque<std::unique_ptr<Piece>> pieces_;
  std::unique_ptr<Piece> handed_;
  // Pieces no longer wanted whose jobs may still be running.
  std::deque<std::unique_ptr<Piece>> dropped_;
  bool source_done_ = false;
  struct {
    PyRef type, value, traceback;
  } source_error_;
  uint64_t cut_at_ = 0;  // where the next piece starts
  // Where the stream's texts are known to stand: the offset between two
  // texts up to which every piece has been taken, and the number and line
  // of the next text there.
  uint64_t frontier_ = 0;
  uint64_t texts_before_ = 0;
  // The line at lines_counted_to_, which may lag behind the frontier where
  // the source's bytes stay put (stable_start_, the stream's first byte).
  uint64_t line_ = 1;
  uint64_t lines_counted_to_ = 0;
  const char* stable_start_ = nullptr;
  // How many pieces the next run again takes in.
  size_t widen_ = 1;
  // Declared last, so that it stops and joins its threads first.
  WorkerPool pool_;
};

}  // namespace tamsel::binding
