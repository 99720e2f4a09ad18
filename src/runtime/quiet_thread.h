// Threads of the module's own: how they start, and how they wait for work.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

namespace tamsel::runtime {

// Starts a thread that never takes the process's signals: the
// interpreter's handlers are for its own threads, and a signal taken by ours
// would only interrupt what they wait for. The thread bears `name` (at most
// 15 characters) from the moment this returns, which top, gdb and
// /proc/self/task show, so that a process's threads of ours can be told
// from the rest. Throws std::system_error when no thread can be started.
template <class Body>
std::thread start_quiet_thread(const char* name, Body&& body) {
  // A new thread starts with its maker's mask: all blocked for the moment
  // it is made, and the maker's own put back after.
  sigset_t all, was;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &was);
  struct Restore {
    sigset_t* was;
    ~Restore() { pthread_sigmask(SIG_SETMASK, was, nullptr); }
  } restore{&was};
  std::thread thread(std::forward<Body>(body));
#ifdef __linux__
  // Named by its maker, so that no one who sees the thread made sees it
  // unnamed (a name that cannot be set leaves the thread running as it is).
  pthread_setname_np(thread.native_handle(), name);
#else
  (void)name;
#endif
  return thread;
}

// Waits on `changed` until `ready()`, as condition_variable::wait(lock,
// ready) does, but through wait_for, which the header makes inline.
// libstdc++ 12 gave wait() a new symbol version (GLIBCXX_3.4.30) that the
// libstdc++ of glibc 2.34 systems lacks: one call to it would lift the
// wheels' manylinux tag to 2_35.
template <class Ready>
void wait_for_work(std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                   Ready&& ready) {
  while (!ready()) changed.wait_for(lock, std::chrono::hours(1));
}

}  // namespace tamsel::runtime
