// The one place where failures, and what became of a text, become Python
// exceptions.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <string>

#include "runtime/exception_state.h"
#include "runtime/failure.h"
#include "texts/text_outcome.h"

namespace tamsel::binding {

// The module's PanicException class (derived directly from BaseException),
// created once per process. Borrowed reference; nullptr with an exception set
// if it cannot be created.
PyObject* panic_exception_type();
// TamselTextError, the ValueError of one bad text of a stream or a batch;
// the same.
PyObject* text_error_type();

void raise_value_error(const std::string& message);
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

// Raises the exception of what became of the one document of a call
// (input(), first(), the bytes methods): ValueError for a malformed text,
// with its note beside the message; PanicException for a fault; for a stop,
// the poll's exception (pending already) or MemoryError. A result the
// interpreter could not make leaves its exception as it is in the module's
// own methods (`ours`), and becomes PanicException in input() and first().
void raise_outcome(const texts::TextOutcome& outcome, bool ours);

// The exception of the bad text at `place` (a malformed one or a fault, as
// `outcome` says): a TamselTextError (a ValueError) or a PanicException,
// whose message starts with the text's place ("text 3 at byte 120 (line 4):
// ..." in a stream, "text 3: ..." in a batch) and which carries it as
// attributes: `index`, for a stream `offset` and `line` (None in a batch),
// and `message`, the error's own text, with the outcome's note beside it.
// nullptr with an exception set if that fails.
PyObject* new_text_error(const texts::TextOutcome& outcome, const TextPlace& place);

using runtime::reserve_exception_state;

// Raises the Python exception of a failure (as current_failure() tells it).
void raise_failure(runtime::Failure failure, const std::string& message);

// Runs `work` and turns an internal fault escaping it into PanicException:
// also passing the call's memory budget (running out of the system's memory
// raises MemoryError). A call stopped by a signal handler leaves that
// handler's exception set. Returns false when it raised.
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
