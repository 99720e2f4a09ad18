// Keeps the interpreter's cyclic garbage collector from running while a
// call makes the Python objects of its results: each collection it would
// start there walks every container made so far, which turns making
// millions of lists and dicts quadratic. None of them can be garbage yet.
// (Python 3.9 has no C switch for it; there the collector runs as it would.)
#pragma once

#include <Python.h>

namespace tamsel::binding {

class CollectorPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
#endif
};

}  // namespace tamsel::binding
