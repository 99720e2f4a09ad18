// Reads a regular file a chunk at a time on a thread of its own, one chunk
// ahead of its caller: the copy out of the system's file cache then runs
// beside the work on the chunk before instead of in front of it. The thread
// touches no Python object and is joined when the reader goes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace tamsel::binding {

class ChunkReader {
 public:
  // Reads `fd` from its current offset on, `chunk` bytes at a time. Throws
  // std::system_error when no thread can be started.
  ChunkReader(int fd, size_t chunk);
  ~ChunkReader();
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Starts reading the next chunk into `into`, which has room for a chunk
  // and stays untouched until wait() says the read is done.
  void start(char* into);
  // Waits at most `timeout` for the read started last: true once it is
  // done, with how much it read in `got` (less than a chunk at the end of
  // the file, 0 past it) or the errno of its failure in `error`.
  bool wait(std::chrono::milliseconds timeout, size_t* got, int* error);

  // Whether this process is the one that made the reader. A process made
  // by fork() has no copy of its thread, and its copies of the lock and
  // the condition may stand for the thread's hold of them: it must neither
  // use the reader nor destroy it, only leave it be.
  bool usable() const { return getpid() == owner_; }

 private:
  void run();

  const int fd_;
  const size_t chunk_;
  off_t offset_;  // the thread's own
  std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_: the buffer to read into (null while none is asked for),
  // and the outcome of the read asked for last.
  char* target_ = nullptr;
  bool done_ = true;
  bool stop_ = false;
  size_t got_ = 0;
  int error_ = 0;
  const pid_t owner_;
  std::thread thread_;
};

}  // namespace tamsel::binding
