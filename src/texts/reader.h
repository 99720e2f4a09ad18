// Where the bytes of a stream come from when they are not all in memory:
// a file descriptor (a regular file, a pipe, a FIFO, a device, a socket),
// or a reader the binding supplies (a file object of the caller's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "texts/waiting.h"

namespace tamsel::texts {

// Why a read of the system failed: its errno, or that the reader reads on a
// thread of the process that made it, which a process made by fork() has
// no copy of.
struct ReadError {
  int error = 0;
  bool forked = false;
};

class Reader {
 public:
  enum class Read {
    kOk,       // `got` bytes, 0 at the end
    kFailed,   // the reader keeps why, for its caller to report
    kStopped,  // the waiting asked to stop while the read waited
  };

  virtual ~Reader() = default;

  // Reads at most `size` bytes into `into`, storing how many in `got`.
  // While the read may wait for bytes, it lets go as `waiting` says and
  // looks for a stop.
  virtual Read read(char* into, size_t size, size_t* got, Waiting& waiting) = 0;

  // Whether the next read could wait for bytes that are not there yet, as
  // a pipe whose writer has given all it has for now would: a stream then
  // hands out what it has made before it reads again. A reader that cannot
  // tell says so after a read that gave less than it asked for.
  virtual bool may_wait() const = 0;

  // Whether every read gives all it asks for, up to the end (a regular
  // file): pieces may then be cut at the size wanted.
  virtual bool regular() const { return false; }

  // How many bytes a read should ask for.
  virtual size_t read_size() const { return size_t{256} << 10; }

  // How many bytes the source holds in all, when it knows (a regular
  // file); 0 when it does not.
  virtual uint64_t size_hint() const { return 0; }

  // After kFailed, for a reader of the system's files: why.
  virtual ReadError read_error() const { return {}; }

  // Whether read() may be called on a thread of the module's own, with a
  // waiting that lets go of nothing: not for a reader that needs what the
  // caller's waiting guards (the binding's file objects).
  virtual bool free_threaded() const { return false; }
};

// A file descriptor, closed with the reader.
class FdReader final : public Reader {
 public:
  explicit FdReader(int fd);
  ~FdReader() override;
  FdReader(const FdReader&) = delete;
  FdReader& operator=(const FdReader&) = delete;

  Read read(char* into, size_t size, size_t* got, Waiting& waiting) override;
  bool may_wait() const override;
  bool regular() const override { return regular_; }
  size_t read_size() const override;
  uint64_t size_hint() const override { return file_size_; }

  ReadError read_error() const override { return {error_, false}; }
  bool free_threaded() const override { return true; }

  int fd() const { return fd_; }
  // Gives up the descriptor, for a reader that reads it another way.
  int release() { return std::exchange(fd_, -1); }
  // The size of a regular file when it was opened.
  uint64_t file_size() const { return file_size_; }

 private:
  int fd_;
  bool regular_ = false;
  uint64_t file_size_ = 0;
  int error_ = 0;
  bool short_read_ = false;
};

// Whether a descriptor that may wait (a pipe, a socket, a terminal) has
// no bytes ready, given a moment's grace for a writer that is producing.
bool nothing_ready(int fd);
// Lets a pipe hold more (up to what the system allows for a user), so that
// a fast writer and the stream hand over larger reads. Best effort.
void widen_pipe(int fd);

// What opening a path for reading came to: a descriptor, or the errno of
// the failure (EISDIR for a directory, which open() itself allows), or a
// stop asked for while open() waited (a FIFO waits for its writer).
struct Opened {
  int fd = -1;
  int error = 0;
  bool stopped = false;
};
Opened open_for_reading(const char* path, Waiting& waiting);

// The bytes of a stream held in memory, read as a reader: for memory that
// something else may change (a bytearray another thread writes to), which
// is then only read in copies made while the caller holds what guards it.
class MemoryReader final : public Reader {
 public:
  explicit MemoryReader(std::string_view bytes) : bytes_(bytes) {}
  Read read(char* into, size_t size, size_t* got, Waiting& waiting) override;
  bool may_wait() const override { return false; }
  bool regular() const override { return true; }
  size_t read_size() const override { return size_t{1} << 20; }
  uint64_t size_hint() const override { return bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

}  // namespace tamsel::texts
