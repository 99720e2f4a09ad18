// The one place where failures become Python exceptions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "runtime/exception_state.h"
#include "runtime/failure.h"
#include "value/json.h"
#include "value/json_hint.h"

namespace tamsel::binding {

// The module's PanicException class (derived directly from BaseException),
// created once per process. Borrowed reference; nullptr with an exception set
// if it cannot be created.
PyObject* panic_exception_type();
// TamselTextError, the ValueError of one bad text of a stream or a batch;
// the same.
PyObject* text_error_type();

void raise_value_error(const std::string& message);
// Raises ValueError with the message of `error`, for a text (all of it, or
// at least its start) that failed with it, and beside it the note of
// json_hint when the text looks like something in particular.
void raise_json_error(const JsonError& error, std::string_view text,
                      TextOrigin origin = TextOrigin::kDocument);
void raise_panic(const std::string& message);
// Replaces the pending Python exception (a failed object creation inside a
// run) by PanicException carrying its text.
void raise_panic_from_pending();

// Where a text lies among many: its number, and for a text of a stream its
// byte offset and line there.
struct TextPlace {
  uint64_t index = 0;
  bool in_stream = false;
  uint64_t offset = 0;
  uint64_t line = 0;
};

// The exception of a bad text whose error is `message`: a TamselTextError
// (a ValueError), or with `fault` a PanicException, whose message starts
// with the text's place ("text 3 at byte 120 (line 4): ..." in a stream,
// "text 3: ..." in a batch) and which carries it as attributes: `index`,
// for a stream `offset` and `line` (None in a batch), and `message`, the
// error's own text. A `note` that is not empty goes beside the message, as
// json_hint() gives it for the text. nullptr with an exception set if that
// fails.
PyObject* new_text_error(bool fault, const std::string& message, const TextPlace& place,
                         const std::string& note = {});

using runtime::reserve_exception_state;

// Runs `work` and turns an internal fault escaping it into PanicException:
// also passing the call's memory budget (running out of the system's memory
// raises MemoryError). A call stopped by a signal handler leaves that
// handler's exception set. Returns false when it raised.
// Raises the Python exception of a failure (as current_failure() tells it).
void raise_failure(runtime::Failure failure, const std::string& message);

template <class Work>
bool run_guarded(Work&& work) {
  reserve_exception_state();
  try {
    work();
    return true;
  } catch (...) {
    std::string message;
    raise_failure(runtime::current_failure(&message), message);
  }
  return false;
}

}  // namespace tamsel::binding
