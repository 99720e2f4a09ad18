#include "binding/stream_input.h"

#include <poll.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#include "binding/interpreter_waiting.h"
#include "binding/json_input.h"
#include "binding/pending_error.h"
#include "binding/py_ref.h"
#include "texts/read_ahead.h"
#include "texts/reader.h"

namespace tamsel::binding {
namespace {

// Bytes in memory: a buffer exported for the life of the input (so that a
// bytearray cannot be resized under it, nor an mmap closed), or a str. A
// bytes object and a str never change; anything else may, by any thread,
// so it is read in copies made with the interpreter lock held.
class MemoryInput final : public StreamInput {
 public:
  bool export_buffer(PyObject* arg, const char* param) {
    if (!export_contiguous(arg, param, &view_)) return false;
    exported_ = true;
    bytes_ = std::string_view(static_cast<const char*>(view_.buf), static_cast<size_t>(view_.len));
    if (!(view_.obj && PyBytes_CheckExact(view_.obj))) copied_.emplace(bytes_);
    return true;
  }
  bool take_str(PyObject* arg) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(arg) < 0) return false;
#endif
    if (PyUnicode_IS_ASCII(arg)) {
      held_ = PyRef::borrow(arg);
      bytes_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(arg)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(arg)));
      return true;
    }
    // Encoded once, apart, so the str keeps no UTF-8 copy of its own.
    held_ = PyRef(PyUnicode_AsUTF8String(arg));
    if (!held_) return false;
    bytes_ = std::string_view(PyBytes_AS_STRING(held_.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(held_.get())));
    return true;
  }
  ~MemoryInput() override { close(); }

  texts::StreamSource source() override {
    texts::StreamSource source;
    if (copied_) {
      source.reader = &*copied_;
    } else {
      source.memory = bytes_;
    }
    return source;
  }
  void raise_read_error() override { PyErr_SetString(PyExc_SystemError, "memory cannot fail"); }
  void close() override {
    copied_.reset();
    if (exported_) PyBuffer_Release(&view_);
    exported_ = false;
    held_ = PyRef();
  }

 private:
  Py_buffer view_{};
  bool exported_ = false;
  PyRef held_;
  std::string_view bytes_;
  std::optional<texts::MemoryReader> copied_;
};

// A file object of the caller's, read through its read1(n) when it has one
// (at most one read of the system, so a pipe gives what it has) or read(n),
// with the interpreter lock held: it runs Python code.
class FileObjectReader final : public texts::Reader {
 public:
  bool take(PyObject* arg, const char* param) {
    param_ = param;
    const char* name = PyObject_HasAttrString(arg, "read1") ? "read1" : "read";
    read_ = PyRef(PyObject_GetAttrString(arg, name));
    if (!read_) return false;
    learn_descriptor(arg);
    return true;
  }
  void close() { read_ = PyRef(); }

  Read read(char* into, size_t size, size_t* got, texts::Waiting&) override {
    *got = 0;
    if (!read_) return Read::kOk;
    if (!read_into(into, size, got)) {
      error_.fetch();
      return Read::kFailed;
    }
    short_read_ = *got < size;
    return Read::kOk;
  }
  // After a read that gave less than it asked, the next may wait: unless
  // the file reads a pipe, a socket or a terminal that has bytes ready
  // (a buffered file that holds bytes of its own only reads faster).
  bool may_wait() const override {
    if (!short_read_) return false;
    if (descriptor_ < 0) return true;
    pollfd ready{descriptor_, POLLIN, 0};
    return ::poll(&ready, 1, 0) == 0;
  }

  PendingError& error() { return error_; }
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(read_.get());
    return error_.traverse(visit, arg);
  }

 private:
  bool read_into(char* into, size_t size, size_t* got) {
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

  // The descriptor of a file that reads a pipe, a socket or a terminal,
  // which fileno() gives; -1 for anything else.
  void learn_descriptor(PyObject* arg) {
    PyRef number(PyObject_CallMethod(arg, "fileno", nullptr));
    const int fd = number ? PyLong_AsLong(number.get()) : -1;
    PyErr_Clear();
    struct stat status;
    if (fd >= 0 && fstat(fd, &status) == 0 &&
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode)))
      descriptor_ = fd;
  }

  const char* param_ = "";
  PyRef read_;
  int descriptor_ = -1;
  bool short_read_ = false;
  PendingError error_;
};

class FileObjectInput final : public StreamInput {
 public:
  bool take(PyObject* arg, const char* param) { return reader_.take(arg, param); }
  texts::StreamSource source() override {
    texts::StreamSource source;
    source.reader = &reader_;
    return source;
  }
  void raise_read_error() override { reader_.error().raise(); }
  void close() override { reader_.close(); }
  int traverse(visitproc visit, void* arg) override { return reader_.traverse(visit, arg); }

 private:
  FileObjectReader reader_;
};

// A file named by a path, opened here and closed by close(): a large
// regular file read a chunk ahead on a thread of its own, where asked; a
// pipe, a FIFO or a device as it gives its bytes.
class PathInput final : public StreamInput {
 public:
  bool open_path(PyObject* arg, bool read_ahead) {
    // The path as os.fspath() gives it, which is how errors name it.
    name_ = PyRef(PyOS_FSPath(arg));
    if (!name_) return false;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(name_.get(), &encoded)) return false;
    const PyRef path(encoded);
    InterpreterWaiting waiting;
    const texts::Opened opened = texts::open_for_reading(PyBytes_AS_STRING(encoded), waiting);
    if (opened.stopped) return false;  // the signal handler's exception is pending
    if (opened.fd < 0) {
      errno = opened.error;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.get());
      return false;
    }
    auto file = std::make_unique<texts::FdReader>(opened.fd);
    if (read_ahead && file->regular() && file->file_size() >= texts::ReadAheadReader::kFrom) {
      try {
        const uint64_t size = file->file_size();
        ahead_ = std::make_unique<texts::ReadAheadReader>(file->fd(), size);
        (void)file->release();
        return true;
      } catch (const std::system_error&) {
        // No thread to read ahead with: read as it is asked for.
      }
    }
    file_ = std::move(file);
    return true;
  }
  ~PathInput() override { close(); }

  texts::StreamSource source() override {
    texts::StreamSource source;
    source.reader = ahead_ ? static_cast<texts::Reader*>(ahead_.get()) : file_.get();
    return source;
  }
  void raise_read_error() override {
    const texts::ReadError error = ahead_ ? ahead_->read_error() : file_->read_error();
    if (error.forked) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this stream reads its file on a thread of the process that made it: "
                      "a process made by fork() must start a stream of its own");
      return;
    }
    errno = error.error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.get());
  }
  void close() override {
    // In a process forked from the one that made it, the reader's thread
    // is not there: the reader is left as it is.
    if (ahead_ && !ahead_->usable()) (void)ahead_.release();
    ahead_.reset();
    file_.reset();
  }

 private:
  PyRef name_;  // as given, for error messages
  std::unique_ptr<texts::FdReader> file_;
  std::unique_ptr<texts::ReadAheadReader> ahead_;
};

}  // namespace

std::unique_ptr<StreamInput> StreamInput::open(PyObject* arg, const char* param,
                                               bool read_ahead) {
  if (PyUnicode_Check(arg)) {
    auto input = std::make_unique<MemoryInput>();
    return input->take_str(arg) ? std::move(input) : nullptr;
  }
  if (PyObject_CheckBuffer(arg)) {
    auto input = std::make_unique<MemoryInput>();
    return input->export_buffer(arg, param) ? std::move(input) : nullptr;
  }
  if (PyObject_HasAttrString(arg, "__fspath__")) {
    auto input = std::make_unique<PathInput>();
    return input->open_path(arg, read_ahead) ? std::move(input) : nullptr;
  }
  if (PyObject_HasAttrString(arg, "read")) {
    auto input = std::make_unique<FileObjectInput>();
    return input->take(arg, param) ? std::move(input) : nullptr;
  }
  PyErr_Format(PyExc_TypeError,
               "argument '%s': a str, a bytes-like object, a binary file or a path is "
               "required, not '%s'",
               param, Py_TYPE(arg)->tp_name);
  return nullptr;
}

}  // namespace tamsel::binding
