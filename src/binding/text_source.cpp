#include "binding/text_source.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "binding/chunk_reader.h"
#include "binding/json_input.h"
#include "binding/py_ref.h"

namespace tamsel::binding {
namespace {

// A bytes-like object, held exported for the life of the source, so that a
// bytearray cannot be resized under it, nor an mmap closed.
class BufferSource final : public TextSource {
 public:
  bool export_from(PyObject* arg, const char* param) {
    if (!export_contiguous(arg, param, &view_)) return false;
    exported_ = true;
    // A bytes object never changes; a bytearray may, by any thread.
    const bool frozen = view_.obj && PyBytes_CheckExact(view_.obj);
    hold(static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len), frozen, !frozen);
    return true;
  }
  ~BufferSource() override { close(); }
  void close() override {
    if (exported_) PyBuffer_Release(&view_);
    exported_ = false;
    hold(nullptr, 0, true, false);
  }

 private:
  bool read(char*, size_t, size_t* got) override {
    *got = 0;
    return true;
  }
  Py_buffer view_{};
  bool exported_ = false;
};

// A str: an ASCII one is its own UTF-8 text; any other is encoded once.
class StrSource final : public TextSource {
 public:
  bool take(PyObject* arg) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(arg) < 0) return false;
#endif
    if (PyUnicode_IS_ASCII(arg)) {
      Py_INCREF(arg);
      held_ = PyRef(arg);
      hold(static_cast<const char*>(PyUnicode_DATA(arg)),
           static_cast<size_t>(PyUnicode_GET_LENGTH(arg)), true, false);
      return true;
    }
    held_ = PyRef(PyUnicode_AsUTF8String(arg));
    if (!held_) return false;
    hold(PyBytes_AS_STRING(held_.get()), static_cast<size_t>(PyBytes_GET_SIZE(held_.get())),
         true, false);
    return true;
  }
  void close() override {
    held_ = PyRef();
    hold(nullptr, 0, true, false);
  }

 private:
  bool read(char*, size_t, size_t* got) override {
    *got = 0;
    return true;
  }
  PyRef held_;
};

// A file object of the caller's, read through its read1(n) when it has one
// (at most one read of the system, so a pipe gives what it has) or read(n).
class FileObjectSource final : public TextSource {
 public:
  bool take(PyObject* arg, const char* param) {
    param_ = param;
    const char* name = PyObject_HasAttrString(arg, "read1") ? "read1" : "read";
    read_ = PyRef(PyObject_GetAttrString(arg, name));
    return static_cast<bool>(read_);
  }
  void close() override { read_ = PyRef(); }

 private:
  bool read(char* into, size_t size, size_t* got) override {
    *got = 0;
    if (!read_) return true;
    PyRef data(PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(size)));
    if (!data) return false;
    if (PyUnicode_Check(data.get())) {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': the file gives str, not bytes: open it in binary mode "
                   "('rb'), or pass sys.stdin.buffer for standard input",
                   param_);
      return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data.get(), &view, PyBUF_SIMPLE) < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': the file's read() gave '%s', not bytes",
                   param_, Py_TYPE(data.get())->tp_name);
      return false;
    }
    const size_t length = static_cast<size_t>(view.len);
    if (length > size) {
      PyBuffer_Release(&view);
      PyErr_Format(PyExc_ValueError, "argument '%s': the file's read() gave more than asked",
                   param_);
      return false;
    }
    std::memcpy(into, view.buf, length);
    PyBuffer_Release(&view);
    *got = length;
    return true;
  }
  const char* param_ = "";
  PyRef read_;
};

// A file named by a path, opened here and closed by close().
class PathSource final : public TextSource {
 public:
  bool open_path(PyObject* arg) {
    // The path as os.fspath() gives it, which is how errors name it.
    name_ = PyRef(PyOS_FSPath(arg));
    if (!name_) return false;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(name_.get(), &encoded)) return false;
    path_ = PyRef(encoded);
    do {
      fd_ = ::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR && PyErr_CheckSignals() == 0);
    if (fd_ < 0) {
      if (!PyErr_Occurred()) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.get());
      return false;
    }
    // A small file is read in one go: one buffer, no text cut by a read.
    struct stat status;
    regular_ = fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    if (regular_ && status.st_size > 0)
      read_size_ = std::clamp(static_cast<size_t>(status.st_size) + 1, kReadSize, kLargestRead);
    // A larger one is read a chunk ahead, on a thread of its own; a pipe
    // or a terminal is not, since nothing could interrupt a read of it that
    // waits.
    if (regular_ && static_cast<size_t>(status.st_size) >= kLargestRead) {
      try {
        for (auto& chunk : chunks_) chunk.reset(new char[kTail + kChunk + kPadding]);
        ahead_ = std::make_unique<ChunkReader>(fd_, kChunk);
        ahead_->start(chunks_[filling_].get() + kTail);
      } catch (const std::system_error&) {
        for (auto& chunk : chunks_) chunk.reset();
      }
    }
    return true;
  }
  ~PathSource() override { close(); }
  void close() override {
    // In a process forked from the one that made it, the reader is left as
    // it is (see ChunkReader::usable); otherwise its thread is joined
    // before the file goes.
    if (ahead_ && !ahead_->usable()) (void)ahead_.release();
    ahead_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool read_more(size_t passed, bool* short_read) override {
    if (!ahead_) return TextSource::read_more(passed, short_read);
    *short_read = false;
    const std::string_view window = this->window();
    const std::string_view rest = window.substr(std::min(passed, window.size()));
    if (at_end()) {
      show(rest.data(), rest.size(), true, padded());
      return true;
    }
    if (!ahead_->usable()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this stream reads its file on a thread of the process that made it: "
                      "a process made by fork() must start a stream of its own");
      return false;
    }
    size_t got = 0;
    int error = 0;
    while (!ahead_->wait(std::chrono::milliseconds(50), &got, &error)) {
      if (PyErr_CheckSignals() < 0) return false;
    }
    if (error != 0) {
      errno = error;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.get());
      return false;
    }
    char* const chunk = chunks_[filling_].get() + kTail;
    const bool end = got < kChunk;
    if (rest.size() <= kTail) {
      // What is kept goes just before the chunk, which the other buffer
      // (the old window's, now free) reads next.
      char* const start = chunk - rest.size();
      if (!rest.empty()) std::memcpy(start, rest.data(), rest.size());
      show(start, rest.size() + got, end, true);
      filling_ = 1 - filling_;
    } else {
      // A text longer than the room before a chunk: both go to a buffer of
      // their own, and the same chunk buffer reads next.
      std::unique_ptr<char[]> joined(new char[rest.size() + got + kPadding]);
      std::memcpy(joined.get(), rest.data(), rest.size());
      std::memcpy(joined.get() + rest.size(), chunk, got);
      overflow_ = std::move(joined);
      show(overflow_.get(), rest.size() + got, end, true);
    }
    if (!end) ahead_->start(chunks_[filling_].get() + kTail);
    return true;
  }

 private:
  bool read(char* into, size_t size, size_t* got) override {
    *got = 0;
    if (fd_ < 0) return true;
    while (*got < size) {
      const ssize_t n = ::read(fd_, into + *got, size - *got);
      if (n < 0) {
        if (errno != EINTR) {
          PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.get());
          return false;
        }
        if (PyErr_CheckSignals() < 0) return false;
        continue;
      }
      // A regular file reads on to its end, which is then known at once;
      // anything else gives what it has.
      if (n == 0) {
        ended_ = true;
        break;
      }
      *got += static_cast<size_t>(n);
      if (!regular_) break;
    }
    return true;
  }
  bool ended() const override { return ended_; }
  size_t read_size() const override { return read_size_; }

  // The most a read of a file asks for: a file up to this size is read
  // whole, a larger one in chunks of it.
  static constexpr size_t kLargestRead = size_t{4} << 20;
  // A chunk read ahead: a few handovers a second between the threads, and
  // the two chunks' buffers still well within the shared cache.
  static constexpr size_t kChunk = size_t{4} << 20;
  // Room kept before each chunk for the text that the chunk before cut.
  static constexpr size_t kTail = size_t{1} << 20;

  int fd_ = -1;
  // Reading ahead: two buffers, the one the window lies in and the one
  // `ahead_` fills, and one for a text longer than kTail.
  std::unique_ptr<ChunkReader> ahead_;
  std::unique_ptr<char[]> chunks_[2];
  int filling_ = 0;
  std::unique_ptr<char[]> overflow_;
  bool regular_ = false;
  bool ended_ = false;
  size_t read_size_ = kReadSize;
  PyRef path_;  // the encoded path
  PyRef name_;  // as given, for error messages
};

}  // namespace

std::unique_ptr<TextSource> TextSource::open(PyObject* arg, const char* param) {
  if (PyUnicode_Check(arg)) {
    auto source = std::make_unique<StrSource>();
    return source->take(arg) ? std::move(source) : nullptr;
  }
  if (PyObject_CheckBuffer(arg)) {
    auto source = std::make_unique<BufferSource>();
    return source->export_from(arg, param) ? std::move(source) : nullptr;
  }
  if (PyObject_HasAttrString(arg, "__fspath__")) {
    auto source = std::make_unique<PathSource>();
    return source->open_path(arg) ? std::move(source) : nullptr;
  }
  if (PyObject_HasAttrString(arg, "read")) {
    auto source = std::make_unique<FileObjectSource>();
    return source->take(arg, param) ? std::move(source) : nullptr;
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': a str, a bytes-like object, a binary file or a path is "
               "required, not '%s'",
               param, Py_TYPE(arg)->tp_name);
  return nullptr;
}

bool TextSource::read_more(size_t passed, bool* short_read) {
  begin_ += std::min(passed, end_ - begin_);
  *short_read = false;
  if (at_end_) return true;
  const size_t kept = end_ - begin_;
  const size_t read_size = this->read_size();
  // Room for a whole read after what is kept; the buffer grows when one
  // text has taken most of it.
  if (capacity_ - kept < read_size / 2) {
    const size_t capacity = std::max(2 * capacity_, kept + read_size);
    std::unique_ptr<char[]> grown(new char[capacity + kPadding]);
    if (kept) std::memcpy(grown.get(), data_ + begin_, kept);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  } else if (kept && begin_) {
    std::memmove(buffer_.get(), data_ + begin_, kept);
  }
  show(buffer_.get(), kept, false, true);
  const size_t want = std::min(capacity_ - kept, read_size);
  size_t got = 0;
  if (!read(buffer_.get() + kept, want, &got)) return false;
  end_ += got;
  at_end_ = got == 0 || ended();
  *short_read = got < want;
  return true;
}

}  // namespace tamsel::binding
