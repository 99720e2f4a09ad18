#include "texts/piece_stream.h"

#include <algorithm>
#include <cstring>

#include "tamsel_limits.h"
#include "texts/window.h"
#include "texts/text_splitter.h"

namespace tamsel::texts {
namespace {

constexpr size_t kPadding = Window::kPadding;
// Pieces shrink no further at the end of a source: below this, handing a
// piece over costs about as much as running it.
constexpr size_t kSmallestTailPiece = size_t{64} << 10;
// A read asks for at least this much room.
constexpr size_t kLeastRead = size_t{64} << 10;

}  // namespace

struct PieceStream::Chunk {
  explicit Chunk(size_t capacity) : bytes(new char[capacity + kPadding]), capacity(capacity) {}
  std::unique_ptr<char[]> bytes;
  size_t capacity;
};

struct PieceStream::Piece {
  std::shared_ptr<Chunk> chunk;  // where its bytes were read; none for the source's memory
  std::string_view bytes;
  bool padded = false;
  uint64_t offset = 0;  // in the stream
  bool last = false;    // the stream ends with it
  // Whether its end is only likely to lie between texts: it then runs as
  // though more came after it, and its last text may be left unfinished,
  // which the piece after it cannot then have started right.
  bool open_end = false;
  bool at_failure = false;  // the source failed after it: nothing comes after it
  // The size of a text longer than any text may be, which stands in the
  // piece's place and ends the stream.
  uint64_t refused = 0;
  WorkerPool::Slot* slot = nullptr;
  // What the worker made: the texts' outcomes, how the run ended, the texts
  // it took, and for a read piece its line breaks (its bytes are gone when a
  // later piece needs its lines counted).
  TextResults results;
  WindowStep step = WindowStep::kEnd;
  uint64_t texts = 0;
  size_t passed = 0;  // where its last finished text ends
  bool count_lines = false;
  uint64_t line_breaks = 0;
  std::string broken;  // why the array of elements broke in it
  // With elements: whether its run ended just after a comma between two.
  bool expects_element = false;
};

PieceStream::PieceStream(std::shared_ptr<const Program> program, size_t threads,
                         const StreamOptions& options, StreamSource source)
    : program_(std::move(program)),
      options_(options),
      source_(source),
      in_flight_(2 * threads),
      speculating_(!options.lines),
      finder_(options.lines, true),
      pool_(threads) {}

void PieceStream::frame_elements() {
  speculating_ = false;
  elements_ = std::make_unique<TextSplitter>(false, region_offset_ == 0, &*options_.elements);
  elements_->frame_only();
  elements_window_ = elements_base_ = region_offset_;
  elements_broken_ = false;
}

PieceStream::~PieceStream() = default;

std::string_view PieceStream::region() const {
  if (!chunk_) return std::string_view();
  return std::string_view(chunk_->bytes.get() + region_begin_, region_size_);
}

size_t PieceStream::target_size() const {
  size_t size = std::max<size_t>(options_.piece_bytes, 1);
  uint64_t left = 0;
  if (!source_.reader) {
    left = source_.memory.size() - region_offset_;
  } else if (read_all_) {
    left = region_size_;
  } else if (const uint64_t total = source_.reader->size_hint(); total > region_offset_) {
    left = total - region_offset_;
  }
  if (left > 0) size = std::min<size_t>(size, std::max<uint64_t>(kSmallestTailPiece, left / in_flight_));
  return size;
}

namespace {

// A likely place between texts: the start of a line that opens an array or
// an object, where a stream of texts one a line, or laid out over several
// lines from a column of their own, has one text end and the next begin.
// The last such place at or before `target`, or failing any the first after
// it; 0 when there is none.
size_t likely_cut(std::string_view region, size_t target, bool elements) {
  if (region.size() < 2) return 0;
  // Between elements, the line before ends with the comma after one.
  auto after_comma = [&](size_t p) {
    size_t at = p - 1;  // the line break
    while (at > 0 && (region[at - 1] == '\r' || region[at - 1] == ' ' || region[at - 1] == '\t')) --at;
    return at > 0 && region[at - 1] == ',';
  };
  auto opens = [&](size_t p) {
    return (region[p] == '{' || region[p] == '[') && (!elements || after_comma(p));
  };
  const char* const data = region.data();
  for (size_t limit = std::min(target, region.size() - 1); limit > 0;) {
    const void* found = memrchr(data, '\n', limit);
    if (!found) break;
    const size_t at = static_cast<size_t>(static_cast<const char*>(found) - data) + 1;
    if (opens(at)) return at;
    limit = at - 1;
  }
  for (size_t from = std::min(target, region.size());;) {
    const void* found = std::memchr(data + from, '\n', region.size() - from);
    if (!found) return 0;
    const size_t at = static_cast<size_t>(static_cast<const char*>(found) - data) + 1;
    if (at < region.size() && opens(at)) return at;
    from = at;
  }
}

}  // namespace

PieceStream::Place PieceStream::place_to_cut(std::string_view region, size_t target) {
  if (!speculating_) {
    return {options_.elements ? element_cut(region, target) : find_cut(region, target), false};
  }
  return {likely_cut(region, target, options_.elements.has_value()), true};
}

size_t PieceStream::certain_cut(std::string_view region) {
  if (options_.elements) {
    frame_elements();
    return element_cut(region, region.size());
  }
  // The region starts where every piece before it ended, between texts.
  CutFinder finder(options_.lines, region_offset_ == 0);
  finder.look(region);
  return finder.last_cut();
}

size_t PieceStream::element_cut(std::string_view region, size_t target) {
  if (elements_broken_) return region.size();
  // The splitter's window: the region from where it stands on.
  const size_t from = static_cast<size_t>(elements_window_ + elements_->passed() - region_offset_);
  elements_window_ += elements_->passed();
  const bool at_end = !source_.reader || (read_all_ && !read_failed_);
  elements_->set_window(region.substr(from), at_end);
  size_t cut = 0;
  for (;;) {
    TextSplitter::Text text;
    const TextSplitter::Step step = elements_->next(&text);
    if (step == TextSplitter::Step::kBroken) {
      // The piece that runs the rest says why.
      elements_broken_ = true;
      return region.size();
    }
    if (step != TextSplitter::Step::kText) return cut;
    // The splitter counts offsets from where it started.
    const uint64_t offset = elements_base_ + text.offset;
    if (!text.member && text.index > 0 && offset > region_offset_) {
      cut = static_cast<size_t>(offset - region_offset_);
      // Left untaken: the next look starts with it.
      if (cut >= target) return cut;
    }
    elements_->take();
  }
}

size_t PieceStream::find_cut(std::string_view region, size_t target) {
  // Looked at up to the size wanted, then on until a place between texts
  // shows (a text longer than a piece).
  for (size_t shown = std::min(target, region.size());; shown = std::min(region.size(), 2 * shown)) {
    finder_.look(region.substr(0, shown));
    if (finder_.last_cut() > 0 || shown == region.size()) return finder_.last_cut();
  }
}

void PieceStream::note_held() {
  // The chunks the region and the pieces in flight lie in: pieces cut in
  // order share a chunk only with their neighbours.
  uint64_t held = chunk_ ? chunk_->capacity : 0;
  const Chunk* counted = chunk_.get();
  for (const auto& piece : pieces_) {
    if (piece->chunk && piece->chunk.get() != counted) {
      held += piece->chunk->capacity;
      counted = piece->chunk.get();
    }
  }
  work_.most_held = std::max(work_.most_held, held);
}

void PieceStream::queue(std::unique_ptr<Piece> piece) {
  Piece& p = *piece;
  pieces_.push_back(std::move(piece));
  work_.pieces += 1;
  if (p.refused) return;
  try {
    p.slot = pool_.submit([this, &p](WorkerPool::Worker& worker) {
      worker.stretch.forget();
      const ElementPath* elements = options_.elements ? &*options_.elements : nullptr;
      StreamFraming framing(options_.lines, worker.stretch, p.offset == 0, elements);
      if (!p.last) framing.splitter.no_rest_guess();
      // A piece of elements ends just before one, after a comma: the array
      // goes on after it.
      framing.splitter.set_window(p.bytes, elements ? p.last : !p.open_end);
      const WindowRun run{{*program_, options_.form, WorkerPool::stopping, options_.origin},
                          options_.stop_at_bad, SIZE_MAX};
      p.step = run_window(run, framing, p.bytes, p.padded, worker.parser, worker.call, p.results);
      p.texts = framing.splitter.taken();
      p.expects_element = framing.splitter.expects_element();
      if (p.step == WindowStep::kBroken) p.broken = framing.splitter.broken(p.offset);
      p.passed = p.step == WindowStep::kNeedMore ? framing.splitter.passed() : p.bytes.size();
      if (p.count_lines) p.line_breaks = count_line_breaks(p.bytes.data(), p.passed);
    });
  } catch (...) {
    pieces_.pop_back();
    throw;
  }
}

void PieceStream::queue_region(size_t size, bool last, bool open_end) {
  // Past an array found broken nothing is cut: the piece that holds where
  // it broke is the last.
  if (elements_broken_) last = true;
  auto piece = std::make_unique<Piece>();
  piece->offset = region_offset_;
  piece->last = last;
  piece->open_end = open_end;
  piece->at_failure = read_failed_ && size == region_size_;
  if (!source_.reader) {
    const std::string_view memory = source_.memory;
    piece->bytes = memory.substr(region_offset_, size);
    piece->padded = memory.size() - (region_offset_ + size) >= kPadding || source_.padded;
  } else {
    // A view of the chunk, which the region goes on in.
    piece->chunk = chunk_;
    piece->bytes = std::string_view(chunk_->bytes.get() + region_begin_, size);
    piece->padded = true;
    piece->count_lines = true;
    region_begin_ += size;
    region_size_ -= size;
  }
  region_offset_ += size;
  if (!speculating_ && !options_.elements) finder_.cut(std::min(size, finder_.last_cut()));
  reach_ = 0;
  if (last) source_done_ = true;
  note_held();
  queue(std::move(piece));
}

void PieceStream::refuse_region() {
  auto piece = std::make_unique<Piece>();
  piece->offset = region_offset_;
  piece->refused = region_size_;
  piece->last = true;
  chunk_.reset();
  region_begin_ = region_size_ = 0;
  source_done_ = true;
  queue(std::move(piece));
}

PieceStream::Cut PieceStream::cut_memory() {
  const std::string_view memory = source_.memory;
  if (region_offset_ >= memory.size()) {
    // An empty source holds no array, which a piece's run says.
    if (options_.elements && work_.pieces == 0) {
      queue_region(0, true, false);
      return Cut::kCut;
    }
    source_done_ = true;
    return Cut::kNone;
  }
  const std::string_view region = memory.substr(region_offset_);
  const size_t target = target_size();
  Place place = region.size() <= target ? Place{} : place_to_cut(region, target);
  if (place.at == 0 && region.size() > target && speculating_ && options_.elements) {
    // No line here starts an element: the elements are framed from here,
    // once every piece before is handed out, where the region is known to
    // start between two of them.
    if (!pieces_.empty()) return Cut::kLater;
    frame_elements();
    place = place_to_cut(region, target);
  }
  if (place.at > 0) {
    queue_region(place.at, false, place.likely);
  } else {
    queue_region(region.size(), true, false);  // the rest of the stream
  }
  return Cut::kCut;
}

PieceStream::Cut PieceStream::cut_read(Waiting& waiting) {
  Reader& reader = *source_.reader;
  for (;;) {
    const size_t piece = target_size();
    // A text longer than a piece is read on to its end.
    const size_t target = std::max(piece, reach_);
    bool flush = false;
    if (!read_all_ && region_size_ < target) {
      if (reader.may_wait()) {
        // What is read may finish texts: those are cut off now, and handed
        // out before a read waits.
        if (!pieces_.empty()) {
          if (const Place place = place_to_cut(region(), region_size_); place.at > 0) {
            queue_region(place.at, false, place.likely);
            return Cut::kCut;
          }
          return Cut::kLater;
        }
        // Every piece before is handed out: the region is known to start
        // between texts, and the cut finder tells where the last one ends.
        if (speculating_ && region_size_ > 0) {
          if (const size_t at = certain_cut(region()); at > 0) {
            queue_region(at, false, false);
            return Cut::kCut;
          }
        }
      }
      const size_t needed = std::max(target, region_size_) + kLeastRead;
      const size_t room = chunk_ ? chunk_->capacity - region_begin_ - region_size_ : 0;
      if (room < kLeastRead && region_size_ > 0) {
        // The chunk is full: the texts it finishes are cut off first, so
        // that only the text they leave unfinished moves.
        if (const Place place = place_to_cut(region(), region_size_); place.at > 0) {
          queue_region(place.at, false, place.likely);
          return Cut::kCut;
        }
      }
      if (room < kLeastRead || !chunk_ || chunk_->capacity < needed) {
        // A chunk of its own for the rest of the region and what is read
        // next: what the pieces cut so far view stays where it is.
        const size_t least = chunk_ ? chunk_->capacity : 0;
        auto fresh = std::make_shared<Chunk>(
            std::max(needed, reach_ > 0 ? 2 * least : least));
        if (region_size_) std::memcpy(fresh->bytes.get(), region().data(), region_size_);
        work_.copied += region_size_;
        chunk_ = std::move(fresh);
        region_begin_ = 0;
        note_held();
      }
      const size_t want =
          std::min(reader.read_size(), chunk_->capacity - region_begin_ - region_size_);
      size_t got = 0;
      switch (reader.read(chunk_->bytes.get() + region_begin_ + region_size_, want, &got,
                          waiting)) {
        case Reader::Read::kStopped: return Cut::kStopped;
        case Reader::Read::kFailed:
          read_failed_ = true;
          read_all_ = true;
          break;
        case Reader::Read::kOk:
          region_size_ += got;
          work_.read += got;
          if (got == 0 || (reader.regular() && got < want)) read_all_ = true;
          break;
      }
      // A source that never waits (a device) is read on and on: a stop is
      // looked for between its reads.
      if (waiting.stop_requested()) return Cut::kStopped;
      if (!read_all_) {
        flush = got < want && reader.may_wait();
        if (!flush && region_size_ < target) continue;
      }
    }
    const std::string_view region = this->region();
    if (read_all_ && !read_failed_) {
      if (region.empty() && !(options_.elements && work_.pieces == 0)) {
        source_done_ = true;
        return Cut::kNone;
      }
      const Place place = region.size() <= piece ? Place{} : place_to_cut(region, piece);
      if (place.at > 0) {
        queue_region(place.at, false, place.likely);
      } else {
        queue_region(region.size(), true, false);  // the rest of the stream
      }
      return Cut::kCut;
    }
    if (read_failed_) {
      // The texts the bytes read so far finish run all the same; the one
      // they leave unfinished does not, for the source does not end there.
      source_done_ = true;
      if (region.empty()) return Cut::kNone;
      queue_region(region.size(), false, true);
      return Cut::kCut;
    }
    const Place place = place_to_cut(region, region.size());
    if (place.at > 0 && (region.size() >= piece || reach_ > 0 || flush)) {
      queue_region(place.at, false, place.likely);
      return Cut::kCut;
    }
    if (flush) {
      // Nothing finished yet: hand out what is made, or wait for more,
      // once every piece before is handed out, where the region is known
      // to start between texts.
      if (!pieces_.empty()) return Cut::kLater;
      if (speculating_) {
        if (const size_t at = certain_cut(region); at > 0) {
          queue_region(at, false, false);
          return Cut::kCut;
        }
      }
      continue;
    }
    if (region.size() >= piece && speculating_ && options_.elements) {
      // No line here starts an element: they are framed from here, as for
      // memory.
      if (!pieces_.empty()) return Cut::kLater;
      frame_elements();
      continue;
    }
    if (region.size() >= piece) {
      // One text longer than a piece: read on to its end, up to the most a
      // text may be.
      if (region.size() > kMaxInputSize) {
        // Only once every piece before is handed out is it sure that the
        // region starts with that text.
        if (!pieces_.empty()) return Cut::kLater;
        refuse_region();
        return Cut::kCut;
      }
      reach_ = 2 * region.size();
    }
  }
}

PieceStream::Cut PieceStream::cut(Waiting& waiting) {
  if (!source_.reader) {
    // The source's memory stays as it is: it is looked at without what
    // the caller holds.
    const LetGo let_go(waiting);
    return cut_memory();
  }
  return cut_read(waiting);
}

bool PieceStream::cut_again(const Piece& unfinished, size_t from, Waiting& waiting) {
  const std::string_view tail = unfinished.bytes.substr(from);
  // The pieces after it started where no text did: their runs are dropped.
  size_t again = tail.size();
  for (const auto& piece : pieces_) {
    if (piece->slot) {
      if (!pool_.wait(piece->slot, waiting)) return false;
      pool_.release(piece->slot);
      piece->slot = nullptr;
    }
    again += piece->bytes.size();
  }
  work_.run_again += again;
  if (source_.reader) {
    // The bytes from the unfinished text on, in a chunk of their own.
    const std::string_view rest = region();
    auto fresh = std::make_shared<Chunk>(std::max(again + rest.size(), options_.piece_bytes) +
                                         kLeastRead);
    char* out = fresh->bytes.get();
    std::memcpy(out, tail.data(), tail.size());
    out += tail.size();
    for (const auto& piece : pieces_) {
      std::memcpy(out, piece->bytes.data(), piece->bytes.size());
      out += piece->bytes.size();
    }
    if (!rest.empty()) std::memcpy(out, rest.data(), rest.size());
    work_.copied += again + rest.size();
    chunk_ = std::move(fresh);
    region_begin_ = 0;
    region_size_ = again + rest.size();
  }
  pieces_.clear();
  region_offset_ = unfinished.offset + from;
  speculating_ = false;
  finder_ = CutFinder(options_.lines, false);
  if (options_.elements) frame_elements();
  reach_ = 0;
  source_done_ = source_.reader ? read_all_ && region_size_ == 0
                                : region_offset_ >= source_.memory.size();
  note_held();
  return true;
}

void PieceStream::count_lines_to(uint64_t offset) {
  if (lines_counted_to_ >= offset) return;
  line_ += count_line_breaks(source_.memory.data() + lines_counted_to_, offset - lines_counted_to_);
  lines_counted_to_ = offset;
}

TextStream::Step PieceStream::next(Waiting& waiting, const TextResults** results, Stop* stop) {
  handed_.reset();
  for (;;) {
    if (ended_) {
      if (!broken_.empty() && !broken_said_) {
        broken_said_ = true;
        return Step::kReadFailed;
      }
      return Step::kEnd;
    }
    while (!source_done_ && pieces_.size() < in_flight_) {
      const Cut cut = this->cut(waiting);
      if (cut == Cut::kStopped) {
        *stop = Stop{};
        return Step::kStopped;
      }
      if (cut != Cut::kCut) break;
    }
    if (pieces_.empty()) {
      if (!source_done_) continue;
      ended_ = true;
      if (read_failed_) return Step::kReadFailed;
      return Step::kEnd;
    }
    Piece& front = *pieces_.front();
    if (front.slot) {
      if (!pool_.wait(front.slot, waiting)) {
        *stop = Stop{};
        return Step::kStopped;
      }
      if (const std::optional<Stop>& failure = pool_.failure(front.slot)) {
        *stop = *failure;
        ended_ = true;
        return Step::kStopped;
      }
      pool_.release(front.slot);
      front.slot = nullptr;
    }
    std::unique_ptr<Piece> piece = std::move(pieces_.front());
    pieces_.pop_front();
    if (piece->step == WindowStep::kStopped) {
      *stop = piece->results.stop;
      ended_ = true;
      return Step::kStopped;
    }
    if (options_.elements && piece->open_end && !piece->at_failure &&
        piece->step == WindowStep::kNeedMore &&
        (piece->passed < piece->bytes.size() || !piece->expects_element)) {
      // Its likely end was not just after a comma between elements: it and
      // the pieces after it run again, from its start, which is known to be
      // between elements, with the elements framed from there on.
      if (!cut_again(*piece, 0, waiting)) {
        *stop = Stop{};
        return Step::kStopped;
      }
      continue;
    }
    if (piece->refused) {
      TextRecord place(0, 0);
      place.line = 1;
      piece->results.add_unrun(std::move(place), too_long(piece->refused), 0);
      piece->texts = 1;
    }
    // The piece's places, counted from its start, in the stream's terms.
    bool any_bad = false;
    for (TextRecord& record : piece->results.texts) {
      record.index += texts_before_;
      record.offset += piece->offset;
      any_bad |= !record.outcome.ran();
    }
    if (any_bad) {
      if (!source_.reader) count_lines_to(piece->offset);
      for (TextRecord& record : piece->results.texts) {
        if (!record.outcome.ran()) record.line += line_ - 1;
      }
    }
    texts_before_ += piece->texts;
    if (source_.reader) {
      line_ += piece->line_breaks;
      lines_counted_to_ = piece->offset + piece->passed;
    }
    if (piece->step == WindowStep::kBadText || piece->refused) ended_ = true;
    if (piece->step == WindowStep::kBroken) {
      ended_ = true;
      broken_ = std::move(piece->broken);
    }
    work_.run += piece->passed;
    work_.parsed += piece->results.parsed;
    // A piece whose likely end was not between texts: the pieces after it
    // did not start where texts do.
    if (piece->open_end && !ended_ && !piece->at_failure && piece->passed < piece->bytes.size() &&
        !cut_again(*piece, piece->passed, waiting)) {
      *stop = Stop{};
      return Step::kStopped;
    }
    handed_ = std::move(piece);
    *results = &handed_->results;
    return Step::kTexts;
  }
}

}  // namespace tamsel::texts
