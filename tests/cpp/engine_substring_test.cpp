#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/substring.h"

namespace tamsel::engine {
namespace {

std::vector<size_t> all(std::string_view text, std::string_view pattern, bool overlapping) {
  std::vector<size_t> found;
  SubstringSearch(pattern).each(text, overlapping, [&](size_t at) {
    found.push_back(at);
    return true;
  });
  return found;
}

// The same answers as the library's search, for short patterns (library
// path) and long ones (the linear path), with borders that overlap.
TEST(SubstringSearch, AgreesWithTheLibrary) {
  const std::string texts[] = {"", "a", std::string(40, 'a'), "abababababababababab",
                               "xxaabaabaabaabaabaabyy", "héllo wörld héllo wörld héllo"};
  const std::string patterns[] = {"a", "ab", "aaaaaaaaaa", "abababababa", "aabaabaabaab",
                                  "héllo wörld", "zzzzzzzzzzzz", std::string(41, 'a')};
  for (const std::string& text : texts) {
    for (const std::string& pattern : patterns) {
      const std::string_view t(text);
      SubstringSearch search(pattern);
      EXPECT_EQ(search.first(t), t.find(pattern)) << text << " / " << pattern;
      EXPECT_EQ(search.last(t), t.rfind(pattern)) << text << " / " << pattern;
      std::vector<size_t> overlapping, disjoint;
      for (size_t at = t.find(pattern); at != t.npos; at = t.find(pattern, at + 1))
        overlapping.push_back(at);
      for (size_t at = t.find(pattern); at != t.npos; at = t.find(pattern, at + pattern.size()))
        disjoint.push_back(at);
      EXPECT_EQ(all(t, pattern, true), overlapping) << text << " / " << pattern;
      EXPECT_EQ(all(t, pattern, false), disjoint) << text << " / " << pattern;
    }
  }
  EXPECT_EQ(SubstringSearch("").first("abc"), 0u);
  EXPECT_EQ(SubstringSearch("").last("abc"), 3u);
}

// The case that is quadratic for a naive search: it must finish at once.
TEST(SubstringSearch, LongPeriodicTextAndPattern) {
  const std::string text(1 << 20, 'a');
  const std::string pattern = std::string(1 << 19, 'a') + "b";
  SubstringSearch search(pattern);
  EXPECT_EQ(search.first(text), SubstringSearch::npos);
  EXPECT_EQ(search.last(text), SubstringSearch::npos);
  EXPECT_EQ(all(text, std::string(1 << 19, 'a'), true).size(), (1u << 19) + 1);
}

}  // namespace
}  // namespace tamsel::engine
