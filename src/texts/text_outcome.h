// What became of one text: the one value every way of running texts gives,
// which only the binding turns into an exception.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/failure.h"

namespace tamsel::texts {

struct TextOutcome {
  enum class Kind : uint8_t {
    kRan,        // every result went to the sink
    kMalformed,  // not one JSON value: `message`, and `note` beside it
    kFault,      // an internal fault ended its run: `message`
    kStopped,    // the poll or the system's memory stopped it: `stopped_by`
    kRefused,    // the sink could not take a result (its own record says why)
  };

  Kind kind = Kind::kRan;
  std::string message;
  std::string note;
  runtime::Failure stopped_by = runtime::Failure::kInterrupted;
  // A malformed text that starts with a byte that is not text (value/
  // json_hint.h, looks_binary()).
  bool binary = false;

  bool ran() const { return kind == Kind::kRan; }
  // Whether the text itself is to blame, so that a stream may skip it and go on.
  bool bad_text() const { return kind == Kind::kMalformed || kind == Kind::kFault; }
};

}  // namespace tamsel::texts
