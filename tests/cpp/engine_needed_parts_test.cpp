// What a query's projection keeps of a document: exactly the parts the query
// can observe, so that it yields the same on them as on the whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <variant>

#include "engine/needed_parts.h"
#include "engine/render.h"
#include "parser/parser.h"
#include "value/json.h"

namespace tamsel::engine {
namespace {

// The document `text` as read for `query`, rendered as JSON; "whole" when
// the query needs all of it.
std::string projected(const std::string& query, const std::string& text) {
  auto compiled = query::compile_query(query);
  const auto* pipeline = std::get_if<query::Pipeline>(&compiled);
  if (!pipeline) return "does not compile";
  Projection projection = needed_parts(*pipeline);
  if (projection.is_whole()) return "whole";
  ReadingPlan plan(std::move(projection));
  JsonParser parser;
  std::memcpy(parser.work_buffer(text.size()), text.data(), text.size());
  auto parsed = parser.parse_work_buffer(text.size(), &plan);
  if (auto* error = std::get_if<JsonError>(&parsed)) return error->message();
  return to_json_text(View(std::get<DocumentRef>(parsed)));
}

TEST(NeededParts, KeepsWhatTheQueryCanObserve) {
  const std::string doc = R"({"a":{"b":[1,2,3],"c":"x"},"d":[{"e":1,"f":2},{"e":3}],"g":null})";
  struct Case {
    const char* query;
    const char* text;
    const char* expected;
  } cases[] = {
      {".a.c", doc.c_str(), R"({"a":{"c":"x"}})"},
      {".a.b", doc.c_str(), R"({"a":{"b":[1,2,3]}})"},
      {".a.b.[1]", doc.c_str(), R"({"a":{"b":[null,2]}})"},
      {".a.b.[-1]", doc.c_str(), R"({"a":{"b":[1,2,3]}})"},
      {".d.[] | .e", doc.c_str(), R"({"d":[{"e":1},{"e":3}]})"},
      {".d.[0], .a.c", doc.c_str(), R"({"a":{"c":"x"},"d":[{"e":1,"f":2}]})"},
      // Conditions and truthiness see an array or object only by its kind.
      {"select(.a) | .g", doc.c_str(), R"({"a":{},"g":null})"},
      {".d.[] | select(.e == 3) | .f", doc.c_str(), R"({"d":[{"e":1,"f":2},{"e":3}]})"},
      {"select(.a == .d) | 1", doc.c_str(), R"({"a":{},"d":[]})"},
      {"{x: .a.c, y: .g}", doc.c_str(), R"({"a":{"c":"x"},"g":null})"},
      {".a | 1", doc.c_str(), R"({"a":{}})"},
      {".a.b.[] | .z", doc.c_str(), R"({"a":{"b":[1,2,3]}})"},
      // Every key named so is kept, in text order.
      {".k", R"({"k":1,"j":2,"k":3})", R"({"k":1,"k":3})"},
      {".[0].k", R"([{"k":1,"j":[2]},{"k":3}])", R"([{"k":1}])"},
      {"\"x\"", R"({"a":1})", "{}"},
      {".a", R"({"\u0061":1,"b":2})", R"({"a":1})"},
      {".a", "[1,2]", "[]"},
      {".[0]", R"({"a":1})", "{}"},
      {".", doc.c_str(), "whole"},
      {".[] | .. ", doc.c_str(), "whole"},
      // What a builtin or an operator reads is taken whole, but for the
      // builtins that see only a kind, or nothing.
      {".a | length", doc.c_str(), R"({"a":{"b":[1,2,3],"c":"x"}})"},
      {".d.[] | type", doc.c_str(), R"({"d":[{},{}]})"},
      {"select(.a.c | type == \"string\") | .g", doc.c_str(), R"({"a":{"c":"x"},"g":null})"},
      {".a | not", doc.c_str(), R"({"a":{}})"},
      {"empty", doc.c_str(), "{}"},
      {".a | nan", doc.c_str(), R"({"a":{}})"},
      {".g + .a.c", doc.c_str(), R"({"a":{"c":"x"},"g":null})"},
  };
  for (const Case& c : cases) EXPECT_EQ(projected(c.query, c.text), c.expected) << c.query;
}

TEST(NeededParts, SkippedPartsFailAsTheWholeTextDoes) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {R"({"a":1,"b":[1,2,]})", "ExpectedArrayContent"},
      {R"({"a":1,"b":"\x"})", "InvalidEscape at character 13 ('x')"},
      {R"({"a":1,"b":01})", "InvalidNumber at character 12 ('1')"},
      {R"({"a":1,"b":1e999})", "InvalidNumber at character 11 ('1')"},
      {R"({"a":1} 2)", "TrailingData at character 8 ('2')"},
  };
  for (const Case& c : cases) {
    const std::string got = projected(".a", c.text);
    EXPECT_EQ(got.rfind(c.error, 0), 0u) << c.text << " gave " << got;
  }
}

}  // namespace
}  // namespace tamsel::engine
