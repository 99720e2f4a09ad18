// Where the texts of a stream come from: a window of the source's bytes
// that slides forward as the texts in it are used.
//
// A source held in memory (a bytes-like object, a str) is one window that
// never slides. A file, whether a path the source opens itself or a file
// object of the caller's, is read into a buffer of the source's own, a read
// at a time; the buffer grows only when one text does not fit in it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string_view>

namespace tamsel::binding {

class TextSource {
 public:
  // About how much a read asks for, and so how much text a stream handles
  // between two looks at its results.
  static constexpr size_t kReadSize = size_t{256} << 10;
  // Bytes after a buffer of the source's own that a parser may read.
  static constexpr size_t kPadding = 64;

  // The source for `arg`: a bytes-like object or a str (the text itself), an
  // object with a read(n) method returning bytes (never closed here), or an
  // os.PathLike naming a file (opened now, closed by close()). nullptr with
  // a Python exception set (TypeError, OSError, UnicodeEncodeError).
  static std::unique_ptr<TextSource> open(PyObject* arg, const char* param);

  virtual ~TextSource() = default;

  // The bytes not yet dropped, and whether the source ends with them.
  std::string_view window() const { return std::string_view(data_ + begin_, end_ - begin_); }
  bool at_end() const { return at_end_; }
  // Whether the window may be read up to 64 bytes past its end (a buffer
  // of the source's own), which lets a parser read it where it lies.
  bool padded() const { return padded_; }
  // Whether the window's bytes stay where they are and as they are until
  // the source is closed: a source that is one window of bytes nothing can
  // change (a bytes object, a str). Other windows are copied before they
  // are read without the interpreter lock.
  bool stable() const { return stable_; }
  // Whether something outside the stream may change the window's bytes (a
  // bytearray another thread writes to): then they are read without the
  // interpreter lock only as a copy.
  bool shared() const { return shared_; }

  // Drops the first `passed` bytes of the window and reads more after it;
  // false with a Python exception set. Returns true at once at the end.
  // `short_read` says whether a read gave less than asked, which is how a
  // pipe or a terminal says that no more is there yet.
  virtual bool read_more(size_t passed, bool* short_read);

  // Lets go of what the source holds: a buffer export, a file it opened.
  virtual void close() {}

 protected:
  TextSource() = default;
  // Reads at most `size` bytes into `into`; stores how many (0 at the end),
  // or returns false with a Python exception set.
  virtual bool read(char* into, size_t size, size_t* got) = 0;
  // Whether the last read met the end, which a read that gave something
  // may know (a source that cannot know says so with a read that gives 0).
  virtual bool ended() const { return false; }
  // How much a read asks for: kReadSize, or more where that saves reads.
  virtual size_t read_size() const { return kReadSize; }

  // A source that is one window in memory, stable() or shared().
  void hold(const char* data, size_t size, bool stable, bool shared) {
    show(data, size, true, false);
    stable_ = stable;
    shared_ = shared;
  }
  // Makes the window the `size` bytes at `data`, for a source that keeps
  // its windows itself.
  void show(const char* data, size_t size, bool at_end, bool padded) {
    data_ = data;
    begin_ = 0;
    end_ = size;
    at_end_ = at_end;
    padded_ = padded;
  }

 private:
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  const char* data_ = nullptr;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool at_end_ = false;
  bool padded_ = false;
  bool stable_ = false;
  bool shared_ = false;
};

}  // namespace tamsel::binding
