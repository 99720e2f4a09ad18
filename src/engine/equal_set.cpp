#include "engine/equal_set.h"

#include <algorithm>
#include <cmath>

#include "runtime/bounds.h"

namespace tamsel::engine {
namespace {

// Each comparison counts as work, so a long array's sort is polled too.
template <typename T>
void sort_unique(std::vector<T>& items) {
  std::sort(items.begin(), items.end(), [](const T& a, const T& b) {
    runtime::note_work();
    return a < b;
  });
  items.erase(std::unique(items.begin(), items.end()), items.end());
}

// Binary search; for doubles, -0.0 and 0.0 are one value under < as under ==.
template <typename T>
bool has(const std::vector<T>& sorted, T x) {
  return std::binary_search(sorted.begin(), sorted.end(), x);
}

}  // namespace

EqualSet::EqualSet(const View& array) {
  for (View w : array.elements()) {
    runtime::note_work();
    switch (w.kind()) {
      case Kind::Null: null_ = true; break;
      case Kind::Bool: (w.as_bool() ? true_ : false_) = true; break;
      case Kind::I64:
        if (w.as_i64() < 0) {
          negatives_.push_back(w.as_i64());
        } else {
          naturals_.push_back(static_cast<uint64_t>(w.as_i64()));
        }
        integers_as_doubles_.push_back(w.as_double());
        break;
      case Kind::U64:
        naturals_.push_back(w.as_u64());
        integers_as_doubles_.push_back(w.as_double());
        break;
      case Kind::F64:
        if (!std::isnan(w.as_f64())) floats_.push_back(w.as_f64());
        break;
      case Kind::String: strings_.push_back(w.as_string()); break;
      case Kind::Array:
      case Kind::Object: break;
    }
  }
  sort_unique(negatives_);
  sort_unique(naturals_);
  sort_unique(integers_as_doubles_);
  sort_unique(floats_);
  sort_unique(strings_);
}

bool EqualSet::contains_equal(const View& v) const {
  switch (v.kind()) {
    case Kind::Null: return null_;
    case Kind::Bool: return v.as_bool() ? true_ : false_;
    case Kind::I64: {
      const int64_t i = v.as_i64();
      const bool exact = i < 0 ? has(negatives_, i) : has(naturals_, static_cast<uint64_t>(i));
      return exact || has(floats_, v.as_double());
    }
    case Kind::U64: return has(naturals_, v.as_u64()) || has(floats_, v.as_double());
    case Kind::F64: {
      const double d = v.as_f64();
      return !std::isnan(d) && (has(floats_, d) || has(integers_as_doubles_, d));
    }
    case Kind::String: return has(strings_, v.as_string());
    case Kind::Array:
    case Kind::Object: return false;
  }
  return false;
}

}  // namespace tamsel::engine
