// Running a builtin over JSON text in tests: the input is parsed, fed once as
// a borrowed reference and once as an owned value, and the outputs come back
// as kind-tagged text (see describe), space-separated.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/eval_value.h"
#include "engine_value_builders.h"
#include "value/json.h"

namespace tamsel::testing {

inline Value parse_json(std::string_view text) {
  JsonParser parser;
  auto parsed = parser.parse(text, /*view_strings=*/false);
  if (auto* error = std::get_if<JsonError>(&parsed)) {
    ADD_FAILURE() << "bad test JSON " << text << ": " << error->message();
    return Value::null();
  }
  return std::move(std::get<Value>(parsed));
}

inline std::string describe_all(const engine::ResultList& out) {
  std::string text;
  for (const engine::EvalValue& v : out) {
    if (!text.empty()) text += ' ';
    text += describe(v.get());
  }
  return text;
}

using Apply = std::function<void(engine::EvalValue, engine::ResultList&)>;

// Outputs of `apply` on `input`; also checks that a borrowed input is left
// untouched and that an owned one gives the same outputs.
inline std::string run_both_ways(const Apply& apply, const Value& input) {
  const std::string before = describe(input);
  engine::ResultList borrowed_out;
  apply(engine::EvalValue::borrowed(input), borrowed_out);
  std::string borrowed_text = describe_all(borrowed_out);
  EXPECT_EQ(describe(input), before) << "borrowed input was modified";

  engine::ResultList owned_out;
  apply(engine::EvalValue::owned(input.copy()), owned_out);
  EXPECT_EQ(describe_all(owned_out), borrowed_text) << "owned input of " << before;
  return borrowed_text;
}

}  // namespace tamsel::testing
