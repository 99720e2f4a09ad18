// JSON text to Value, on simdjson's DOM parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "value/value.h"

namespace simdjson::dom {
class element;
}

namespace tamsel {

// Deepest nesting of arrays and objects a document may have. Building,
// converting and releasing a document recurse once per level.
inline constexpr size_t kMaxJsonDepth = 1024;

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

// Parses JSON text into Values. Keeps its buffers between calls (up to a cap)
// so that a program run many times allocates them once.
class JsonParser {
 public:
  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  // Parses exactly one JSON value. With `view_strings`, strings and keys of the
  // result are views into this parser's storage and stay valid until the next
  // parse() or the parser's destruction; without it they are owned copies.
  std::variant<Value, JsonError> parse(std::string_view text, bool view_strings = true);

  // Parses exactly one JSON value and leaves it in the parser: the returned
  // root (a simdjson::dom::element, see json_ref.h) reads it in place and is
  // valid until the next parse or the parser's destruction.
  std::variant<simdjson::dom::element, JsonError> parse_document(std::string_view text);

  // Frees the buffers if the last text was too large to keep them for the
  // next parse. Ends the validity of what the last parse returned.
  void release_large_buffers();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tamsel
