// The bytes of a source as text: decompressed when they start with the
// mark of gzip or zstd, passed through untouched otherwise. Where the
// source may be read off the caller's thread (a file, a pipe, bytes that
// stay as they are), a thread of the reader's own reads and decompresses a
// few blocks ahead while the caller's thread runs the texts; a source the
// caller must read itself (a file object) is decompressed as it is read.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "texts/decoder.h"
#include "texts/reader.h"
#include "value/compression.h"

namespace tamsel::texts {

class DecodingReader final : public Reader {
 public:
  // What `inner` reads (not owned; it outlives this reader), told by its
  // first bytes.
  explicit DecodingReader(Reader& inner);
  // Compressed bytes in memory in `format`, which stay as they are while
  // the reader reads them.
  DecodingReader(std::string_view memory, Compression format);
  ~DecodingReader() override;
  DecodingReader(const DecodingReader&) = delete;
  DecodingReader& operator=(const DecodingReader&) = delete;

  Read read(char* into, size_t size, size_t* got, Waiting& waiting) override;
  bool may_wait() const override;
  bool regular() const override;
  size_t read_size() const override;
  uint64_t size_hint() const override;
  ReadError read_error() const override;

  // After kFailed: why the source could not be read as text (it is
  // broken, or compressed in a format this module does not read), or ""
  // when the source's own read failed.
  const std::string& broken() const { return broken_; }
  // The format the source is in, once its first bytes were read.
  Compression format() const { return format_; }
  // Bytes of text made by decompression.
  uint64_t decompressed() const { return decompressed_.load(std::memory_order_relaxed); }
  // Whether this process is the one that started its thread, if it has one
  // (see ReadAheadReader::usable()).
  bool usable() const { return !thread_.joinable() || getpid() == owner_; }

 private:
  enum class Mode {
    kFirstBytes,  // not read yet
    kPlain,       // passed through
    kInline,      // decompressed on the caller's thread, as it reads
    kAhead,       // decompressed on the reader's own thread
    kRefused,     // in a format not read here, or broken
  };
  struct Block {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };
  // How the thread ended, or kRunning.
  enum class Ended { kRunning, kEnd, kFailed, kBroken, kStopped };

  Read read_first(char* into, size_t size, size_t* got, Waiting& waiting);
  void start(Compression format);
  Read read_inline(char* into, size_t size, size_t* got, Waiting& waiting);
  Read read_ahead(char* into, size_t size, size_t* got, Waiting& waiting);
  // Makes room after the input not yet decoded and reads more into it.
  Read refill(Waiting& waiting, size_t* got);
  // One decode step into `out`; false when the data is broken.
  bool decode(char* out, size_t room, size_t* made, bool* needs_input);
  void run();

  Reader* const inner_ = nullptr;
  Mode mode_ = Mode::kFirstBytes;
  Compression format_ = Compression::kNone;
  std::unique_ptr<Decoder> decoder_;
  std::string broken_;
  std::atomic<uint64_t> decompressed_{0};
  // A failure or a stop met after bytes were handed out, for the next read.
  Read pending_ = Read::kOk;

  // Compressed input: the memory given, or a buffer the inner reader fills.
  std::unique_ptr<char[]> buffer_;
  size_t input_capacity_ = 0;  // the size of buffer_
  const char* input_ = nullptr;
  size_t input_begin_ = 0;
  size_t input_end_ = 0;
  bool input_done_ = false;  // the inner reader has no more

  // The reader's own thread, and the blocks it fills, handed over under mutex_.
  std::unique_ptr<Block[]> blocks_;
  size_t current_ = SIZE_MAX;  // the block being handed out, and how far
  size_t taken_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<size_t> ready_;  // filled, in order
  std::deque<size_t> free_;
  Ended ended_ = Ended::kRunning;
  std::atomic<bool> stop_{false};  // set under mutex_, looked at without it as well
  bool forked_ = false;
  bool inner_regular_ = false;
  pid_t owner_ = 0;
  std::thread thread_;
};

}  // namespace tamsel::texts
