// Substring search in time linear in the text plus the pattern, whatever
// their content: a query may search a megabyte of "a" for "a…ab".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tamsel::engine {

class SubstringSearch {
 public:
  static constexpr size_t npos = std::string_view::npos;

  explicit SubstringSearch(std::string_view pattern);

  // Offset of the first occurrence in `text`, or npos. An empty pattern is
  // found at 0.
  size_t first(std::string_view text) const;
  // Offset of the last occurrence, or npos. An empty pattern is found at the
  // end.
  size_t last(std::string_view text) const;

  // Calls on_match(offset) for each occurrence, left to right, until it
  // returns false: overlapping occurrences too, or only those that start
  // after the previous one ended. The pattern must not be empty.
  template <class OnMatch>
  void each(std::string_view text, bool overlapping, OnMatch&& on_match) const;

 private:
  // Patterns this short are found with the library's search, which is
  // fastest in practice and, for so short a pattern, linear as well.
  static constexpr size_t kShortPattern = 8;

  std::string_view pattern_;
  // Knuth-Morris-Pratt: for each prefix length i + 1, the length of its
  // longest proper border. Empty for short patterns.
  std::vector<uint32_t> border_;
};

template <class OnMatch>
void SubstringSearch::each(std::string_view text, bool overlapping, OnMatch&& on_match) const {
  const size_t m = pattern_.size();
  if (border_.empty()) {
    for (size_t at = text.find(pattern_); at != npos;
         at = text.find(pattern_, at + (overlapping ? 1 : m))) {
      if (!on_match(at)) return;
    }
    return;
  }
  size_t matched = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    while (matched > 0 && text[i] != pattern_[matched]) matched = border_[matched - 1];
    if (text[i] == pattern_[matched]) ++matched;
    if (matched == m) {
      if (!on_match(i + 1 - m)) return;
      matched = overlapping ? border_[m - 1] : 0;
    }
  }
}

}  // namespace tamsel::engine
