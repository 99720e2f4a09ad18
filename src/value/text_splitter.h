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
// `lines`, every line that is not blank is exactly one text.
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
// costs no scan. A refuted guess is followed by the text the rules find.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tamsel {

class TextSplitter {
 public:
  enum class Step { kText, kNeedMore, kEnd };

  struct Text {
    std::string_view bytes;  // within the window; valid until it slides
    uint64_t index = 0;      // how many texts came before it
    uint64_t offset = 0;     // of its first byte, in the stream
    uint64_t line = 0;       // of its first byte, from 1
    bool guess = false;      // the rest of a line: confirm() or refute()
  };

  explicit TextSplitter(bool lines) : lines_(lines) {}

  // The bytes of the stream from passed() of the last window on (all of
  // the stream, the first time), and whether the stream ends with them.
  void set_window(std::string_view window, bool last);
  // Bytes at the start of the window that no later text needs: the caller
  // may drop them before it gives the next window.
  size_t passed() const { return pos_; }

  // The next text, kNeedMore when the window must grow first, or kEnd. The
  // same text comes again until it is taken: take() moves past it; a guess
  // may instead be refuted, after which next() gives the text the framing
  // rules find from the same start.
  Step next(Text* text);
  void take();
  void refute();

 private:
  // Where a scan of the current text stands, kept across windows.
  enum class Scan { kNone, kLine, kString, kNested, kToken };

  Step next_line(Text* text);
  Step next_value(Text* text);
  // Scans on from scan_at_; true once the text's end is found (in end_).
  bool scan_value();
  bool skip_space();

  const bool lines_;
  std::string_view window_;
  bool last_ = false;
  bool bom_checked_ = false;
  size_t pos_ = 0;        // the next byte not yet passed
  uint64_t offset_ = 0;   // of the window's first byte, in the stream
  uint64_t line_ = 1;     // of pos_
  uint64_t index_ = 0;    // of the next text

  // The text being found, from pos_.
  Scan scan_ = Scan::kNone;
  size_t scan_at_ = 0;      // the next byte to look at
  size_t depth_ = 0;        // brackets open, in kNested
  bool in_string_ = false;  // in kNested: inside a string
  bool escaped_ = false;    // the byte at scan_at_ is escaped
  uint64_t text_lines_ = 0; // line breaks inside the text so far
  size_t end_ = 0;          // where the found text ends
  bool pending_ = false;    // a found text waits to be taken
  bool guessing_ = false;   // the pending text is a guess
  // Guesses wait this many texts after one is refuted, so that a stream
  // laid out over many lines a text costs few refuted guesses.
  unsigned guess_pause_ = 0;
};

}  // namespace tamsel
