#include "engine/substring.h"

namespace tamsel::engine {

SubstringSearch::SubstringSearch(std::string_view pattern) : pattern_(pattern) {
  if (pattern.size() <= kShortPattern) return;
  border_.assign(pattern.size(), 0);
  uint32_t k = 0;
  for (size_t i = 1; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border_[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border_[i] = k;
  }
}

size_t SubstringSearch::first(std::string_view text) const {
  if (border_.empty()) return text.find(pattern_);
  size_t found = npos;
  each(text, false, [&](size_t at) {
    found = at;
    return false;
  });
  return found;
}

size_t SubstringSearch::last(std::string_view text) const {
  if (pattern_.empty()) return text.size();
  if (border_.empty()) return text.rfind(pattern_);
  size_t found = npos;
  each(text, true, [&](size_t at) {
    found = at;
    return true;
  });
  return found;
}

}  // namespace tamsel::engine
