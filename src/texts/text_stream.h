// The texts of one source, run in order some at a time: what stream()
// runs. One thread runs them as the window over the source slides
// (serial_stream.h); more cut the source into pieces that start and end
// between texts and run them at once (piece_stream.h). Either way the texts
// found, their places and every outcome are the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "runtime/bounds.h"
#include "texts/element_frame.h"
#include "texts/program.h"
#include "texts/reader.h"
#include "texts/result_form.h"
#include "texts/stop.h"
#include "texts/text_results.h"
#include "texts/waiting.h"

namespace tamsel::texts {

struct StreamOptions {
  // One text a line that is not blank, rather than texts separated by
  // white space or written back to back.
  bool lines = false;
  ResultForm form;
  // End the stream at the first text that does not run (errors="raise").
  bool stop_at_bad = true;
  // The poll of the texts run on the caller's thread (the binding: a look
  // for Ctrl-C), or none.
  runtime::CallBounds::Poll poll = nullptr;
  // About how many bytes of texts the threads run as one piece.
  size_t piece_bytes = size_t{1} << 20;
  // What the source is, for the hint beside a JSON error.
  TextOrigin origin = TextOrigin::kStream;
  // Read a source that starts with the mark of gzip or zstd as the text it
  // holds compressed (and refuse one in a format not read here), rather
  // than as texts of its own.
  bool decompress = true;
  // The source is one JSON array, at this path of keys inside objects (none:
  // the source itself), and its elements are the texts: a source that is
  // not such an array ends the stream as a read that failed, broken()
  // saying where and why.
  std::optional<ElementPath> elements;
};

// Where the texts come from: bytes in memory that stay as they are while
// the stream runs (`padded` when they may be read 64 bytes past their
// end), or a reader, which the caller keeps for the stream's life.
struct StreamSource {
  std::string_view memory;
  bool padded = false;
  Reader* reader = nullptr;
};

// What a stream did, counted, so that tests hold each way of running to
// its share of work, not only to its results.
struct StreamWork {
  uint64_t read = 0;      // bytes the reader gave
  uint64_t looked_at = 0; // bytes the cut finder looked at
  uint64_t run = 0;       // bytes of the pieces run: each byte of the source in one
  // Bytes run again: of the pieces that followed a piece whose likely end
  // was not between texts, and of the text it left unfinished.
  uint64_t run_again = 0;
  uint64_t parsed = 0;    // bytes given to a parse (a refuted guess's twice)
  uint64_t copied = 0;    // bytes copied from one of the stream's buffers to another
  uint64_t pieces = 0;
  uint64_t most_held = 0; // the most bytes held at once in the stream's buffers
  uint64_t decompressed = 0;  // bytes of text made by decompression
};

class TextStream {
 public:
  enum class Step {
    kTexts,       // the next texts, in `results`, valid until the next call
    kEnd,         // no text is left (or the stream stopped at a bad text)
    kReadFailed,  // the reader failed; the texts before were handed out
    kStopped,     // the waiting, a poll or the system's memory stopped it: `stop`
    // The source is not text: the texts it starts with all look binary
    // (TextOutcome::binary). `results` holds the first of them, its note
    // saying so, and the stream ends, skipping bad texts or not.
    kNotText,
  };

  virtual ~TextStream() = default;
  // Called with what `waiting` guards held; lets go of it only to wait or
  // to run texts that nothing else may change.
  virtual Step next(Waiting& waiting, const TextResults** results, Stop* stop) = 0;
  virtual const StreamWork& work() const = 0;
  // Whether this process is the one that made the stream's threads (a
  // process made by fork() has no copies of them and must leave it be).
  virtual bool usable() const { return true; }
  // After kReadFailed: why the source could not be read as text (its
  // compressed data is broken, or in a format not read here, or its array
  // of elements is), or "" when the reader itself failed, as the reader
  // says.
  virtual std::string_view broken() const { return {}; }
};

// The stream of `source`'s texts, run on `threads` threads (1: the caller's
// own), decompressed as `options` says. Throws std::system_error when
// threads cannot be started.
std::unique_ptr<TextStream> make_text_stream(std::shared_ptr<const Program> program,
                                             size_t threads, const StreamOptions& options,
                                             StreamSource source);

}  // namespace tamsel::texts
