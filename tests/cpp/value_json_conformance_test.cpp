// The parser against the JSONTestSuite files, and the error scanner against
// simdjson: both must agree on which texts are JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "value/json.h"
#include "value/json_scan.h"

namespace tamsel {
namespace {

const std::filesystem::path kSuite = "/work/shared/json-test-suite";

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The parser accepts exactly the texts in which the scanner finds no error,
// and when it refuses one it reports the scanner's error.
void expect_agreement(JsonParser& parser, const std::string& text, const std::string& label) {
  auto result = parser.parse(text);
  auto diagnosis = json_scan::diagnose(text);
  if (std::holds_alternative<Value>(result)) {
    EXPECT_FALSE(diagnosis.has_value()) << label << ": accepted, but scanner says "
                                        << diagnosis->message();
  } else {
    ASSERT_TRUE(diagnosis.has_value()) << label << ": refused with "
                                       << std::get<JsonError>(result).message()
                                       << " but the scanner finds no error";
    EXPECT_EQ(std::get<JsonError>(result).message(), diagnosis->message()) << label;
  }
}

TEST(JsonConformance, TestSuiteFiles) {
  if (!std::filesystem::is_directory(kSuite)) GTEST_SKIP() << "no " << kSuite;
  JsonParser parser;
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(kSuite)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    const std::string text = read_file(entry.path());
    const bool accepted = std::holds_alternative<Value>(parser.parse(text));
    if (name.starts_with("y_")) {
      EXPECT_TRUE(accepted) << name;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(accepted) << name;
    }
    expect_agreement(parser, text, name);
    ++files;
  }
  EXPECT_GT(files, 250u);
}

// Single-byte edits of valid documents: whatever the edit breaks, the
// parser's verdict and the scanner's must match.
TEST(JsonConformance, EditedDocumentsAgree) {
  const std::string seeds[] = {
      R"({"a": [1, -0, 2.5e-3, true, false, null], "b\"c": "\u00e9\ud83d\ude00", "d": {}})",
      R"([0, -12, 3.0E+2, "x\\y", [[[]]], {"k": "v", "k": -0.0}, 18446744073709551615])",
      "  \"caf\xC3\xA9 \xF0\x9F\x98\x80\"  ",
  };
  const char replacements[] = "[]{},:\"\\-+.0123456789eEtfnu \t\n\x01\x80\xC3\xFF";
  std::mt19937 random(12345);
  JsonParser parser;
  for (const std::string& seed : seeds) {
    expect_agreement(parser, seed, seed);
    for (int i = 0; i < 3000; ++i) {
      std::string text = seed;
      const size_t at = random() % text.size();
      const char byte = replacements[random() % (sizeof replacements - 1)];
      switch (random() % 3) {
        case 0: text[at] = byte; break;
        case 1: text.insert(text.begin() + at, byte); break;
        default: text.erase(at, 1); break;
      }
      expect_agreement(parser, text, text);
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace tamsel
