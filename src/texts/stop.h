// Why a run that did not finish stopped: its caller asked (the caller's own
// record says why: in the binding, the pending exception), the system's
// memory ran out, or an internal fault ended it, with its message.
#pragma once

#include <string>

#include "runtime/failure.h"

namespace tamsel::texts {

struct Stop {
  runtime::Failure failure = runtime::Failure::kInterrupted;
  std::string message;  // for a fault
};

// The stop of the exception being handled: call it only inside catch (...).
inline Stop current_stop() {
  Stop stop;
  stop.failure = runtime::current_failure(&stop.message);
  return stop;
}

}  // namespace tamsel::texts
