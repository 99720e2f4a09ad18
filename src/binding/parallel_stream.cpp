#include "binding/parallel_stream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "binding/errors.h"
#include "value/fault.h"
#include "value/text_splitter.h"

namespace tamsel::binding {
namespace {

// Bytes a parser may read past a piece of our own, as past a source's.
constexpr size_t kPadding = TextSource::kPadding;
// Pieces shrink no further at the end of a source: below this, handing a
// piece over costs about as much as running it.
constexpr size_t kSmallestTailPiece = size_t{64} << 10;

size_t piece_bytes() {
  const char* value = std::getenv("TAMSEL_VONK_PIECE_BYTES");
  const unsigned long long bytes = value ? std::strtoull(value, nullptr, 10) : 0;
  return bytes > 0 ? static_cast<size_t>(bytes) : ParallelStream::kPieceBytes;
}

// Where to cut `window` after at least `least` bytes: just after a line
// break, and outside JSON Lines preferably one that a line opening an array
// or object follows, as a text laid out over many lines starts, or failing
// any break soon, after a space; npos when the window has neither there.
size_t find_cut(std::string_view window, size_t least, bool lines) {
  if (least == 0 || window.size() < least) return std::string_view::npos;
  const size_t from = least - 1;
  size_t first = window.find('\n', from);
  if (lines) return first == std::string_view::npos ? first : first + 1;
  if (first == std::string_view::npos || first - from > least) {
    // Texts on one long line, separated by spaces.
    const size_t space = window.find(' ', from);
    if (space != std::string_view::npos && space < first) return space + 1;
  }
  if (first == std::string_view::npos) return first;
  // Looked for within a little more than a piece, then the first break.
  const size_t look_until = std::min(window.size() - 1, from + least / 4);
  for (size_t at = first; at != std::string_view::npos && at < look_until;
       at = window.find('\n', at + 1)) {
    if (window[at + 1] == '{' || window[at + 1] == '[') return at + 1;
  }
  return first + 1;
}

}  // namespace

struct ParallelStream::Piece {
  std::unique_ptr<char[]> owned;  // a copy, unless the source's bytes stay put
  std::string_view bytes;
  bool padded = false;
  uint64_t offset = 0;  // in the stream
  bool last = false;    // the stream ends with it
  WorkerPool::Slot* slot = nullptr;
  // What the worker made: the texts' outcomes, how it stopped, where the
  // framing stood then, and the texts and lines it had passed.
  TextBatch batch;
  WindowStep step = WindowStep::kStopped;
  size_t passed = 0;
  uint64_t texts = 0;
  // Whether the worker counts the lines before `passed`: for a piece whose
  // bytes may be gone when a later piece needs its line numbers.
  bool count_lines = true;
  uint64_t line_breaks = 0;
};

ParallelStream::ParallelStream(size_t threads, const ProgramObject& program,
                               const ResultForm& form, bool lines, bool stop_at_bad)
    : program_(program),
      form_(form),
      lines_(lines),
      stop_at_bad_(stop_at_bad),
      in_flight_(2 * threads),
      piece_bytes_(piece_bytes()),
      pool_(threads) {}

ParallelStream::~ParallelStream() = default;

void ParallelStream::queue(Piece& piece, bool urgent) {
  piece.slot = pool_.submit(
      [this, &piece](WorkerPool::Worker& worker) {
        worker.stretch.forget();
        StreamFraming framing(lines_, worker.stretch, piece.offset == 0);
        framing.splitter.set_window(piece.bytes, piece.last);
        const WindowRun run{program_, form_, stop_at_bad_, SIZE_MAX, WorkerPool::stopping};
        piece.step = run_window(run, framing, piece.bytes, piece.padded, worker.parser,
                                worker.call, piece.batch);
        piece.passed = framing.splitter.passed();
        piece.texts = framing.splitter.taken();
        if (piece.count_lines)
          piece.line_breaks = count_line_breaks(piece.bytes.data(), piece.passed);
      },
      urgent);
}

bool ParallelStream::cut(TextSource& source, bool* failed) {
  bool short_read = false;
  for (;;) {
    const std::string_view window = source.window();
    if (window.empty() && source.at_end()) {
      source_done_ = true;
      return false;
    }
    // A source that gives what it has (a pipe) is cut at any line break.
    // Toward the end of a source, pieces shrink, so that the threads end
    // together rather than one running the last large piece alone.
    size_t size = piece_bytes_;
    if (source.at_end())
      size = std::min(size, std::max(kSmallestTailPiece, window.size() / in_flight_));
    size_t at = find_cut(window, short_read ? 1 : size, lines_);
    if (at == std::string_view::npos) {
      if (source.at_end()) {
        at = window.size();
      } else {
        if (!source.read_more(0, &short_read)) {
          *failed = true;
          return false;
        }
        continue;
      }
    }
    add_piece(source, at, source.at_end() && at == window.size());
    if (!source.read_more(at, &short_read)) {
      *failed = true;
      return false;
    }
    return true;
  }
}

void ParallelStream::add_piece(const TextSource& source, size_t at, bool last) {
  const std::string_view window = source.window();
  auto piece = std::make_unique<Piece>();
  piece->offset = cut_at_;
  piece->last = last;
  if (source.stable()) {
    // Its bytes stay where they are: lines are counted only when a bad
    // text needs them.
    stable_start_ = window.data() - cut_at_;
    piece->count_lines = false;
    piece->bytes = window.substr(0, at);
    piece->padded = window.size() - at >= kPadding || source.padded();
  } else {
    piece->owned.reset(new char[at + kPadding]);
    std::memcpy(piece->owned.get(), window.data(), at);
    std::memset(piece->owned.get() + at, 0, kPadding);
    piece->bytes = std::string_view(piece->owned.get(), at);
    piece->padded = true;
  }
  pieces_.push_back(std::move(piece));
  try {
    queue(*pieces_.back(), false);
  } catch (...) {
    pieces_.pop_back();
    throw;
  }
  cut_at_ += at;
  if (last) source_done_ = true;
}

void ParallelStream::run_again(TextSource& source, const Piece& unfinished) {
  while (pieces_.size() < widen_ && !source_done_) {
    bool failed = false;
    if (!cut(source, &failed) && failed) keep_source_error(source);
  }
  // After a failed read no more bytes come: the text takes in all there are.
  if (source_error_.type) widen_ = std::max(widen_, pieces_.size());
  const size_t taken_in = std::min(widen_, pieces_.size());
  if (taken_in == 0) {
    if (source_error_.type) return;
    // A piece that ends the stream finishes every text it starts.
    throw InternalFault("a stream's pieces are out of step");
  }
  const std::string_view tail = unfinished.bytes.substr(unfinished.passed);
  size_t size = tail.size();
  for (size_t i = 0; i < taken_in; ++i) size += pieces_[i]->bytes.size();
  auto piece = std::make_unique<Piece>();
  piece->owned.reset(new char[size + kPadding]);
  char* out = piece->owned.get();
  std::memcpy(out, tail.data(), tail.size());
  out += tail.size();
  for (size_t i = 0; i < taken_in; ++i) {
    std::memcpy(out, pieces_[i]->bytes.data(), pieces_[i]->bytes.size());
    out += pieces_[i]->bytes.size();
  }
  std::memset(out, 0, kPadding);
  piece->bytes = std::string_view(piece->owned.get(), size);
  piece->padded = true;
  piece->offset = frontier_;
  piece->last = pieces_[taken_in - 1]->last;
  for (size_t i = 0; i < taken_in; ++i) {
    dropped_.push_back(std::move(pieces_.front()));
    pieces_.pop_front();
  }
  pieces_.push_front(std::move(piece));
  try {
    queue(*pieces_.front(), true);
  } catch (...) {
    pieces_.pop_front();
    throw;
  }
  widen_ *= 2;
}

void ParallelStream::count_lines_to(uint64_t offset) {
  if (lines_counted_to_ >= offset) return;
  // Only pieces of a source whose bytes stay put leave lines uncounted.
  if (!stable_start_) throw InternalFault("a stream's lines are out of step");
  line_ += count_line_breaks(stable_start_ + lines_counted_to_, offset - lines_counted_to_);
  lines_counted_to_ = offset;
}

void ParallelStream::keep_source_error(const TextSource& source) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  source_error_ = {PyRef(type), PyRef(value), PyRef(traceback)};
  source_done_ = true;
  // The texts the bytes read so far hold run all the same: the source
  // does not end with them, so a text they leave unfinished does not.
  if (!source.window().empty()) add_piece(source, source.window().size(), false);
}

void ParallelStream::reap() {
  while (!dropped_.empty() && pool_.done(dropped_.front()->slot)) {
    pool_.release(dropped_.front()->slot);
    dropped_.pop_front();
  }
}

ParallelStream::Step ParallelStream::next(TextSource& source, const TextBatch** batch) {
  handed_.reset();
  reap();
  while (!source_done_ && pieces_.size() < in_flight_) {
    bool failed = false;
    if (!cut(source, &failed)) {
      // The pieces cut before are handed out first, as one thread would.
      if (failed) keep_source_error(source);
      break;
    }
  }
  if (pieces_.empty()) {
    if (!source_error_.type) return Step::kEnd;
    PyErr_Restore(source_error_.type.release(), source_error_.value.release(),
                  source_error_.traceback.release());
    return Step::kFailed;
  }
  if (!pool_.wait(pieces_.front()->slot)) return Step::kFailed;
  std::unique_ptr<Piece> piece = std::move(pieces_.front());
  pieces_.pop_front();
  pool_.release(piece->slot);
  piece->slot = nullptr;
  if (piece->step == WindowStep::kStopped) {
    raise_failure(piece->batch.stop, "");
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return Step::kFailed;
  }
  // The piece's places, counted from its start, in the stream's terms.
  bool any_bad = false;
  for (TextRecord& record : piece->batch.texts) {
    record.index += texts_before_;
    record.offset += piece->offset;
    any_bad |= record.kind != TextRecord::Kind::kRan;
  }
  if (any_bad) {
    count_lines_to(piece->offset);
    for (TextRecord& record : piece->batch.texts) {
      if (record.kind != TextRecord::Kind::kRan) record.line += line_ - 1;
    }
  }
  if (piece->step == WindowStep::kBadText) {
    // The stream ends with this text: nothing after it is wanted.
    source_done_ = true;
    while (!pieces_.empty()) {
      dropped_.push_back(std::move(pieces_.front()));
      pieces_.pop_front();
    }
  } else {
    // A text left unfinished at the piece's end; the last piece finishes all.
    const bool unfinished =
        piece->step == WindowStep::kNeedMore && piece->passed < piece->bytes.size();
    const size_t through = unfinished ? piece->passed : piece->bytes.size();
    texts_before_ += piece->texts;
    if (piece->count_lines) {
      count_lines_to(piece->offset);
      line_ += piece->line_breaks;
      lines_counted_to_ = piece->offset + through;
    }
    frontier_ = piece->offset + through;
    if (unfinished) {
      run_again(source, *piece);
    } else {
      widen_ = 1;
    }
  }
  handed_ = std::move(piece);
  *batch = &handed_->batch;
  return Step::kBatch;
}

}  // namespace tamsel::binding
