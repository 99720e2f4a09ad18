#include "binding/lock_release.h"

#include <pthread.h>

#include <atomic>

#include "binding/py_ref.h"

namespace tamsel::binding {
namespace {

// The release in force on this thread, for the poll: a pointer to the
// caller's own object while the lock is released.
TAMSEL_STATIC_TLS constinit thread_local LockRelease* current_release = nullptr;

// The interpreter runs signal handlers on its main thread only; elsewhere
// taking the lock back to look would only slow the other threads. Learned
// when the module is imported; after a fork, the child's one thread is its
// main thread, for the interpreter as for us.
std::atomic<unsigned long> main_thread{0};

bool handles_signals() {
  return PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed);
}

}  // namespace

void LockRelease::release() {
  if (state_) return;
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

bool learn_signal_thread() {
  // Learned once, with the lock held and Python code run where an error
  // (a Ctrl-C among them) can fail the import, rather than on a first
  // release, in a call that must not lose it.
  PyRef threading(PyImport_ImportModule("threading"));
  PyRef main(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  PyRef ident(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  if (!ident) return false;
  const unsigned long found = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) return false;
  main_thread.store(found, std::memory_order_relaxed);
  static const bool watching_forks = pthread_atfork(nullptr, nullptr, [] {
    main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
  }) == 0;
  if (!watching_forks) PyErr_SetString(PyExc_OSError, "could not watch for fork()");
  return watching_forks;
}

}  // namespace tamsel::binding
