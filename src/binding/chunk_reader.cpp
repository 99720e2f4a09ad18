#include "binding/chunk_reader.h"

#include <cerrno>

#include <unistd.h>

#include "binding/quiet_thread.h"

namespace tamsel::binding {

ChunkReader::ChunkReader(int fd, size_t chunk)
    : fd_(fd),
      chunk_(chunk),
      offset_(lseek(fd, 0, SEEK_CUR)),
      owner_(getpid()),
      thread_(start_quiet_thread([this] { run(); })) {}

ChunkReader::~ChunkReader() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ChunkReader::start(char* into) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    target_ = into;
    done_ = false;
  }
  changed_.notify_all();
}

bool ChunkReader::wait(std::chrono::milliseconds timeout, size_t* got, int* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return done_; })) return false;
  *got = got_;
  *error = error_;
  return true;
}

void ChunkReader::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wait_for_work(changed_, lock, [this] { return stop_ || target_ != nullptr; });
    if (stop_) return;
    char* const into = target_;
    lock.unlock();
    // A regular file reads on to the chunk's end or its own.
    size_t got = 0;
    int error = 0;
    while (got < chunk_) {
      const ssize_t n = pread(fd_, into + got, chunk_ - got, offset_ + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    offset_ += static_cast<off_t>(got);
    lock.lock();
    target_ = nullptr;
    got_ = got;
    error_ = error;
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace tamsel::binding
