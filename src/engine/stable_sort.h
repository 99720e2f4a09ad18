// A stable sort that tolerates inconsistent comparators.
//
// The sort order of values is not a strict weak order once NaN is involved
// (NaN ties with 1 and with 2 although 1 < 2), and std::stable_sort makes no
// promise for such comparators. This merge sort only ever asks "does b go
// strictly before a?" and moves elements between buffers it indexes itself,
// so whatever the answers it finishes in O(n log n) comparisons and leaves a
// permutation of its input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "runtime/bounds.h"

namespace tamsel::engine {

// Runs up to this length are sorted by insertion first.
inline constexpr size_t kInsertionRun = 20;

// Sorts `items` so that no element is placed after one it is `before`; equal
// elements keep their order. `before(a, b)` is true when a sorts strictly
// before b.
template <typename T, typename Before>
void stable_sort_values(std::vector<T>& items, Before before) {
  const size_t n = items.size();
  for (size_t start = 0; start < n; start += kInsertionRun) {
    size_t end = std::min(n, start + kInsertionRun);
    runtime::note_work(static_cast<uint32_t>(end - start));
    for (size_t i = start + 1; i < end; ++i) {
      // Each step moves the gap one place left, so this ends after at most
      // i - start steps whatever `before` answers.
      T item = std::move(items[i]);
      size_t j = i;
      while (j > start && before(item, items[j - 1])) {
        items[j] = std::move(items[j - 1]);
        --j;
      }
      items[j] = std::move(item);
    }
  }
  if (n <= kInsertionRun) return;

  std::vector<T> buffer(n);
  std::vector<T>* from = &items;
  std::vector<T>* to = &buffer;
  for (size_t width = kInsertionRun; width < n; width *= 2) {
    for (size_t left = 0; left < n; left += 2 * width) {
      size_t mid = std::min(n, left + width);
      size_t right_end = std::min(n, left + 2 * width);
      size_t i = left, j = mid, k = left;
      // Take from the right run only when its head goes strictly first: ties
      // keep the left element first, which makes the merge stable. Each step
      // counts as work: one merge of a long array is a long loop.
      while (i < mid && j < right_end) {
        runtime::note_work();
        if (before((*from)[j], (*from)[i])) {
          (*to)[k++] = std::move((*from)[j++]);
        } else {
          (*to)[k++] = std::move((*from)[i++]);
        }
      }
      while (i < mid) (*to)[k++] = std::move((*from)[i++]);
      while (j < right_end) (*to)[k++] = std::move((*from)[j++]);
    }
    std::swap(from, to);
  }
  if (from != &items) items = std::move(*from);
}

}  // namespace tamsel::engine
