// The cut finder names exactly the places between texts that the splitter's
// rules give, whatever bytes it is shown at a time and wherever it is cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "texts/cut_finder.h"
#include "texts/text_splitter.h"

namespace tamsel::texts {
namespace {

// Where the splitter, by its rules alone (every guess refuted), stands once
// it has taken every text that the first `n` bytes of `stream` finish.
size_t expected_cut(const std::string& stream, size_t n, bool lines) {
  TextSplitter splitter(lines, false);
  splitter.set_window(std::string_view(stream).substr(0, n), false);
  for (;;) {
    TextSplitter::Text text;
    if (splitter.next(&text) != TextSplitter::Step::kText) return splitter.passed();
    if (text.guess) {
      splitter.refute();
    } else {
      splitter.take();
    }
  }
}

std::string random_stream(std::mt19937& random, size_t size) {
  // Mostly the bytes the rules turn on, and some of everything else.
  static const std::string kBytes = "{}[]\"\\ \n\t\r,:a1-e.x\xC3\xA9";
  std::uniform_int_distribution<size_t> pick(0, kBytes.size() - 1);
  std::string s;
  for (size_t i = 0; i < size; ++i) s.push_back(kBytes[pick(random)]);
  return s;
}

// Real texts back to back: objects, arrays, strings with escapes, tokens.
std::string random_json_stream(std::mt19937& random, size_t texts) {
  static const char* kTexts[] = {
      "{\"a\": [1, 2, {\"b\": \"x]y\"}]}", "[\"\\\\\", \"\\\"\", []]", "\"plain\"", "123",
      "true", "{\"k\":\"\\u00e9\\n\\\\\\\"}\"}", "[[[[]]]]", "-1.5e3", "\"a\\\\\"", "{}",
  };
  static const char* kBetween[] = {"\n", " ", "", "\r\n", "\n\n", "\t"};
  std::uniform_int_distribution<size_t> text(0, std::size(kTexts) - 1);
  std::uniform_int_distribution<size_t> between(0, std::size(kBetween) - 1);
  std::string s;
  for (size_t i = 0; i < texts; ++i) {
    s += kTexts[text(random)];
    s += kBetween[between(random)];
  }
  return s;
}

// Shows the finder the stream in steps of at most `step` bytes, cutting it
// now and then, and checks the cut after each look.
void check_looks(const std::string& stream, bool lines, size_t step, std::mt19937& random) {
  CutFinder finder(lines, false);
  std::uniform_int_distribution<size_t> sizes(1, step);
  size_t region_start = 0, seen = 0;
  while (seen < stream.size()) {
    seen = std::min(stream.size(), seen + sizes(random));
    finder.look(std::string_view(stream).substr(region_start, seen - region_start));
    const size_t expected = expected_cut(stream, seen, lines);
    const size_t found = finder.last_cut() == 0 ? 0 : region_start + finder.last_cut();
    ASSERT_EQ(found, expected <= region_start ? 0 : expected)
        << "after " << seen << " bytes of \"" << stream << "\"";
    if (finder.last_cut() > 0 && random() % 3 == 0) {
      region_start += finder.last_cut();
      finder.cut(finder.last_cut());
    }
  }
  EXPECT_EQ(finder.looked_at(), stream.size());
}

TEST(CutFinder, FindsEveryPlaceBetweenTextsOfRandomBytes) {
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    const std::string stream = random_stream(random, 1 + random() % 300);
    for (bool lines : {false, true}) check_looks(stream, lines, 1 + random() % 200, random);
  }
}

TEST(CutFinder, FindsEveryPlaceBetweenTextsOfRealTexts) {
  std::mt19937 random(11);
  for (int round = 0; round < 1000; ++round) {
    const std::string stream = random_json_stream(random, 1 + random() % 60);
    for (bool lines : {false, true}) check_looks(stream, lines, 1 + random() % 400, random);
  }
}

TEST(CutFinder, BlocksDeepInsideATextAndAtItsEnd) {
  // Blocks of 64 bytes where no text ends, where one ends at a bracket, and
  // where escapes run across a block's edge.
  const std::vector<std::string> cases = {
      "{\"a\":\"" + std::string(200, 'x') + "\"}\n{\"b\":1}",
      "[" + std::string(63, ' ') + "\"" + std::string(62, '\\') + "\\\"]\"]  [1]",
      "{\"s\":\"" + std::string(57, 'y') + "\\\\\"," + std::string(70, '\\') + "\"}\n 7",
      std::string(130, '[') + std::string(130, ']') + "\n" + std::string(70, ']'),
  };
  std::mt19937 random(3);
  for (const std::string& stream : cases) {
    for (size_t step : {1, 7, 64, 65, 1000}) check_looks(stream, false, step, random);
  }
}

TEST(CutFinder, NeverCutsInsideAByteOrderMark) {
  const std::string stream = "\xEF\xBB\xBF{\"a\":1}\n";
  for (size_t shown = 1; shown <= stream.size(); ++shown) {
    CutFinder finder(false, true);
    finder.look(std::string_view(stream).substr(0, shown));
    EXPECT_TRUE(finder.last_cut() == 0 || finder.last_cut() >= 3) << shown;
  }
  CutFinder finder(false, true);
  finder.look(stream);
  EXPECT_EQ(finder.last_cut(), stream.size());
}

}  // namespace
}  // namespace tamsel::texts
