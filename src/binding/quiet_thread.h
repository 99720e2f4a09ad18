// Threads of the module's own never take the process's signals: the
// interpreter's handlers are for its own threads, and a signal taken by ours
// would only interrupt what they wait for. Throws std::system_error when no
// thread can be started.
#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace tamsel::binding {

template <class Body>
std::thread start_quiet_thread(Body&& body) {
  // A new thread starts with its maker's mask: all blocked for the moment
  // it is made, and the maker's own put back after.
  sigset_t all, was;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &was);
  struct Restore {
    sigset_t* was;
    ~Restore() { pthread_sigmask(SIG_SETMASK, was, nullptr); }
  } restore{&was};
  return std::thread(std::forward<Body>(body));
}

}  // namespace tamsel::binding
