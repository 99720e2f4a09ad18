// One pass of simdjson's first stage over a stretch of a stream that holds
// many texts, so that they are read one after another without a pass of
// their own each: the stretch's structural characters are found once, its
// UTF-8 and its escapes checked once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace simdjson::internal {
class dom_parser_implementation;
}

namespace tamsel {

class IndexedTexts {
 public:
  IndexedTexts();
  ~IndexedTexts();
  IndexedTexts(const IndexedTexts&) = delete;
  IndexedTexts& operator=(const IndexedTexts&) = delete;

  // Indexes the `size` bytes at `data`, which end with a line break and may
  // be read up to 64 bytes past their end. A line break cannot lie inside
  // a valid string, nor split a character, so no valid text is cut by the
  // stretch's end, and a text cut there fails to read. Returns false when
  // the stretch is not one to read this way (bytes that are not UTF-8, a
  // string left open or holding a control character, an escape that only
  // the whole-document parse takes): its texts are then read one by one,
  // which decides how they fail.
  bool index(const char* data, size_t size);

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  // The offsets of the structural characters, in order; offset(count())
  // is the final line break, which ends the last token and starts nothing.
  uint32_t count() const { return count_; }
  const uint32_t* offsets() const { return offsets_; }
  uint32_t offset(uint32_t k) const { return offsets_[k]; }
  // The structural character at offset `at`, looked for from the k-th on
  // (texts are read in order); count() when none is there.
  uint32_t structural_at(size_t at, uint32_t from) const {
    uint32_t k = from;
    while (k < count_ && offsets_[k] < at) ++k;
    return k < count_ && offsets_[k] == at ? k : count_;
  }

 private:
  std::unique_ptr<simdjson::internal::dom_parser_implementation> stage1_;
  const char* data_ = nullptr;
  size_t size_ = 0;
  const uint32_t* offsets_ = nullptr;
  uint32_t count_ = 0;
};

}  // namespace tamsel
