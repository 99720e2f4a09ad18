// The one place where failures become Python exceptions.
#pragma once

#include <Python.h>

#include <new>
#include <string>

#include "runtime/bounds.h"
#include "value/fault.h"

namespace tamsel::binding {

// The module's PanicException class (derived directly from BaseException),
// created once per process. Borrowed reference; nullptr with an exception set
// if it cannot be created.
PyObject* panic_exception_type();

void raise_value_error(const std::string& message);
void raise_panic(const std::string& message);
// Replaces the pending Python exception (a failed object creation inside a
// run) by PanicException carrying its text.
void raise_panic_from_pending();

// Makes sure the C++ runtime's per-thread exception state exists before a
// call starts: the runtime allocates it on a thread's first throw, and
// aborts the process when it cannot, which is exactly when memory has run
// out and a std::bad_alloc is on its way.
void reserve_exception_state();

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
  } catch (const InternalFault& fault) {
    raise_panic(fault.message);
  } catch (const runtime::Interrupted&) {
    // The handler's exception (KeyboardInterrupt) is already pending.
  } catch (const runtime::BudgetExceeded& exceeded) {
    raise_panic(exceeded.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  }
  return false;
}

}  // namespace tamsel::binding
