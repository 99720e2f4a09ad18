// A large regular file read a chunk ahead on a thread of its own, one chunk
// ahead of its reader: the copy out of the system's file cache then runs
// beside the work on the chunk before instead of in front of it. The
// thread touches no Python object and is joined when the reader goes.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "texts/reader.h"

namespace tamsel::texts {

class ReadAheadReader final : public Reader {
 public:
  // Files from this size up are worth it.
  static constexpr uint64_t kFrom = uint64_t{4} << 20;

  // Reads `fd` (taken over, closed with the reader) from its current
  // offset on. Throws std::system_error when no thread can be started.
  explicit ReadAheadReader(int fd, uint64_t size_hint = 0);
  ~ReadAheadReader() override;
  ReadAheadReader(const ReadAheadReader&) = delete;
  ReadAheadReader& operator=(const ReadAheadReader&) = delete;

  Read read(char* into, size_t size, size_t* got, Waiting& waiting) override;
  bool may_wait() const override { return false; }
  bool regular() const override { return true; }
  size_t read_size() const override { return kChunk; }
  uint64_t size_hint() const override { return size_hint_; }
  ReadError read_error() const override { return error_; }
  bool free_threaded() const override { return true; }

  // Whether this process is the one that made the reader. A process made
  // by fork() has no copy of its thread, and its copies of the lock and
  // the condition may stand for the thread's hold of them: it must neither
  // use the reader nor destroy it, only leave it be.
  bool usable() const { return getpid() == owner_; }

 private:
  // A chunk: a few handovers a second between the threads, and the two
  // chunks' buffers still well within the shared cache.
  static constexpr size_t kChunk = size_t{4} << 20;

  void run();
  // Waits for the chunk asked for last; false when `waiting` asked to stop.
  bool wait_for_chunk(Waiting& waiting);

  const int fd_;
  const uint64_t size_hint_;
  off_t offset_;  // the thread's own
  std::unique_ptr<char[]> chunks_[2];
  int reading_ = 0;  // the chunk the thread fills, or filled last
  // What the reader hands out: the rest of the chunk not reading.
  const char* ready_ = nullptr;
  size_t ready_size_ = 0;
  bool end_ = false;
  ReadError error_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_: a chunk asked for (null while none is), and the outcome
  // of the read asked for last.
  char* target_ = nullptr;
  bool done_ = true;
  bool stop_ = false;
  size_t got_ = 0;
  int read_errno_ = 0;
  const pid_t owner_;
  std::thread thread_;
};

}  // namespace tamsel::texts
