// What ended a run that threw, told apart once for every boundary: the
// Python one (binding/errors.h) and the runs that go without Python
// (texts/text_batch.h).
#pragma once

#include <string>

namespace tamsel::runtime {

enum class Failure {
  // An internal fault, or the call's memory budget passed: `message` says which.
  kFault,
  // The poll stopped the call; it recorded why.
  kInterrupted,
  // The system's memory ran out.
  kNoMemory,
};

// Classifies the exception being handled: call it only inside a catch (...)
// block. Anything else (a thread's forced unwinding) is thrown on.
Failure current_failure(std::string* message);

}  // namespace tamsel::runtime
