// Internal faults: the few conditions that abandon a whole run (the integer
// remainder faults, a capacity too large to represent). They are the only
// exceptions thrown inside the system; the Python boundary turns them into
// PanicException. Every other failure is a value.
#pragma once

#include <string>
#include <utility>

namespace tamsel {

struct InternalFault {
  explicit InternalFault(std::string text) : message(std::move(text)) {}
  std::string message;
};

}  // namespace tamsel
