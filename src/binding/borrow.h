// The borrow counter every object of the module carries. It refuses an
// exclusive borrow while any other borrow is held, and a shared borrow while
// an exclusive one is. No Python code runs inside the module's calls, so the
// refusals guard re-entrant use only. Atomic, so that borrows taken on
// several threads at once, where the interpreter runs without its lock,
// are counted exactly.
#pragma once

#include <Python.h>

#include <atomic>

namespace tamsel::binding {

class BorrowFlag {
 public:
  bool try_shared() {
    int count = count_.load(std::memory_order_relaxed);
    do {
      if (count < 0) return fail("Already mutably borrowed");
    } while (!count_.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  bool try_exclusive() {
    int none = 0;
    if (!count_.compare_exchange_strong(none, -1, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      return fail("Already borrowed");
    return true;
  }
  void release_shared() { count_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() { count_.store(0, std::memory_order_release); }

 private:
  static bool fail(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
  }
  std::atomic<int> count_{0};  // >0 shared borrows, -1 exclusive
};

// Holds a borrow for one scope.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_shared()) {}
  ~SharedBorrow() { if (held_) flag_.release_shared(); }
  bool held() const { return held_; }
 private:
  BorrowFlag& flag_;
  bool held_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag), held_(flag.try_exclusive()) {}
  ~ExclusiveBorrow() { if (held_) flag_.release_exclusive(); }
  bool held() const { return held_; }
 private:
  BorrowFlag& flag_;
  bool held_;
};

}  // namespace tamsel::binding
