// Results of the grammar rules: either the rest of the text after a match
// together with what was built, or an error record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace tamsel::query {

// What the message calls the error ("code: Digit").
enum class ErrorKind : uint8_t { Tag, MapRes, Digit, Char };

enum class Severity : uint8_t {
  // An enclosing alternative may try its next choice.
  Recoverable,
  // A malformed string escape: passes every alternative up to the caller,
  // except the right side of a comparison, which gives way to a plain test.
  Unrecoverable,
  // The tree would nest deeper than kMaxQueryDepth. Nothing swallows or
  // retries it, so a deep query costs one descent and never more.
  TooDeep,
};

struct ParseError {
  Severity severity = Severity::Recoverable;
  ErrorKind kind = ErrorKind::Tag;
  size_t at = 0;  // byte offset of the remaining text in the query
  // How far the failing rule read before it gave up, when that is past `at`
  // (a bad escape inside a string, a string never closed); the message
  // never shows it, the note on where the parser stopped does.
  size_t reached = 0;

  bool recoverable() const { return severity == Severity::Recoverable; }
};

inline ParseError recoverable(ErrorKind kind, size_t at) {
  return {Severity::Recoverable, kind, at};
}

// Outcome of one rule. On success `rest` is where the match ended and
// `height` counts the nested operator levels of what was built (see the depth
// limit in grammar.cpp); on failure `error` says why.
template <typename T>
struct Parsed {
  std::optional<T> value;
  size_t rest = 0;
  int height = 0;
  ParseError error;

  static Parsed success(T built, size_t rest, int height = 0) {
    Parsed p;
    p.value.emplace(std::move(built));
    p.rest = rest;
    p.height = height;
    return p;
  }
  static Parsed failure(ParseError error) {
    Parsed p;
    p.error = error;
    return p;
  }

  // In-place forms, so that a rule can build its one returned object where
  // the caller wants it instead of holding several results per stack frame.
  void succeed(T built, size_t end, int built_height = 0) {
    value.emplace(std::move(built));
    rest = end;
    height = built_height;
  }
  void fail(ParseError why) {
    value.reset();
    error = why;
  }

  bool ok() const { return value.has_value(); }
};

}  // namespace tamsel::query
