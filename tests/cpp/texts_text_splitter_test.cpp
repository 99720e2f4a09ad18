// The splitter finds the same texts whatever windows the stream comes in,
// whether its guesses are confirmed or refuted, and counts lines across
// windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "texts/text_splitter.h"

namespace tamsel::texts {
namespace {

struct Found {
  std::string text;
  uint64_t offset;
  uint64_t line;
  bool operator==(const Found&) const = default;
};

// Splits `stream`, given `chunk` bytes at a time. A guess is confirmed when
// `confirms` says its line is one text, as a parse would.
std::vector<Found> split(const std::string& stream, bool lines, size_t chunk,
                         const std::function<bool(const std::string&)>& confirms) {
  TextSplitter splitter(lines);
  std::string window;
  size_t read = 0;
  auto give = [&] {
    window.erase(0, splitter.hand_over());
    const size_t more = std::min(chunk, stream.size() - read);
    window.append(stream, read, more);
    read += more;
    splitter.set_window(window, read == stream.size());
  };
  give();
  std::vector<Found> found;
  for (;;) {
    TextSplitter::Text text;
    const TextSplitter::Step step = splitter.next(&text);
    if (step == TextSplitter::Step::kEnd) break;
    if (step == TextSplitter::Step::kNeedMore) {
      give();
      continue;
    }
    std::string bytes(text.bytes);
    if (text.guess && !confirms(bytes)) {
      splitter.refute();
      continue;
    }
    // A confirmed guess may carry the white space after its value.
    while (!bytes.empty() && is_json_space(bytes.back()) && !lines) bytes.pop_back();
    EXPECT_EQ(text.index, found.size());
    found.push_back({bytes, text.offset, splitter.line_of(text.offset)});
    splitter.take();
  }
  return found;
}

struct Case {
  const char* stream;
  bool lines;
  std::vector<Found> texts;
};

const std::vector<Case> kCases = {
    {"", false, {}},
    {" \n\t\r ", false, {}},
    {"1 2", false, {{"1", 0, 1}, {"2", 2, 1}}},
    {"[1][2]", false, {{"[1]", 0, 1}, {"[2]", 3, 1}}},
    {"{\"a\":\"]\"}{}", false, {{"{\"a\":\"]\"}", 0, 1}, {"{}", 9, 1}}},
    {"\"a\\\"\"\"b\"", false, {{"\"a\\\"\"", 0, 1}, {"\"b\"", 5, 1}}},
    {"1\"a\"[2]x", false, {{"1", 0, 1}, {"\"a\"", 1, 1}, {"[2]", 4, 1}, {"x", 7, 1}}},
    {"] 1,2 [1}", false, {{"]", 0, 1}, {"1,2", 2, 1}, {"[1}", 6, 1}}},
    {"[1,\n 2]\n\n3", false, {{"[1,\n 2]", 0, 1}, {"3", 9, 4}}},
    {"\xEF\xBB\xBF[1]\n2", false, {{"[1]", 3, 1}, {"2", 7, 2}}},
    {"[\"open", false, {{"[\"open", 0, 1}}},
    {"1\n\n 2 3\n[4", true, {{"1", 0, 1}, {" 2 3", 3, 3}, {"[4", 8, 4}}},
    {"\xEF\xBB\xBF{}\r\n \n{}", true, {{"{}\r", 3, 1}, {"{}", 9, 3}}},
};

// A parse confirms a line that is exactly one of the texts, with white
// space around it.
std::function<bool(const std::string&)> one_of(const std::vector<Found>& texts) {
  return [&texts](const std::string& line) {
    const size_t begin = line.find_first_not_of(" \t\r\n");
    const size_t end = line.find_last_not_of(" \t\r\n");
    if (begin == std::string::npos) return false;
    const std::string value = line.substr(begin, end + 1 - begin);
    return std::any_of(texts.begin(), texts.end(),
                       [&](const Found& text) { return text.text == value; });
  };
}

TEST(TextSplitter, SplitsTheSameInEveryWindowWithOrWithoutGuesses) {
  const auto never = [](const std::string&) { return false; };
  for (const Case& c : kCases) {
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1000}}) {
      EXPECT_EQ(split(c.stream, c.lines, chunk, never), c.texts)
          << "stream " << c.stream << ", chunk " << chunk;
      EXPECT_EQ(split(c.stream, c.lines, chunk, one_of(c.texts)), c.texts)
          << "stream " << c.stream << ", chunk " << chunk << ", guesses confirmed";
    }
  }
}

TEST(TextSplitter, CountsLinesAcrossWindows) {
  std::string stream;
  for (int i = 0; i < 5000; ++i) stream += std::to_string(i) + (i % 3 ? " " : "\n");
  const auto numbers = [](const std::string& line) {
    return line.find(' ') == std::string::npos;
  };
  for (size_t chunk : {size_t{5}, size_t{4096}}) {
    const std::vector<Found> found = split(stream, false, chunk, numbers);
    ASSERT_EQ(found.size(), 5000u);
    EXPECT_EQ(found.back().line, 1 + 4999 / 3 + 1);
  }
  EXPECT_EQ(count_line_breaks(stream.data(), stream.size()), 1667u);
}

}  // namespace
}  // namespace tamsel::texts
