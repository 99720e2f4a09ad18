#include "texts/read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/quiet_thread.h"

namespace tamsel::texts {

ReadAheadReader::ReadAheadReader(int fd, uint64_t size_hint)
    : fd_(fd), size_hint_(size_hint), offset_(lseek(fd, 0, SEEK_CUR)), owner_(getpid()) {
  try {
    for (auto& chunk : chunks_) chunk.reset(new char[kChunk]);
    thread_ = runtime::start_quiet_thread("tv-read-ahead", [this] { run(); });
  } catch (...) {
    ::close(fd_);
    throw;
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    target_ = chunks_[reading_].get();
    done_ = false;
  }
  changed_.notify_all();
}

ReadAheadReader::~ReadAheadReader() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  ::close(fd_);
}

bool ReadAheadReader::wait_for_chunk(Waiting& waiting) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (done_) return true;
  lock.unlock();
  const LetGo let_go(waiting);
  lock.lock();
  while (!changed_.wait_for(lock, Waiting::kLookInterval, [this] { return done_; })) {
    lock.unlock();
    const bool stop = waiting.stop_requested();
    lock.lock();
    if (stop) return false;
  }
  return true;
}

Reader::Read ReadAheadReader::read(char* into, size_t size, size_t* got, Waiting& waiting) {
  *got = 0;
  if (!usable()) {
    error_.forked = true;
    return Read::kFailed;
  }
  while (*got < size) {
    if (ready_size_ == 0) {
      if (end_) break;
      if (!wait_for_chunk(waiting)) return Read::kStopped;
      size_t read;
      int read_errno;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        read = got_;
        read_errno = read_errno_;
      }
      if (read_errno != 0) {
        error_.error = read_errno;
        return Read::kFailed;
      }
      ready_ = chunks_[reading_].get();
      ready_size_ = read;
      end_ = read < kChunk;
      if (!end_) {
        // The other chunk is free: the thread fills it meanwhile.
        reading_ = 1 - reading_;
        {
          const std::lock_guard<std::mutex> lock(mutex_);
          target_ = chunks_[reading_].get();
          done_ = false;
        }
        changed_.notify_all();
      }
      continue;
    }
    const size_t taken = std::min(size - *got, ready_size_);
    std::memcpy(into + *got, ready_, taken);
    ready_ += taken;
    ready_size_ -= taken;
    *got += taken;
  }
  return Read::kOk;
}

void ReadAheadReader::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    runtime::wait_for_work(changed_, lock, [this] { return stop_ || target_ != nullptr; });
    if (stop_) return;
    char* const into = target_;
    lock.unlock();
    // A regular file reads on to the chunk's end or its own.
    size_t got = 0;
    int error = 0;
    while (got < kChunk) {
      const ssize_t n = pread(fd_, into + got, kChunk - got, offset_ + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    offset_ += static_cast<off_t>(got);
    lock.lock();
    target_ = nullptr;
    got_ = got;
    read_errno_ = error;
    done_ = true;
    changed_.notify_all();
  }
}

}  // namespace tamsel::texts
