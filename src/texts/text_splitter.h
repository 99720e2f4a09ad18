// Where each JSON text of a stream of them starts and ends, before any is
// parsed.
//
// By default texts are separated by white space or written back to back
// ("[1][2]", "1 2", "1\"a\""): a text that opens an array or object runs to
// the bracket that closes it (brackets inside strings do not count, and any
// closing bracket closes any opening one), a string to its closing quote,
// and anything else to the next white space, bracket or quote; a closing
// bracket with nothing open is a text of its own. Only strings and brackets
// are looked at, so a malformed text still comes out as one piece, for the
// parser to report, and the texts after it are found all the same. With
// `lines`, every line that is not blank is exactly one text, as written.
//
// With `elements`, the stream is one JSON array (or an array inside
// objects, at a path of keys), and each of its elements is a text: an
// ElementFrame (element_frame.h) passes the brackets, commas and keys
// around them, a token also ends at a comma, and the values of the other
// members of the objects around the array come out as texts marked
// `member`, to be checked but not run. A frame that breaks ends the stream
// (kBroken).
//
// A byte order mark at the start of the stream is skipped.
//
// The splitter reads a window of the stream that the caller slides forward:
// it asks for more (kNeedMore) when a text may go on past the window's end,
// and keeps its place inside a text that it has begun, so a text arriving
// in many small reads is scanned once.
//
// Most streams hold one text a line. At a text's start, the splitter first
// offers the rest of its line as a guess, which the caller confirms by
// parsing it: a line that is exactly one JSON value with white space around
// it is also exactly the text the rules above find, so a confirmed guess
// costs no scan. A refuted guess is followed by the text the rules find,
// and the rest of that line is split by the rules alone. The first time a
// line is refuted where the rest of the stream is in the window, that rest
// is guessed to be one text, as a single document laid out over many lines
// is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "texts/element_frame.h"

namespace tamsel::texts {

class TextSplitter {
 public:
  enum class Step { kText, kNeedMore, kEnd, kBroken };

  struct Text {
    std::string_view bytes;  // within the window; valid until it slides
    uint64_t index = 0;      // how many texts came before it
    uint64_t offset = 0;     // of its first byte, in the stream
    bool guess = false;      // the rest of a line: confirm it or refute()
    // The value of another member of an object around the elements: check
    // it is JSON, or refuse_member(); it is no text of the stream's.
    bool member = false;
  };

  // `at_stream_start`: the first window starts the stream, so a byte order
  // mark there is skipped; a splitter given a piece from inside a stream
  // (starting between two texts) reads it as it stands.
  // `elements`, when given, the path of the array whose elements are the
  // texts (not kept); a piece from inside a stream starts just after a
  // comma between two elements.
  explicit TextSplitter(bool lines, bool at_stream_start = true,
                        const ElementPath* elements = nullptr);

  // Never guesses that the rest of the stream is one text: for a piece of
  // a stream whose pieces are cut between texts, which holds one only when
  // a single text is longer than a piece, and then is the stream's last.
  void no_rest_guess() { rest_guessed_ = true; }
  // Never guesses at all: for a caller that only frames texts, without
  // parsing them, to know where they start.
  void frame_only() {
    rest_guessed_ = true;
    no_guess_before_ = SIZE_MAX;
  }

  // The bytes of the stream from passed() of the last window on (all of
  // the stream, the first time), and whether the stream ends with them.
  void set_window(std::string_view window, bool last);
  // Bytes at the start of the window that no later text needs: the caller
  // may drop them before it gives the next window, once they have been
  // handed over: hand_over() counts their lines (which only they can tell)
  // and returns how many they are.
  size_t passed() const { return pos_; }
  // How many texts have been taken.
  uint64_t taken() const { return index_; }
  size_t hand_over();

  // The next text, kNeedMore when the window must grow first, or kEnd. The
  // same text comes again until it is taken: take() moves past it; a guess
  // may instead be refuted, after which next() gives the text the framing
  // rules find from the same start.
  Step next(Text* text);
  void take();
  void refute();
  // The member text given is not JSON, `why`: the stream is broken there.
  void refuse_member(std::string_view why);

  // After kBroken: why, naming the byte of the stream where it broke
  // (counted from `base`, where the splitter's stream starts in a longer one).
  std::string broken(uint64_t base = 0) const;
  // Whether the splitter stands where a piece cut next would start, just
  // after a comma between elements (with `elements`).
  bool expects_element() const { return frame_ && frame_->expects_element(); }

  // The next text's number and offset, and where in the window its first
  // byte that is not white space lies, without looking for its end: for a
  // caller that finds the end itself by parsing the text, and then moves
  // past it with take_until(end), `end` in the window. kText (the text's
  // bytes left empty), or as for next().
  Step start(Text* text, size_t* first);
  void take_until(size_t end);

  // The line of the stream, from 1, that a byte lies on: `offset` is the
  // byte's offset in the stream, at or after the start of the last text
  // looked up (lines are counted as the stream is passed).
  uint64_t line_of(uint64_t offset);

 private:
  // Where a scan of the current text stands, kept across windows.
  enum class Scan { kNone, kLine, kNested, kToken };

  bool check_byte_order_mark();
  Step next_line();
  Step next_value();
  bool guess_line();
  // The frame's next value, with `elements`: kText when one starts at pos_.
  Step next_in_frame();
  bool guess_rest();
  // Scans on from scan_at_; true once the text's end is found (in end_).
  bool scan_value();
  bool skip_space();
  void begin_scan();
  void passed_to(size_t end);

  const bool lines_;
  std::string_view window_;
  bool last_ = false;
  bool bom_checked_ = false;
  size_t pos_ = 0;       // the next byte not yet passed
  uint64_t offset_ = 0;  // of the window's first byte, in the stream
  uint64_t index_ = 0;   // of the next text
  // Lines are counted lazily: line_ is the line of the byte at counted_.
  uint64_t line_ = 1;
  size_t counted_ = 0;

  // The text being found, from pos_.
  Scan scan_ = Scan::kNone;
  size_t scan_at_ = 0;      // the next byte to look at
  size_t depth_ = 0;        // brackets open, in kNested
  bool in_string_ = false;  // in kNested: inside a string
  bool escaped_ = false;    // the byte at scan_at_ is escaped
  size_t end_ = 0;          // where the found text ends
  bool pending_ = false;    // a found text waits to be taken
  bool guessing_ = false;   // the pending text is a guess
  // No guess starts before this: the rest of a line whose guess was
  // refuted is split by the rules.
  size_t no_guess_before_ = 0;
  bool rest_guessed_ = false;

  std::unique_ptr<ElementFrame> frame_;
  bool member_ = false;  // the text being found is a member's value
  uint64_t broken_offset_ = 0;
};

// JSON's white space: what separates texts and surrounds a text's value.
inline bool is_json_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// How many line breaks the `size` bytes at `text` hold.
uint64_t count_line_breaks(const char* text, size_t size);

}  // namespace tamsel::texts
