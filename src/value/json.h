// JSON text to Value, on simdjson's DOM parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tamsel_limits.h"
#include "value/indexed_texts.h"
#include "value/reading_plan.h"
#include "value/structural_index.h"
#include "value/value.h"

namespace simdjson::dom {
class element;
}

namespace tamsel {

// Why a text is not one JSON value: kind name ("Syntax", "InvalidNumber",
// ...), byte offset, and the byte found there (as a code point 0-255), if any.
struct JsonError {
  std::string kind;
  uint64_t index = 0;
  bool has_character = false;
  uint32_t character = 0;

  // "{kind} at character {index}" or "{kind} at character {index} ('{char}')",
  // the character UTF-8 encoded.
  std::string message() const;
};

// Parses JSON text into Values. Keeps its buffers between runs: those sized
// for texts up to kKeepBuffersUpTo stay as they are; larger ones keep their
// addresses but hand their pages to the kernel at the end of each run, so a
// run of large documents reuses them without faulting them in again while
// the kernel may reclaim them meanwhile. A smaller text after a large one
// frees the large buffers.
class JsonParser {
 public:
  static constexpr size_t kKeepBuffersUpTo = size_t{4} << 20;

  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  // Parses exactly one JSON value. With `view_strings`, strings and keys of the
  // result are views into this parser's storage and stay valid until the next
  // parse() or the parser's destruction; without it they are owned copies.
  std::variant<Value, JsonError> parse(std::string_view text, bool view_strings = true);

  // Parses exactly one JSON value and leaves it in the parser: the returned
  // root (a simdjson::dom::element, see document_ref.h) reads it in place and is
  // valid until the next parse, end_run() or the parser's destruction.
  std::variant<simdjson::dom::element, JsonError> parse_document(std::string_view text);

  // The same in two steps, for callers that produce the text themselves:
  // work_buffer() gives room for a text of up to `max_size` bytes, to be
  // written by the caller, and parse_work_buffer() parses its first `size`
  // bytes (at most the `max_size` asked for).
  //
  // Given a `plan`, the document may hold only the parts its projection
  // names (see value/reading_plan.h), while the whole text is still checked:
  // a text that is not one JSON value fails exactly as without one.
  //
  // Given a `poll`, a text of kParsedApartFrom bytes or more is parsed on a
  // thread of its own while the caller looks at the poll, since no parse
  // can stop in the middle: when the poll asks to stop, the parse throws
  // runtime::Interrupted at once, and the thread finishes alone and frees
  // what it parsed in; this parser goes on with buffers of its own.
  static constexpr size_t kParsedApartFrom = size_t{16} << 20;
  char* work_buffer(size_t max_size);
  std::variant<simdjson::dom::element, JsonError> parse_work_buffer(
      size_t size, ReadingPlan* plan = nullptr, bool (*poll)() = nullptr);

  // simdjson's first stage over the text that parse_work_buffer(size) would
  // read (lent, or in the work buffer), for a caller that walks it itself
  // (text_walk.h): its structural index, valid until the next parse or
  // end_run(). A lent text stays lent for a parse of it that may follow,
  // and no longer than the next text, written or lent. nullopt when the
  // first stage finds the text invalid: the parse then says how.
  std::optional<StructuralIndex> index_work_buffer(size_t size);

  // Lends the parser a text of the caller's, for the next
  // parse_work_buffer(text.size()) to read instead of its work buffer: it
  // reads it where it lies when it safely can, and copies it into the work
  // buffer otherwise. The text must be followed by a NUL byte and stay
  // unchanged until that parse returns; nothing parsed refers into it.
  // Unless `parse_in_place`, a text the projected reader does not take is
  // copied into the work buffer for the whole parse (input() and first()
  // parse a copy of their text).
  void lend_text(std::string_view text, bool parse_in_place = true);

  // Reads the text that starts at the k-th structural character of an
  // indexed stretch of many texts, for a plan's projection, and stores the
  // structural character after it in `next`. Returns nullopt when the text
  // is not read this way: the plan asks for a whole read this time, or the
  // text is one the projected reader leaves to the whole parse (any invalid
  // one among them); the caller then parses the text alone.
  std::optional<simdjson::dom::element> read_next(const IndexedTexts& texts, uint32_t k,
                                                  ReadingPlan& plan, uint32_t* next);

  // The text that the last parse_work_buffer() read, for as long as the
  // parser holds it (until the next work_buffer(), parse or end_run()):
  // after a parse that failed, the whole text, for a note on what it looks
  // like instead; empty after a text refused for its size.
  std::string_view last_text() const;

  // Texts this long or longer are refused (InputTooLarge) before any is read.
  static std::optional<JsonError> size_error(uint64_t size);

  // The caller is done with what the last parse returned: applies the buffer
  // policy above.
  void end_run();

 private:
  struct State;
  struct Apart;
  std::variant<simdjson::dom::element, JsonError> parse_apart(std::string_view lent, size_t size,
                                                              const Projection* projection,
                                                              bool (*poll)(), bool* projected);
  std::variant<simdjson::dom::element, JsonError> parse_sized(std::string_view lent, size_t size,
                                                              ReadingPlan* plan, bool (*poll)());
  std::unique_ptr<State> state_;
};

}  // namespace tamsel
