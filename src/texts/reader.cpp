#include "texts/reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace tamsel::texts {
namespace {

// A read of a regular file asks for this much at most: few calls, and a
// buffer that stays within the shared cache.
constexpr size_t kLargestFileRead = size_t{4} << 20;
// A writer that is producing refills a pipe within this: a stream that
// waits this long before it hands out what it has reads larger pieces, and
// one that follows a live writer hands out a moment later.
constexpr int kGraceMilliseconds = 1;
constexpr int kWidePipe = 1 << 20;

}  // namespace

bool nothing_ready(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, kGraceMilliseconds) == 0;
}

void widen_pipe(int fd) {
#if defined(F_SETPIPE_SZ)
  struct stat status;
  if (fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) && fcntl(fd, F_GETPIPE_SZ) < kWidePipe)
    (void)fcntl(fd, F_SETPIPE_SZ, kWidePipe);
#else
  (void)fd;
#endif
}

FdReader::FdReader(int fd) : fd_(fd) {
  struct stat status;
  if (fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
    regular_ = true;
    file_size_ = static_cast<uint64_t>(status.st_size);
  }
  if (!regular_) widen_pipe(fd_);
}

FdReader::~FdReader() {
  if (fd_ >= 0) ::close(fd_);
}

size_t FdReader::read_size() const {
  if (!regular_) return Reader::read_size();
  // A small file is read in one go: one buffer, no text cut by a read.
  return std::clamp<size_t>(static_cast<size_t>(file_size_) + 1, Reader::read_size(),
                            kLargestFileRead);
}

bool FdReader::may_wait() const {
  if (regular_) return false;
  return short_read_ && nothing_ready(fd_);
}

Reader::Read FdReader::read(char* into, size_t size, size_t* got, Waiting& waiting) {
  *got = 0;
  const LetGo let_go(waiting);
  while (*got < size) {
    if (!regular_) {
      // Waited for in turns, so that a stop is seen whichever thread a
      // signal reaches.
      pollfd ready{fd_, POLLIN, 0};
      const int polled =
          ::poll(&ready, 1, static_cast<int>(Waiting::kLookInterval.count()));
      if (polled == 0 || (polled < 0 && errno == EINTR)) {
        if (waiting.stop_requested()) return Read::kStopped;
        continue;
      }
    }
    const ssize_t n = ::read(fd_, into + *got, size - *got);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) {
        if (waiting.stop_requested()) return Read::kStopped;
        continue;
      }
      error_ = errno;
      return Read::kFailed;
    }
    if (n == 0) break;
    *got += static_cast<size_t>(n);
    // A regular file reads on to its end; anything else gives what it has.
    if (!regular_) break;
  }
  short_read_ = *got < size;
  return Read::kOk;
}

Opened open_for_reading(const char* path, Waiting& waiting) {
  Opened opened;
  const LetGo let_go(waiting);
  for (;;) {
    opened.fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (opened.fd >= 0) break;
    if (errno != EINTR) {
      opened.error = errno;
      return opened;
    }
    if (waiting.stop_requested()) {
      opened.stopped = true;
      return opened;
    }
  }
  struct stat status;
  if (fstat(opened.fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(opened.fd);
    opened.fd = -1;
    opened.error = EISDIR;
  }
  return opened;
}

Reader::Read MemoryReader::read(char* into, size_t size, size_t* got, Waiting&) {
  *got = std::min(size, bytes_.size() - at_);
  std::memcpy(into, bytes_.data() + at_, *got);
  at_ += *got;
  return Read::kOk;
}

}  // namespace tamsel::texts
