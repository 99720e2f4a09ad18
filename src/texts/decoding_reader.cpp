#include "texts/decoding_reader.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "runtime/quiet_thread.h"

namespace tamsel::texts {
namespace {

// The blocks of text the thread fills ahead, and the compressed input read
// a time: a few hand-overs a millisecond at a gigabyte a second, and all of
// it within the shared cache.
constexpr size_t kBlock = size_t{1} << 20;
constexpr size_t kBlocks = 4;
constexpr size_t kInput = size_t{1} << 20;

// How the reader's thread waits for its source: it lets go of nothing, and
// stops when the reader goes.
class ThreadWaiting final : public Waiting {
 public:
  explicit ThreadWaiting(const std::atomic<bool>& stop) : stop_(stop) {}
  bool stop_requested() override { return stop_.load(std::memory_order_relaxed); }

 private:
  const std::atomic<bool>& stop_;
};

}  // namespace

DecodingReader::DecodingReader(Reader& inner) : inner_(&inner) {}

DecodingReader::DecodingReader(std::string_view memory, Compression format)
    : format_(format), input_(memory.data()), input_end_(memory.size()), input_done_(true) {}

DecodingReader::~DecodingReader() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

Reader::Read DecodingReader::read(char* into, size_t size, size_t* got, Waiting& waiting) {
  *got = 0;
  if (pending_ != Read::kOk) return pending_;
  switch (mode_) {
    case Mode::kFirstBytes: return read_first(into, size, got, waiting);
    case Mode::kPlain: return inner_->read(into, size, got, waiting);
    case Mode::kInline: return read_inline(into, size, got, waiting);
    case Mode::kAhead: return read_ahead(into, size, got, waiting);
    case Mode::kRefused: return Read::kFailed;
  }
  return Read::kFailed;
}

Reader::Read DecodingReader::read_first(char* into, size_t size, size_t* got, Waiting& waiting) {
  if (!inner_) {
    start(format_);
    return read(into, size, got, waiting);
  }
  // The first bytes are read where the caller wants them: a source that
  // is not compressed is handed out as it was read.
  for (;;) {
    size_t n = 0;
    const Read outcome = inner_->read(into + *got, size - *got, &n, waiting);
    if (outcome != Read::kOk) {
      if (*got == 0) return outcome;
      mode_ = Mode::kPlain;
      pending_ = outcome;
      return Read::kOk;
    }
    *got += n;
    const std::string_view start(into, *got);
    if (n == 0 || *got == size || !could_be_compressed(start)) break;
  }
  const Compression format = compression_of(std::string_view(into, *got));
  if (format == Compression::kNone) {
    mode_ = Mode::kPlain;
    return Read::kOk;
  }
  // The first read may have been larger than the input buffer.
  input_capacity_ = std::max(kInput, *got);
  buffer_.reset(new char[input_capacity_]);
  std::memcpy(buffer_.get(), into, *got);
  input_ = buffer_.get();
  input_end_ = *got;
  *got = 0;
  start(format);
  return read(into, size, got, waiting);
}

void DecodingReader::start(Compression format) {
  format_ = format;
  if (!decompressed_here(format)) {
    broken_ = not_decompressed_here(format);
    mode_ = Mode::kRefused;
    return;
  }
  decoder_ = make_decoder(format);
  inner_regular_ = !inner_ || inner_->regular();
  if (!inner_ || inner_->free_threaded()) {
    try {
      blocks_ = std::make_unique<Block[]>(kBlocks);
      for (size_t i = 0; i < kBlocks; ++i) {
        blocks_[i].bytes.reset(new char[kBlock]);
        free_.push_back(i);
      }
      owner_ = getpid();
      thread_ = runtime::start_quiet_thread("tv-decode", [this] { run(); });
      mode_ = Mode::kAhead;
      return;
    } catch (const std::system_error&) {
      // No thread to decompress on: the caller's does it as it reads.
    }
  }
  mode_ = Mode::kInline;
}

Reader::Read DecodingReader::refill(Waiting& waiting, size_t* got) {
  *got = 0;
  const size_t left = input_end_ - input_begin_;
  if (input_begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + input_begin_, left);
    input_begin_ = 0;
    input_end_ = left;
  }
  if (input_end_ == input_capacity_) {
    // A header larger than the buffer (a gzip name or comment of megabytes)
    // is read whole: the decoder takes it only whole.
    std::unique_ptr<char[]> larger(new char[input_capacity_ * 2]);
    std::memcpy(larger.get(), buffer_.get(), input_end_);
    buffer_ = std::move(larger);
    input_ = buffer_.get();
    input_capacity_ *= 2;
  }
  const Read outcome =
      inner_->read(buffer_.get() + input_end_, input_capacity_ - input_end_, got, waiting);
  if (outcome != Read::kOk) return outcome;
  if (*got == 0) input_done_ = true;
  input_end_ += *got;
  return Read::kOk;
}

bool DecodingReader::decode(char* out, size_t room, size_t* made, bool* needs_input) {
  const std::string_view input(input_ + input_begin_, input_end_ - input_begin_);
  const Decoder::Step step = decoder_->decode(input, input_done_, out, room);
  input_begin_ += step.used;
  *made = step.made;
  decompressed_.fetch_add(step.made, std::memory_order_relaxed);
  if (step.failed) {
    broken_ = decoder_->failure();
    return false;
  }
  *needs_input = step.used == 0 && step.made == 0;
  return true;
}

Reader::Read DecodingReader::read_inline(char* into, size_t size, size_t* got, Waiting& waiting) {
  // Hands out what was made before a failure or a stop, and that at the
  // next read.
  auto after = [&](Read outcome) {
    if (*got == 0) return outcome;
    pending_ = outcome;
    return Read::kOk;
  };
  while (*got < size) {
    size_t made = 0;
    bool needs_input = false;
    bool decoded;
    {
      std::optional<LetGo> let_go;
      if (input_end_ - input_begin_ >= kLetGoFrom) let_go.emplace(waiting);
      decoded = decode(into + *got, size - *got, &made, &needs_input);
    }
    *got += made;
    if (!decoded) {
      mode_ = Mode::kRefused;
      return after(Read::kFailed);
    }
    if (!needs_input) continue;
    if (input_done_) break;
    // Before a read that may wait, what is made goes out.
    if (*got > 0 && inner_->may_wait()) break;
    size_t n = 0;
    if (const Read outcome = refill(waiting, &n); outcome != Read::kOk) return after(outcome);
  }
  return Read::kOk;
}

void DecodingReader::run() {
  ThreadWaiting waiting(stop_);
  Ended end = Ended::kRunning;
  std::unique_lock<std::mutex> lock(mutex_);
  while (end == Ended::kRunning) {
    runtime::wait_for_work(changed_, lock, [this] { return stop_ || !free_.empty(); });
    if (stop_) return;
    const size_t index = free_.front();
    free_.pop_front();
    lock.unlock();
    Block& block = blocks_[index];
    block.size = 0;
    while (block.size < kBlock && end == Ended::kRunning) {
      size_t made = 0;
      bool needs_input = false;
      if (!decode(block.bytes.get() + block.size, kBlock - block.size, &made, &needs_input))
        end = Ended::kBroken;
      block.size += made;
      if (end != Ended::kRunning || !needs_input) continue;
      if (input_done_) {
        end = Ended::kEnd;
        break;
      }
      // A source that may wait (a pipe) hands over what it gave so far
      // before it is read again.
      if (block.size > 0 && !inner_regular_ && inner_->may_wait()) break;
      size_t n = 0;
      const Read outcome = refill(waiting, &n);
      if (outcome == Read::kFailed) end = Ended::kFailed;
      if (outcome == Read::kStopped) end = Ended::kStopped;
    }
    lock.lock();
    if (block.size > 0) {
      ready_.push_back(index);
    } else {
      free_.push_front(index);
    }
    ended_ = end;
    changed_.notify_all();
  }
}

Reader::Read DecodingReader::read_ahead(char* into, size_t size, size_t* got, Waiting& waiting) {
  if (!usable()) {
    forked_ = true;
    return Read::kFailed;
  }
  while (*got < size) {
    if (current_ != SIZE_MAX) {
      const Block& block = blocks_[current_];
      const size_t n = std::min(size - *got, block.size - taken_);
      std::memcpy(into + *got, block.bytes.get() + taken_, n);
      taken_ += n;
      *got += n;
      if (taken_ < block.size) continue;
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(current_);
      }
      changed_.notify_all();
      current_ = SIZE_MAX;
      taken_ = 0;
      continue;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.empty()) {
      current_ = ready_.front();
      ready_.pop_front();
      continue;
    }
    if (ended_ != Ended::kRunning) {
      if (ended_ == Ended::kEnd) return Read::kOk;
      if (ended_ == Ended::kBroken) mode_ = Mode::kRefused;
      const Read outcome = ended_ == Ended::kStopped ? Read::kStopped : Read::kFailed;
      if (*got == 0) return outcome;
      pending_ = outcome;
      return Read::kOk;
    }
    // A source that may wait gives what there is now.
    if (*got > 0 && !inner_regular_) return Read::kOk;
    lock.unlock();
    const LetGo let_go(waiting);
    lock.lock();
    while (!changed_.wait_for(lock, Waiting::kLookInterval,
                              [this] { return !ready_.empty() || ended_ != Ended::kRunning; })) {
      lock.unlock();
      const bool stop = waiting.stop_requested();
      lock.lock();
      if (stop) return Read::kStopped;
    }
  }
  return Read::kOk;
}

bool DecodingReader::may_wait() const {
  switch (mode_) {
    case Mode::kFirstBytes: return inner_ && inner_->may_wait();
    case Mode::kPlain:
    case Mode::kInline: return inner_->may_wait();
    case Mode::kAhead: {
      if (inner_regular_) return false;
      const std::lock_guard<std::mutex> lock(mutex_);
      return current_ == SIZE_MAX && ready_.empty() && ended_ == Ended::kRunning;
    }
    case Mode::kRefused: return false;
  }
  return false;
}

bool DecodingReader::regular() const {
  // Decompressed text is handed out as it is made: a short read is no end.
  return (mode_ == Mode::kPlain || (mode_ == Mode::kFirstBytes && inner_)) && inner_->regular();
}

size_t DecodingReader::read_size() const {
  if (mode_ == Mode::kPlain || (mode_ == Mode::kFirstBytes && inner_)) return inner_->read_size();
  return kBlock;
}

uint64_t DecodingReader::size_hint() const {
  if (mode_ == Mode::kPlain || (mode_ == Mode::kFirstBytes && inner_)) return inner_->size_hint();
  return 0;
}

ReadError DecodingReader::read_error() const {
  ReadError error = inner_ ? inner_->read_error() : ReadError{};
  if (forked_) error.forked = true;
  return error;
}

}  // namespace tamsel::texts
