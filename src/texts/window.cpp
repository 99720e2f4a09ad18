#include "texts/window.h"

#include <algorithm>
#include <cstring>

namespace tamsel::texts {

Window::Window(std::string_view memory, bool padded)
    : data_(memory.data()), end_(memory.size()), at_end_(true), padded_(padded) {}

Window::Window(Reader& reader) : reader_(&reader) {}

Reader::Read Window::read_more(size_t passed, Waiting& waiting) {
  passed = std::min(passed, end_ - begin_);
  begin_ += passed;
  offset_ += passed;
  if (at_end_) return Reader::Read::kOk;
  const size_t kept = end_ - begin_;
  const size_t read_size = reader_->read_size();
  // Room for a whole read after what is kept; the buffer grows when one
  // text has taken most of it.
  if (capacity_ - kept < read_size / 2) {
    const size_t capacity = std::max(2 * capacity_, kept + read_size);
    std::unique_ptr<char[]> grown(new char[capacity + kPadding]);
    if (kept) std::memcpy(grown.get(), data_ + begin_, kept);
    buffer_ = std::move(grown);
    capacity_ = capacity;
  } else if (kept && begin_) {
    std::memmove(buffer_.get(), data_ + begin_, kept);
  }
  data_ = buffer_.get();
  begin_ = 0;
  end_ = kept;
  padded_ = true;
  const size_t want = std::min(capacity_ - kept, read_size);
  size_t got = 0;
  const Reader::Read read = reader_->read(buffer_.get() + kept, want, &got, waiting);
  if (read != Reader::Read::kOk) return read;
  end_ += got;
  std::memset(buffer_.get() + end_, 0, kPadding);
  // A regular file gives all it is asked for up to its end.
  at_end_ = got == 0 || (reader_->regular() && got < want);
  return Reader::Read::kOk;
}

}  // namespace tamsel::texts
