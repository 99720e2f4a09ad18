// The borrow counter every object of the module carries. It refuses an
// exclusive borrow while any other borrow is held, and a shared borrow while
// an exclusive one is. No Python code runs inside the module's calls, so the
// refusals guard re-entrant use only.
//
// Every borrow is taken and given back with the interpreter lock held: a
// call that lets go of the lock for a long text holds its borrow across,
// and gives it back once it has the lock again. The module does not declare
// itself safe to run without that lock, so a free-threaded interpreter takes
// it for the module too. A plain count is therefore exact, and a small call
// spares the two locked instructions an atomic one costs.
#pragma once

#include <Python.h>

namespace tamsel::binding {

class BorrowFlag {
 public:
  bool try_shared() {
    if (count_ < 0) return fail("Already mutably borrowed");
    ++count_;
    return true;
  }
  bool try_exclusive() {
    if (count_ != 0) return fail("Already borrowed");
    count_ = -1;
    return true;
  }
  void release_shared() { --count_; }
  void release_exclusive() { count_ = 0; }

 private:
  static bool fail(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return false;
  }
  int count_ = 0;  // >0 shared borrows, -1 exclusive
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
