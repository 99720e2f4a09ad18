#include "binding/lock_release.h"

#include <atomic>

#include "binding/py_ref.h"

namespace tamsel::binding {
namespace {

// The release in force on this thread, for the poll: a pointer to the
// caller's own object while the lock is released.
TAMSEL_STATIC_TLS constinit thread_local LockRelease* current_release = nullptr;

// The interpreter runs signal handlers on its main thread only; elsewhere
// taking the lock back to look would only slow the other threads. Learned
// with the lock held, the first time it is released; 0 until then, or when
// it cannot be learned (then every thread looks).
std::atomic<unsigned long> main_thread{0};

void learn_main_thread() {
  if (main_thread.load(std::memory_order_relaxed) != 0) return;
  // An exception already pending is kept as it is.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long found = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
  } else {
    main_thread.store(found, std::memory_order_relaxed);
  }
  PyErr_Restore(type, value, traceback);
}

bool handles_signals() {
  const unsigned long main = main_thread.load(std::memory_order_relaxed);
  return main == 0 || PyThread_get_thread_ident() == main;
}

}  // namespace

void LockRelease::release() {
  if (state_) return;
  learn_main_thread();
  outer_ = current_release;
  current_release = this;
  last_look_ = std::chrono::steady_clock::now();
  state_ = PyEval_SaveThread();
}

void LockRelease::take_back() {
  if (!state_) return;
  PyEval_RestoreThread(state_);
  state_ = nullptr;
  current_release = outer_;
}

bool signals_pending() {
  LockRelease* release = current_release;
  if (!release || !release->state_) return PyErr_CheckSignals() < 0;
  if (!handles_signals()) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - release->last_look_ < kSignalLookInterval) return false;
  release->last_look_ = now;
  // While the handlers run the lock is held, and a call they make starts
  // with no release in force.
  PyEval_RestoreThread(release->state_);
  current_release = nullptr;
  const bool raised = PyErr_CheckSignals() < 0;
  current_release = release;
  release->state_ = PyEval_SaveThread();
  return raised;
}

}  // namespace tamsel::binding
