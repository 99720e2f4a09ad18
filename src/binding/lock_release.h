// Letting go of the interpreter lock while a call parses and evaluates, so
// that other Python threads run meanwhile, and taking it back to make Python
// objects. Nothing may touch a Python object while it is released.
#pragma once

#include <Python.h>

#include <chrono>

#include "runtime/static_tls.h"

namespace tamsel::binding {

class LockRelease {
 public:
  // Starts out holding the lock.
  LockRelease() = default;
  ~LockRelease() { take_back(); }
  LockRelease(const LockRelease&) = delete;
  LockRelease& operator=(const LockRelease&) = delete;

  // Both may be called any number of times; each does nothing when the lock
  // already is as asked.
  void release();
  void take_back();

  bool released() const { return state_ != nullptr; }

 private:
  friend bool signals_pending();

  PyThreadState* state_ = nullptr;
  LockRelease* outer_ = nullptr;
  std::chrono::steady_clock::time_point last_look_{};
};

// The poll of a run's bounds: runs the interpreter's signal handlers, and
// is true when one raised (KeyboardInterrupt for Ctrl-C). While this thread
// has released the lock, it takes it back for that about every
// kSignalLookInterval, and only on the thread that handles signals.
bool signals_pending();

inline constexpr std::chrono::milliseconds kSignalLookInterval{20};

// Learns which thread handles signals; once, at import. False with a
// Python error set when it cannot.
bool learn_signal_thread();

}  // namespace tamsel::binding
