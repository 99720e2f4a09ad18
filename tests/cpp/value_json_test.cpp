#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "value/json.h"
#include "value/json_scan.h"

namespace tamsel {
namespace {

using namespace std::string_literals;

// prefix + number, spelt out to keep GCC 12's -Wrestrict false positive on
// "literal" + std::string quiet.
std::string numbered(std::string_view prefix, size_t i) {
  std::string text(prefix);
  text += std::to_string(i);
  return text;
}

// Kind-tagged rendering, so that tables can state the kind of every number:
// u:7, i:-7, f:1.5, "s", [..], {k:v}, with a * after an object in hashed form.
std::string describe(const Value& v) {
  char buffer[64];
  switch (v.kind()) {
    case Kind::Null: return "null";
    case Kind::Bool: return v.as_bool() ? "true" : "false";
    case Kind::I64: {
      std::string text = "i:";
      return text += std::to_string(v.as_i64());
    }
    case Kind::U64: return numbered("u:", v.as_u64());
    case Kind::F64:
      std::snprintf(buffer, sizeof buffer, "f:%.17g", v.as_f64());
      return buffer;
    case Kind::String: {
      std::string out = "\"";
      out += v.as_string();
      return out += '"';
    }
    case Kind::Array: {
      std::string out = "[";
      for (const Value& e : v.as_array()) {
        if (out.size() > 1) out += ',';
        out += describe(e);
      }
      return out += ']';
    }
    case Kind::Object: {
      std::string out = "{";
      for (const auto& e : v.as_object()) {
        if (out.size() > 1) out += ',';
        out += e.key.as_string();
        out += ':';
        out += describe(e.value);
      }
      out += '}';
      return out += v.as_object().is_hashed() ? "*" : "";
    }
  }
  return "?";
}

std::string parse_to_text(JsonParser& parser, std::string_view text) {
  auto result = parser.parse(text);
  if (auto* error = std::get_if<JsonError>(&result)) return "error: " + error->message();
  return describe(std::get<Value>(result));
}

TEST(Json, ValuesAndNumberKinds) {
  struct Case { std::string text, expected; };
  const Case cases[] = {
      {"null", "null"},
      {" \t\r\n[true , false]\n ", "[true,false]"},
      {"0", "u:0"},
      // "-0" reads as the integer zero; no operation tells the I64 0 from the U64 0.
      {"-0", "u:0"},
      {"7", "u:7"},
      {"-7", "i:-7"},
      {"9223372036854775807", "u:9223372036854775807"},
      {"9223372036854775808", "u:9223372036854775808"},
      {"18446744073709551615", "u:18446744073709551615"},
      {"-9223372036854775808", "i:-9223372036854775808"},
      {"1.0", "f:1"},
      {"-0.0", "f:-0"},
      {"-0e0", "f:-0"},
      {"1E2", "f:100"},
      {"1e-400", "f:0"},
      {"-1e-400", "f:-0"},
      {"1.7976931348623157e308", "f:1.7976931348623157e+308"},
      {"0e4294967297", "f:0"},
      {"1e-42949672960", "f:0"},  // the exponent passes 2^32 only at its last digit
      {"[0,-0,0.0,-0,-0.0,-1,0]", "[u:0,u:0,f:0,u:0,f:-0,i:-1,u:0]"},
      {R"("a\u00e9\ud83d\ude00\n\/")", "\"a\xC3\xA9\xF0\x9F\x98\x80\n/\""},
      {R"({"a":1,"a":2})", "{a:u:1,a:u:2}"},
      {"[[], {}, [[]]]", "[[],{},[[]]]"},
  };
  JsonParser parser;
  for (const Case& c : cases) EXPECT_EQ(parse_to_text(parser, c.text), c.expected) << c.text;
}

// The check of long exponents reads the literals of the tape's double zeros
// alone, and every literal when the tape and the structural characters do
// not line up.
TEST(Json, LongExponentsAreLookedForAmongTheZeros) {
  const std::string text = "[1e-42949672970,7]";
  const uint32_t structurals[] = {0, 1, 15, 16, 17, 18};  // then the text's length
  auto word = [](char type, uint64_t payload = 0) { return uint64_t{uint8_t(type)} << 56 | payload; };
  const uint64_t seven = 7;
  const uint64_t one_tenth = std::bit_cast<uint64_t>(0.1);
  struct Case { std::vector<uint64_t> values; bool found; };
  const Case cases[] = {
      {{word('['), word('d'), 0, word('u'), seven, word(']')}, true},
      // Not a zero on the tape: its literal is not read.
      {{word('['), word('d'), one_tenth, word('u'), seven, word(']')}, false},
      // A word short, or one of another kind: every literal is read.
      {{word('['), word('d'), one_tenth, word('u'), seven}, true},
      {{word('['), word('"'), word('u'), seven, word(']')}, true},
  };
  for (const Case& c : cases) {
    auto error = json_scan::long_exponent(text, structurals, 5, c.values);
    EXPECT_EQ(error.has_value(), c.found) << c.values.size();
    if (error) {
      EXPECT_EQ(error->message(), "InvalidNumber at character 14 ('0')");
    }
  }
}

TEST(Json, ErrorMessages) {
  struct Case { std::string text, message; };
  const Case cases[] = {
      {"", "Syntax at character 0 ('\0')"s},
      {"   ", "Syntax at character 0 ('\0')"s},
      {"1 2", "TrailingData at character 0 ('1')"},
      {"\"a\" 1", "TrailingData at character 0 ('\"')"},
      {"  7 x", "TrailingData at character 2 ('7')"},
      {"[1] 2", "TrailingData at character 4 ('2')"},
      {"{}}", "TrailingData at character 2 ('}')"},
      {"01", "InvalidNumber at character 1 ('1')"},
      {"[-01]", "InvalidNumber at character 3 ('1')"},
      {"x", "InternalError(TapeError) at character 0 ('x')"},
      {"]", "InternalError(TapeError) at character 0 (']')"},
      {"\xff", "InvalidUtf8 at character 0 ('\xC3\xBF')"},
      {"18446744073709551616", "InvalidNumber at character 0 ('1')"},
      {"-9223372036854775809", "InvalidNumber at character 0 ('-')"},
      {"100000000000000000000000", "InvalidNumber at character 0 ('1')"},
      {"1e400", "InvalidNumber at character 0 ('1')"},
      {"[0, -1.5e309]", "InvalidNumber at character 4 ('-')"},
      {"1e4294967297", "InvalidNumber at character 0 ('1')"},
      {"0e429496729600", "InvalidNumber at character 13 ('0')"},
      {"[0e42949672970]", "InvalidNumber at character 13 ('0')"},
      // Found among other numbers, zeros and long literals, in text order.
      {"[0.0, 12345678901234.5, \"0e42949672970\", -0e-000000000000000000001, 1e-42949672970]",
       "InvalidNumber at character 81 ('0')"},
      {"1e-99999999999999999999", "InvalidNumber at character 13 ('9')"},
      // Zeros in objects, arrays and at the top, beside every other kind of word.
      {R"({"k":[0.0,{"z":-0.0,"s":"e:,"},true,null,false,[],{},-1,2],"n":1e-42949672970})",
       "InvalidNumber at character 76 ('0')"},
      {"-", "InvalidNumber at character 1"},
      {"-a", "InvalidNumber at character 1 ('a')"},
      {"1.", "InvalidNumber at character 2"},
      {"1.e5", "InvalidNumber at character 2 ('e')"},
      {"1e+", "InvalidNumber at character 3"},
      {"0x1", "InvalidNumber at character 1 ('x')"},
      {"[1\"a\"]", "InvalidNumber at character 2 ('\"')"},
      {"[1,]", "ExpectedArrayContent at character 3 (']')"},
      {"[1 2]", "ExpectedArrayContent at character 3 ('2')"},
      {"[", "ExpectedArrayContent at character 1"},
      {"[+1]", "ExpectedArrayContent at character 1 ('+')"},
      {"{1:2}", "ExpectedObjectKey at character 1 ('1')"},
      {"{\"a\":1,}", "ExpectedObjectKey at character 7 ('}')"},
      {"{\"a\" 1}", "ExpectedObjectColon at character 5 ('1')"},
      {"{\"a\":}", "ExpectedObjectContent at character 5 ('}')"},
      {"{\"a\":1 \"b\":2}", "ExpectedObjectContent at character 7 ('\"')"},
      {"{\"a\":1", "ExpectedObjectContent at character 6"},
      {"nul", "ExpectedNull at character 0 ('n')"},
      {"[tru]", "ExpectedTrue at character 1 ('t')"},
      {"falsey", "ExpectedFalse at character 0 ('f')"},
      {"\"\\x\"", "InvalidEscape at character 2 ('x')"},
      {"\"\\u12G4\"", "InvalidEscape at character 5 ('G')"},
      {"\"\\uD800\"", "InvalidUnicodeCodepoint at character 1 ('\\')"},
      {"\"\\uDC00\"", "InvalidUnicodeCodepoint at character 1 ('\\')"},
      {"[\"\\uD800\\u0041\"]", "InvalidUnicodeCodepoint at character 2 ('\\')"},
      {"\"a\xff\"", "InvalidUtf8 at character 2 ('\xC3\xBF')"},
      {"\"\xed\xa0\x80\"", "InvalidUtf8 at character 1 ('\xC3\xAD')"},
      {"\"abc", "Syntax at character 0 ('\"')"},
      {"\"a\x01\"", "Syntax at character 2 ('\x01')"},
      {"[1]\0"s, "TrailingData at character 3 ('\0')"s},
  };
  JsonParser parser;
  for (const Case& c : cases) {
    EXPECT_EQ(parse_to_text(parser, c.text), "error: " + c.message) << c.text;
  }
}

TEST(Json, InputTooLargeIsRefusedBySize) {
  auto error = json_scan::check_input_size(json_scan::kMaxInputSize);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message(), "InputTooLarge at character 0");
  EXPECT_FALSE(json_scan::check_input_size(json_scan::kMaxInputSize - 1).has_value());
}

std::string nested_arrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += "{\"a\":";
  text += "1";
  return text + std::string(depth, '}');
}

TEST(Json, NestingLimit) {
  JsonParser parser;
  EXPECT_TRUE(std::holds_alternative<Value>(parser.parse(nested_arrays(kMaxJsonDepth))));
  EXPECT_TRUE(std::holds_alternative<Value>(parser.parse(nested_objects(kMaxJsonDepth))));
  const std::string too_deep = "NestingTooDeep at character 1024 ('[')";
  EXPECT_EQ(parse_to_text(parser, nested_arrays(kMaxJsonDepth + 1)), "error: " + too_deep);
  const std::string open(kMaxJsonDepth, '['), close(kMaxJsonDepth, ']');
  EXPECT_EQ(parse_to_text(parser, open + "[1]" + close), "error: " + too_deep);
  EXPECT_EQ(parse_to_text(parser, open + "{}" + close),
            "error: NestingTooDeep at character 1024 ('{')");
  EXPECT_EQ(parse_to_text(parser, std::string(1'000'000, '[')), "error: " + too_deep);
  EXPECT_EQ(parse_to_text(parser, nested_objects(kMaxJsonDepth + 1)),
            "error: NestingTooDeep at character 5120 ('{')");
  // An earlier error wins over the depth.
  EXPECT_EQ(parse_to_text(parser, "[x" + std::string(2000, '[')),
            "error: ExpectedArrayContent at character 1 ('x')");
}

std::string object_text(size_t members) {
  std::string text = "{";
  for (size_t i = 0; i < members; ++i) {
    text += numbered(i ? ",\"k" : "\"k", i);
    text += numbered("\":", i);
  }
  return text + "}";
}

TEST(Json, ObjectFormFollowsMemberCount) {
  JsonParser parser;
  for (size_t members : {32, 33, 2000}) {
    auto result = parser.parse(object_text(members));
    const ObjectMap& map = std::get<Value>(result).as_object();
    EXPECT_EQ(map.is_hashed(), members > 32);
    ASSERT_EQ(map.size(), members);
    size_t i = 0;
    for (const auto& entry : map) {
      EXPECT_EQ(entry.key.as_string(), numbered("k", i));
      EXPECT_EQ(entry.value.as_u64(), i++);
    }
    EXPECT_EQ(map.get(numbered("k", members - 1))->as_u64(), members - 1);
  }
  // Duplicates are kept in hashed form too, and lookups find the first.
  std::string text = object_text(40);
  text.insert(text.size() - 1, ",\"k3\":99");
  auto result = parser.parse(text);
  const ObjectMap& map = std::get<Value>(result).as_object();
  EXPECT_EQ(map.size(), 41u);
  EXPECT_EQ(map.get("k3")->as_u64(), 3u);
}

TEST(Json, OwnedStringsOutliveTheNextParse) {
  JsonParser parser;
  auto owned = parser.parse(R"({"key": ["first", "second"]})", false);
  auto viewed = parser.parse(R"({"other": ["third", "fourth"]})", true);
  EXPECT_EQ(describe(std::get<Value>(owned)), R"({key:["first","second"]})");
  EXPECT_EQ(describe(std::get<Value>(viewed)), R"({other:["third","fourth"]})");
}

TEST(Json, LargeDocumentsReleaseAndReuse) {
  // Past the size whose buffers are kept, then small again: both parse and
  // the small one's strings are intact.
  std::string big = "[";
  while (big.size() < (size_t{17} << 20)) big += "\"abcdefghijklmnopqrstuvwxyz\",";
  big += "0]";
  JsonParser parser;
  for (int round = 0; round < 2; ++round) {
    auto large = parser.parse(big, round == 0);
    ASSERT_TRUE(std::holds_alternative<Value>(large));
    EXPECT_EQ(std::get<Value>(large).as_array().back().as_u64(), 0u);
    auto small = parser.parse(R"(["s"])");
    EXPECT_EQ(describe(std::get<Value>(small)), R"(["s"])");
  }
}

}  // namespace
}  // namespace tamsel
