// Every loop whose length depends on the input reaches the poll: each case
// runs one short query over one input, its long loop in the last stage, so
// the evaluator's own steps count only a few units of work and the poll is
// reached only if the loop inside counts its own. The poll asks to stop at once, so the call must
// end with Interrupted.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <variant>

#include "engine/evaluator.h"
#include "engine_builtins_support.h"
#include "parser/parser.h"
#include "runtime/bounds.h"

namespace tamsel::testing {
namespace {

using engine::EvalValue;
using runtime::CallBounds;

// A JSON array of `n` items, each written by `item(i)`.
std::string json_array(int n, const std::function<std::string(int)>& item) {
  std::string text = "[";
  for (int i = 0; i < n; ++i) text += cat(i ? "," : "", item(i));
  return text + "]";
}

constexpr int kLong = 20000;  // elements: several polls' worth of work

// An object of kLong members, its keys out of order.
std::string wide_object() {
  std::string text = "{";
  for (int i = 0; i < kLong; ++i)
    text += cat(i ? "," : "", "\"k", std::to_string(i * 7919 % kLong), "\":1");
  return text + "}";
}

struct PollCase {
  const char* loop;
  const char* query;
  std::function<std::string()> input;
};

const PollCase kCases[] = {
    {"object construction product", "{a: .[], b: .[]}",
     [] { return json_array(200, [](int i) { return std::to_string(i); }); }},
    {"add of objects", "add | length",
     [] {
       return json_array(kLong, [](int i) { return cat("{\"k", std::to_string(i), "\":1}"); });
     }},
    {"add of arrays", "add | length",
     [] { return json_array(kLong, [](int) { return std::string("[1]"); }); }},
    {"add of texts", "add | length",
     [] { return json_array(kLong, [](int) { return std::string("\"x\""); }); }},
    {"merge of objects", ".[0] + .[1] | length", [] { return cat("[", wide_object(), ",{}]"); }},
    {"sort of numbers", "sort | length",
     [] { return json_array(kLong, [](int i) { return std::to_string(i * 7919 % kLong); }); }},
    {"sort of texts", "sort | length",
     [] {
       return json_array(kLong,
                         [](int i) { return cat("\"", std::to_string(i * 7919 % kLong), "\""); });
     }},
    {"sort of one long array against another", "sort | length",
     [] {
       const std::string zeros = json_array(kLong, [](int) { return std::string("0"); });
       return cat("[", zeros, ",", zeros, "]");
     }},
    {"keys", "keys | length", wide_object},
    {"array subtraction", ".[0] - .[1] | length",
     [] {
       const std::string numbers = json_array(kLong, [](int i) { return std::to_string(i); });
       return cat("[", numbers, ",", numbers, "]");
     }},
    {"tojson of a long text", "tojson | length",
     [] { return cat("\"", std::string(1 << 20, 'x'), "\""); }},
    {"ascii_downcase of a long text", "ascii_downcase | length",
     [] { return cat("\"", std::string(1 << 20, 'X'), "\""); }},
    {"recursive descent", "..",
     [] { return json_array(kLong, [](int) { return std::string("1"); }); }},
};

class PollTest : public ::testing::TestWithParam<PollCase> {};

TEST_P(PollTest, LoopReachesThePoll) {
  const PollCase& c = GetParam();
  auto compiled = query::compile_query(c.query);
  ASSERT_TRUE(std::holds_alternative<query::Pipeline>(compiled)) << c.query;
  const Value input = parse_json(c.input());
  const CallBounds bounds(CallBounds::budget_for(0), [] { return true; });
  EXPECT_THROW(
      engine::evaluate(std::get<query::Pipeline>(compiled), EvalValue::borrowed(input), false),
      runtime::Interrupted)
      << c.loop;
}

// A deep copy (of an owned value fed to several branches) is a loop too.
TEST(PollTest, DeepCopiesReachThePoll) {
  for (const std::string& text : {json_array(kLong, [](int) { return std::string("[1]"); }),
                                  wide_object()}) {
    const Value value = parse_json(text);
    const CallBounds bounds(CallBounds::budget_for(0), [] { return true; });
    EXPECT_THROW((void)value.copy(), runtime::Interrupted) << text.substr(0, 20);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryLoop, PollTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PollCase>& info) {
                           std::string name;
                           for (const char* p = info.param.loop; *p; ++p)
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return name;
                         });

}  // namespace
}  // namespace tamsel::testing
