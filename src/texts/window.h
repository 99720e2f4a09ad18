// The bytes of a stream that the texts not yet run may need: a window that
// slides forward as they are run. Bytes in memory are one window that never
// slides; a reader's bytes are read into a buffer of the window's own, a
// read at a time, which grows only when one text does not fit in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "texts/reader.h"
#include "texts/waiting.h"

namespace tamsel::texts {

class Window {
 public:
  // Bytes a parser may read after a buffer of the window's own.
  static constexpr size_t kPadding = 64;

  // The stream held in memory; `padded` when it may be read kPadding bytes
  // past its end.
  Window(std::string_view memory, bool padded);
  // The stream that `reader` reads (not owned), read from its first read_more().
  explicit Window(Reader& reader);

  // The bytes not yet dropped, and whether the stream ends with them.
  std::string_view bytes() const { return std::string_view(data_ + begin_, end_ - begin_); }
  bool at_end() const { return at_end_; }
  // Whether the bytes may be read kPadding bytes past their end.
  bool padded() const { return padded_; }
  // Whether they are the stream's own memory, which stays where it is.
  bool in_memory() const { return reader_ == nullptr; }
  // Bytes dropped before the window, from the stream's start.
  uint64_t offset() const { return offset_; }
  // Whether reading more could wait for bytes not there yet (Reader::may_wait).
  bool may_wait() const { return reader_ && !at_end_ && reader_->may_wait(); }
  // The most the buffer held at once.
  size_t most_held() const { return capacity_; }

  // Drops the first `passed` bytes and reads more after the rest. Reading
  // at the end does nothing.
  Reader::Read read_more(size_t passed, Waiting& waiting);

 private:
  Reader* reader_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  const char* data_ = nullptr;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t offset_ = 0;
  bool at_end_ = false;
  bool padded_ = false;
};

}  // namespace tamsel::texts
