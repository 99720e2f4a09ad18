// The walk of a text hands its builder every value that simdjson's parse
// finds, in text order, and leaves to that parse what it does not take.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "value/json.h"
#include "value/text_walk.h"
#include "walk_recorder.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;
using test::Recorder;
using test::record;

// Walks `text` as a call does: written to a parser's work buffer, indexed
// by its first stage. kNotTaken when the first stage refuses it.
template <class Builder>
Walk walk(const std::string& text, Builder& out) {
  JsonParser parser;
  std::memcpy(parser.work_buffer(text.size()), text.data(), text.size());
  const auto index = parser.index_work_buffer(text.size());
  if (!index) return Walk::kNotTaken;
  std::string scratch;
  return walk_text(*index, out, scratch);
}

void expect_as_simdjson(const std::string& text, const std::string& label) {
  Recorder ours, theirs;
  ASSERT_EQ(walk(text, ours), Walk::kTaken) << label;
  dom::parser parser;
  dom::element root;
  ASSERT_EQ(parser.parse(text).get(root), simdjson::SUCCESS) << label;
  record(root, theirs);
  EXPECT_EQ(ours.calls, theirs.calls) << label;
}

TEST(TextWalk, TakesWhatSimdjsonReads) {
  const char* texts[] = {
      // Numbers on each way to their value: integers, the fast path, the
      // exact product of a long mantissa, and more than 19 digits.
      "0", "-0", "-0.0", "7", "1.5e-10", "9999999999999999999", "9223372036854775807",
      "9223372036854775808", "-922337203685477580", "1e-400", "5e-324", "1.5e300",
      "-2.5e-300", "1e22", "1e23", "0.1", "9007199254740993.0", "-65.613616999999977",
      "0.1234567890123456789", "0.00000000000000000000001234567890123456789",
      "123456789012345678901.5", "2.2250738585072014e-308", "1E+2", "1e-0007",
      // Strings and escapes, literals, containers, white space.
      "true", "false", "null", R"("")", R"("a\"b\\c\/d\b\f\n\r\t")",
      R"("\u00e9\ud83d\ude00\u0000")", R"("long enough to need more than one block of sixteen")",
      "[]", "{}", "[[]]", R"({"a":{}})", " [ 1 , { \"k\" : [ true , null ] } ] ",
      R"({"a":1,"a":2,"b":[1,2.5,"x"],"c":{"d":{"e":[[],{}]}}})", R"({"\u00e9\n":"x"})",
  };
  for (const char* text : texts) expect_as_simdjson(text, text);
  // Runs of every length, so that each count of digits is left over after
  // the eight read at a time, before a point, after it, before an exponent.
  const std::string digits = "98765432109876543210";
  for (size_t whole = 1; whole <= 19; ++whole) {
    for (size_t fraction = 0; fraction <= 20; ++fraction) {
      std::string number = digits.substr(0, whole);
      if (fraction) number.append(".").append(digits, digits.size() - fraction);
      expect_as_simdjson(number, number);
      expect_as_simdjson(std::string("[-").append(number).append("e-3 ]"), number);
    }
  }
  std::string many = "[";
  for (int i = 0; i < 70000; ++i) many += i ? ",0.5" : "0.5";
  expect_as_simdjson(many + "]", "70,000 elements");
}

TEST(TextWalk, LeavesTheRestToTheParse) {
  const std::string deep =
      std::string(kMaxJsonDepth - 1, '[') + std::string(kMaxJsonDepth - 1, ']');
  const std::string texts[] = {
      // Valid, but for the whole parse to decide.
      R"("\udc00")", "1e99999", "99999999999999999999", "-9223372036854775808", "1e308", deep,
      // Not valid.
      "", "   ", "[1,]", R"({"a" 1})", "tru", "nul", "1 2", "[01]", R"({"a":1,})", "[1 2]", "-",
      "1.", ".5", "1e", "[1}", R"({"a":1])", R"({1:2})", R"("\x")", "[", "]",
  };
  for (const std::string& text : texts) {
    Recorder out;
    EXPECT_EQ(walk(text, out), Walk::kNotTaken) << text.substr(0, 40);
  }
}

TEST(TextWalk, StopsWhereTheBuilderFailsOrThrows) {
  Recorder failing;
  failing.fail_at = 2;
  EXPECT_EQ(walk(R"({"a":[1,2,3]})", failing), Walk::kFailed);
  EXPECT_EQ(failing.calls, "k1:a l1 l2 ");

  struct Throwing : Recorder {
    bool number(json_tokens::Number) { throw std::runtime_error("stop"); }
  } throwing;
  EXPECT_THROW(walk("[true, 1]", throwing), std::runtime_error);
  EXPECT_EQ(throwing.calls, "t ");
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Every real document is taken: the walk is the path they go by.
TEST(TextWalk, TakesEveryRealDocument) {
  const std::filesystem::path folder = "/work/shared/bench-data";
  if (!std::filesystem::is_directory(folder)) GTEST_SKIP() << "no documents in " << folder;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".json") continue;
    expect_as_simdjson(read_file(entry.path()), entry.path().filename().string());
  }
}

}  // namespace
}  // namespace tamsel
