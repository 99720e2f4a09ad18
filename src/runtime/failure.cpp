#include "runtime/failure.h"

#include <exception>
#include <new>

#include "runtime/bounds.h"
#include "runtime/fault.h"

namespace tamsel::runtime {

Failure current_failure(std::string* message) {
  try {
    throw;
  } catch (const InternalFault& fault) {
    *message = fault.message;
  } catch (const Interrupted&) {
    return Failure::kInterrupted;
  } catch (const BudgetExceeded& exceeded) {
    *message = exceeded.what();
  } catch (const std::bad_alloc&) {
    return Failure::kNoMemory;
  } catch (const std::exception& e) {
    *message = e.what();
  }
  return Failure::kFault;
}

}  // namespace tamsel::runtime
