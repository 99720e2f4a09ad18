// How a run waits. Reading a pipe, opening a FIFO and waiting for another
// thread's work may take any time; the caller says what it lets go of
// meanwhile (the binding: the interpreter lock) and how it learns that it
// must stop (the binding: a signal handler raised, as Ctrl-C's does).
// Nothing here raises: a wait the caller stops ends with an outcome that
// says so, and the caller's own record of why (the pending exception).
#pragma once

#include <chrono>
#include <cstddef>

namespace tamsel::texts {

class Waiting {
 public:
  virtual ~Waiting() = default;
  // Both may be called any number of times, and do nothing when things
  // already are as asked. A run calls let_go() before it blocks and
  // take_back() before it goes on with what needs what it let go of.
  virtual void let_go() {}
  virtual void take_back() {}
  // Whether the caller asks the run to stop; looked at about every
  // kLookInterval while a wait goes on, in either state.
  virtual bool stop_requested() { return false; }

  static constexpr std::chrono::milliseconds kLookInterval{20};
};

// Texts from this size up are run after letting go, where nothing else can
// change them meanwhile. Two threads calling on texts of 28 KiB ran 1.9 times
// as fast as one, of 12 KiB 1.2 times, of 3 KiB no faster; while another
// thread runs Python code, each hand-over may also wait for the lock to
// come back.
inline constexpr size_t kLetGoFrom = size_t{16} << 10;

// Lets go for the life of one scope.
class LetGo {
 public:
  explicit LetGo(Waiting& waiting) : waiting_(waiting) { waiting_.let_go(); }
  ~LetGo() { waiting_.take_back(); }
  LetGo(const LetGo&) = delete;
  LetGo& operator=(const LetGo&) = delete;

 private:
  Waiting& waiting_;
};

}  // namespace tamsel::texts
