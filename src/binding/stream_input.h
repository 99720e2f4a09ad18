// What a stream reads, as Python gave it: the object held for as long as
// the stream runs (a buffer export, a str, a file object of the caller's, a
// file opened from a path), and the texts layer's view of its bytes.
#pragma once

#include <Python.h>

#include <memory>

#include "texts/text_stream.h"

namespace tamsel::binding {

class StreamInput {
 public:
  // The input for `arg`: a bytes-like object or a str (the text itself),
  // an os.PathLike naming a file (opened now, without the interpreter lock,
  // so that a FIFO waiting for its writer holds up no other thread), or an
  // object with a read(n) method returning bytes (never closed here).
  // nullptr with a Python exception set (TypeError, OSError,
  // UnicodeEncodeError, KeyboardInterrupt). With `read_ahead`, a large
  // regular file is read a chunk ahead on a thread of its own, for a
  // stream whose texts all run on the caller's thread.
  static std::unique_ptr<StreamInput> open(PyObject* arg, const char* param, bool read_ahead);

  virtual ~StreamInput() = default;

  virtual texts::StreamSource source() = 0;
  // After the texts layer's read failed: sets the exception that says why.
  virtual void raise_read_error() = 0;
  // Lets go of what it holds; in a process made by fork(), leaves a
  // reader's thread be.
  virtual void close() = 0;
  // The Python objects it holds, for the garbage collector.
  virtual int traverse(visitproc, void*) { return 0; }
};

}  // namespace tamsel::binding
