#include "binding/stream_input.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <sys/stat.h>

#include <algorithm>
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

// The UTF-8 text of a str that is not ASCII, encoded a read at a time from
// the str's own code points, which nothing can change: without the
// interpreter lock, and never whole. A lone surrogate, which has no UTF-8
// form, fails the read that meets it, with the interpreter's own error.
class StrReader final : public texts::Reader {
 public:
  explicit StrReader(PyObject* str)
      : str_(str),
        kind_(PyUnicode_KIND(str)),
        data_(PyUnicode_DATA(str)),
        length_(static_cast<size_t>(PyUnicode_GET_LENGTH(str))) {}

  Read read(char* into, size_t size, size_t* got, texts::Waiting& waiting) override {
    const texts::LetGo let_go(waiting);
    switch (kind_) {
      case PyUnicode_1BYTE_KIND: *got = encode(static_cast<const Py_UCS1*>(data_), into, size); break;
      case PyUnicode_2BYTE_KIND: *got = encode(static_cast<const Py_UCS2*>(data_), into, size); break;
      default: *got = encode(static_cast<const Py_UCS4*>(data_), into, size); break;
    }
    // The bytes before a surrogate are read; the read after fails.
    return surrogate_ && *got == 0 ? Read::kFailed : Read::kOk;
  }
  // A read may give a few bytes less than asked, where a character does
  // not fit: only a read that gives nothing is the end.
  bool may_wait() const override { return false; }
  size_t read_size() const override { return size_t{1} << 20; }

  // After a failed read: the interpreter's UnicodeEncodeError for the
  // surrogate, as encoding the str whole raises it.
  void raise_error() const {
    const Py_ssize_t at = static_cast<Py_ssize_t>(at_);
    PyRef error(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", str_, at,
                                      at + 1, "surrogates not allowed"));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  }

 private:
  // Encodes code points from at_ on into `out`, as many whole ones as fit
  // in `room` bytes; the bytes written.
  template <class Unit>
  size_t encode(const Unit* units, char* out, size_t room) {
    char* const start = out;
    char* const end = out + room;
    size_t i = at_;
    while (i < length_) {
      // A run of ASCII, found eight bytes at a time and copied whole.
      const size_t run =
          ascii_run(units + i, std::min(length_ - i, static_cast<size_t>(end - out)));
      if (run > 0) {
        narrow(units + i, run, out);
        out += run;
        i += run;
        continue;
      }
      const uint32_t c = units[i];
      const size_t need = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      if (static_cast<size_t>(end - out) < need) break;
      if (c >= 0xD800 && c <= 0xDFFF) {
        surrogate_ = true;
        break;
      }
      if (need == 2) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (need == 3) {
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
      }
      ++i;
    }
    at_ = i;
    return static_cast<size_t>(out - start);
  }

  // Copies `count` ASCII units as bytes.
  static void narrow(const Py_UCS1* units, size_t count, char* out) {
    std::memcpy(out, units, count);
  }
  template <class Unit>
  static void narrow(const Unit* units, size_t count, char* out) {
    size_t k = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 2) {
      for (; k + 8 <= count; k += 8) {
        const __m128i wide = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(wide, wide));
      }
    }
#endif
    for (; k < count; ++k) out[k] = static_cast<char>(units[k]);
  }

  // How many of the `count` units at `units` are ASCII before one is not.
  template <class Unit>
  static size_t ascii_run(const Unit* units, size_t count) {
    constexpr uint64_t kHigh = sizeof(Unit) == 1   ? 0x8080808080808080ull
                               : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ull
                                                   : 0xFFFFFF80FFFFFF80ull;
    constexpr size_t kPerWord = 8 / sizeof(Unit);
    size_t i = 0;
    for (; i + 2 * kPerWord <= count; i += 2 * kPerWord) {
      uint64_t words[2];
      std::memcpy(words, units + i, 16);
      if ((words[0] | words[1]) & kHigh) break;
    }
    while (i < count && units[i] < 0x80) ++i;
    return i;
  }

  PyObject* const str_;  // borrowed: the input holds it
  const int kind_;
  const void* const data_;
  const size_t length_;
  size_t at_ = 0;  // the next code point
  bool surrogate_ = false;
};

// Bytes in memory: a buffer exported for the life of the input (so that a
// bytearray cannot be resized under it, nor an mmap closed), or a str. A
// bytes object and an ASCII str never change, and are read where they lie;
// anything else may, by any thread, so it is read in copies made with the
// interpreter lock held; a str that is not ASCII is encoded as it is read.
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
    held_ = PyRef::borrow(arg);
    if (PyUnicode_IS_ASCII(arg)) {
      bytes_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(arg)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(arg)));
    } else {
      // Encoded a read at a time, so the stream holds no copy of it whole.
      encoded_.emplace(arg);
    }
    return true;
  }
  ~MemoryInput() override { close(); }

  texts::StreamSource source() override {
    texts::StreamSource source;
    if (copied_) {
      source.reader = &*copied_;
    } else if (encoded_) {
      source.reader = &*encoded_;
    } else {
      source.memory = bytes_;
    }
    return source;
  }
  void raise_read_error() override {
    if (encoded_) {
      encoded_->raise_error();
      return;
    }
    PyErr_SetString(PyExc_SystemError, "memory cannot fail");
  }
  void close() override {
    copied_.reset();
    encoded_.reset();
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
  std::optional<StrReader> encoded_;
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
    return descriptor_ < 0 || texts::nothing_ready(descriptor_);
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
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode))) {
      descriptor_ = fd;
      texts::widen_pipe(fd);
    }
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
