// Help beside a JSON text that did not parse: what the text looks like when
// it is plainly not JSON, or not one JSON value. The error's message stays as
// it is; this text goes into a note beside it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "value/json.h"

namespace tamsel {

// Where a text came from, which decides what the hint suggests.
enum class TextOrigin : uint8_t {
  // The one document of a call (input(), first() and their bytes forms), or
  // one of the separate documents of batch().
  kDocument,
  // A text of a stream whose source is a str (a file name, if it was meant
  // as one).
  kStreamOfStr,
  // A text of any other stream.
  kStream,
};

// One line on what `text` looks like, given the error it failed with, or
// "" when it looks like nothing in particular.
std::string json_hint(std::string_view text, const JsonError& error, TextOrigin origin);

// Whether `text` starts with a byte that is not text at all: a control
// byte other than JSON's white space, or one that does not begin UTF-8.
// JSON text holds neither anywhere, and a text that starts with one is
// binary data (compressed, an image, a database file) rather than mistyped
// JSON.
bool looks_binary(std::string_view text);

}  // namespace tamsel
