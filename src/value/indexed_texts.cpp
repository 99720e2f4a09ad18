#include "value/indexed_texts.h"

#include <simdjson.h>

#include <new>

#include "tamsel_limits.h"
#include "value/projected_tape.h"

namespace tamsel {

IndexedTexts::IndexedTexts() = default;
IndexedTexts::~IndexedTexts() = default;

bool IndexedTexts::index(const char* data, size_t size) {
  data_ = data;
  size_ = size;
  count_ = 0;
  if (size == 0 || data[size - 1] != '\n') return false;
  if (!stage1_ || stage1_->capacity() < size) {
    stage1_.reset();
    if (simdjson::get_active_implementation()->create_dom_parser_implementation(
            size, kMaxJsonDepth, stage1_) != simdjson::SUCCESS)
      throw std::bad_alloc();
  }
  if (stage1_->stage1(reinterpret_cast<const uint8_t*>(data), size,
                      simdjson::stage1_mode::regular) != simdjson::SUCCESS ||
      !ProjectedTapeReader::escapes_taken(data, size))
    return false;
  uint32_t* offsets = stage1_->structural_indexes.get();
  count_ = static_cast<uint32_t>(stage1_->n_structural_indexes);
  // What follows the last structural character is the final line break,
  // which is no structural character: a reader that runs past the last
  // one meets it and stops.
  for (uint32_t k = count_; k < count_ + 3; ++k) offsets[k] = static_cast<uint32_t>(size - 1);
  offsets_ = offsets;
  return true;
}

}  // namespace tamsel
