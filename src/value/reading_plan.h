// How a program reads its documents: for what its query needs (a
// Projection), or whole.
//
// A projected read checks the whole text but builds only the projection, so
// it pays when the projection leaves most of a document out; where it
// builds most of one, simdjson's own parse of the whole is faster. So the
// plan learns from each projected read: after one that built most of its
// document, the next reads are whole, and now and then a projected read
// looks again, in case the documents have changed. Callers cannot tell the
// two ways apart but by their speed.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "value/projection.h"

namespace tamsel {

class ReadingPlan {
 public:
  // For a projection that is not whole.
  explicit ReadingPlan(Projection projection) : projection_(std::move(projection)) {}

  // The projection to read the next document for, or nullptr to read it whole.
  const Projection* next_read() {
    uint32_t left = whole_reads_left_.load(std::memory_order_relaxed);
    if (left == 0) return &projection_;
    whole_reads_left_.store(left - 1, std::memory_order_relaxed);
    return nullptr;
  }

  // A projected read wrote `tape_words` words for a text of `structurals`
  // structural characters (a whole read writes a little more words than that).
  void projected_read(size_t tape_words, size_t structurals) {
    if (tape_words > structurals / kBuiltShareDenominator)
      whole_reads_left_.store(kWholeReadsBetweenLooks, std::memory_order_relaxed);
  }

 private:
  // A read that built more than a half of its document did not pay.
  static constexpr size_t kBuiltShareDenominator = 2;
  static constexpr uint32_t kWholeReadsBetweenLooks = 31;

  Projection projection_;
  // Relaxed: a read that races another sees an older choice, which is only
  // slower, never wrong.
  std::atomic<uint32_t> whole_reads_left_{0};
};

}  // namespace tamsel
