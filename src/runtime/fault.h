// Internal faults: the few conditions that abandon a whole run (the integer
// remainder faults, a capacity too large to represent, a value nested too
// deep, a stage with too many results). Every other failure is a value.
// Exceptions thrown inside the system are of four kinds: InternalFault;
// std::bad_alloc, when memory runs out; and two kinds of std::bad_alloc from
// runtime/bounds.h, BudgetExceeded (a call passed its memory budget) and
// Interrupted (the caller's poll stopped the call). The Python boundary
// (binding/errors.h) turns each into its Python exception.
#pragma once

#include <string>
#include <utility>

namespace tamsel {

struct InternalFault {
  explicit InternalFault(std::string text) : message(std::move(text)) {}
  std::string message;
};

}  // namespace tamsel
