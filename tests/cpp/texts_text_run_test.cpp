// A path alone is followed, and a record program's objects are made from
// their members' values by a sink that can, without the evaluator; both
// give what the evaluator gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/render.h"
#include "texts/text_run.h"
#include "texts_stream_support.h"

namespace tamsel::texts {
namespace {

// Writes each result as JSON text and counts how it came.
class CountingSink final : public ResultSink {
 public:
  explicit CountingSink(bool records) : records_(records) {}
  void expect(size_t, size_t) override {}
  bool take(const View& value) override {
    ++values;
    engine::append_json_text(made, value);
    made += ';';
    return true;
  }
  bool takes_records() const override { return records_; }
  bool take_record(const engine::PathRecord& record, const View* members) override {
    ++records;
    made += '{';
    for (size_t i = 0; i < record.size(); ++i) {
      if (i) made += ',';
      const std::string_view key = record.key(i);
      engine::append_json_text(
          made, View(Value::string_view(key.data(), static_cast<uint32_t>(key.size()))));
      made += ':';
      engine::append_json_text(made, members[i]);
    }
    made += "};";
    return true;
  }
  bool take_entries(const View& object) override {
    ++entries;
    made += '[';
    for (const View::Member& member : object.members()) {
      if (made.back() != '[') made += ',';
      made += R"({"key":)";
      engine::append_json_text(made, View(key_value(member)));
      made += R"(,"value":)";
      engine::append_json_text(made, member.value);
      made += '}';
    }
    made += "];";
    return true;
  }
  std::string& text() override { return made; }
  bool end_text() override { return true; }
  void drop() override { made.clear(); }

  std::string made;
  int values = 0;
  int records = 0;
  int entries = 0;

 private:
  const bool records_;
};

struct Ran {
  std::string made;
  int values, records, entries;
};

Ran run(std::string_view query, const std::string& text, bool records, bool whole) {
  const auto program = compiled(query, whole);
  const ResultForm form;
  const RunRules rules{*program, form, nullptr};
  JsonParser parser;
  parser.lend_text(text, false);
  runtime::CallRuntime call;
  CountingSink sink(records);
  const TextOutcome outcome = run_text(rules, parser, text.size(), call, sink);
  EXPECT_TRUE(outcome.ran()) << query << " " << outcome.message;
  return {sink.made, sink.values, sink.records, sink.entries};
}

TEST(TextRun, APathAloneGivesWhatItLeadsTo) {
  const char* doc = R"({"a":{"b":[10,{"c":"x"}]},"n":null})";
  struct Case {
    const char* query;
    const char* made;
  };
  const Case cases[] = {
      {".a.b.[1].c", R"("x";)"}, {".a.b.[-2]", "10;"}, {". | .a | .b.[0]", "10;"},
      {".n", "null;"},           {".a.x", ""},         {".a.b.x", ""},
      {".a.b.[2]", ""},          {".n.a", ""},         {".a.b.[1]", R"({"c":"x"};)"},
  };
  for (const Case& c : cases) {
    for (const bool whole : {false, true}) {
      EXPECT_EQ(run(c.query, doc, false, whole).made, c.made) << c.query;
    }
  }
}

TEST(TextRun, ARecordIsMadeFromItsMembersWithoutTheEvaluator) {
  const std::string event =
      R"({"id":"7","type":"Push","actor":{"id":1,"login":"ann\n"},"tags":[1,[2,3],{"x":null}]})";
  struct Case {
    const char* query;
    const char* text;
    bool record;  // whether the program is a record at all
    const char* made;
  };
  const Case cases[] = {
      {"{id: .id, who: .actor.login}", event.c_str(), true, R"({"id":"7","who":"ann\n"};)"},
      {"{a: .tags.[1], b: .tags.[-1].x, c: .actor}", event.c_str(), true,
       R"({"a":[2,3],"b":null,"c":{"id":1,"login":"ann\n"}};)"},
      {"{t: .tags}", event.c_str(), true, R"({"t":[1,[2,3],{"x":null}]};)"},
      // a path that leads nowhere: no object at all
      {"{id: .id, x: .missing}", event.c_str(), true, ""},
      {"{a: .id.x}", event.c_str(), true, ""},
      {"{a: .[0]}", event.c_str(), true, ""},
      {"{a: .x}", "[1]", true, ""},
      {"{a: .[5]}", "[1]", true, ""},
      {"{a: .[-1], b: .[0]}", "[1, 2]", true, R"({"a":2,"b":1};)"},
      {"{a: ., b: .id, c: . | .id}", "{\"id\":1}", true, R"({"a":{"id":1},"b":1,"c":1};)"},
      // left to the evaluator: a repeated key, a member that is not a path
      {"{a: .id, a: .type}", event.c_str(), false, R"({"a":"Push"};)"},
      {"{a: .id | length}", event.c_str(), false, R"({"a":1};)"},
      {"{a: .id} | .a", event.c_str(), false, R"("7";)"},
      // after other stages, a record of each of their outputs
      {".tags.[] | {x: .x}", event.c_str(), true, R"({"x":null};)"},
      {".[] | {v: .[0]}", "[[1], 2, [3], {\"a\": 4}]", true, R"({"v":1};{"v":3};)"},
      {".[] | select(. > 1) | {v: .}", "[1, 2]", true, R"({"v":2};)"},
      {".[] | {v: . | length}", "[[1], [2, 3]]", false, R"({"v":1};{"v":2};)"},
      {"to_entries | .[] | {k: .key, v: .value.y}", R"({"a":{"y":1},"b":2,"c":{"y":[3]}})",
       true, R"({"k":"a","v":1};{"k":"c","v":[3]};)"},
  };
  for (const Case& c : cases) {
    for (const bool whole : {false, true}) {
      const Ran taken = run(c.query, c.text, true, whole);
      const Ran evaluated = run(c.query, c.text, false, whole);
      EXPECT_EQ(taken.made, c.made) << c.query;
      EXPECT_EQ(evaluated.made, c.made) << c.query;
      const int results = static_cast<int>(std::count(c.made, c.made + strlen(c.made), ';'));
      EXPECT_EQ(taken.records, c.record ? results : 0) << c.query;
      EXPECT_EQ(taken.values, c.record ? 0 : results) << c.query;
      EXPECT_EQ(evaluated.records, 0) << c.query;
    }
  }
}

TEST(TextRun, EntriesAreMadeFromTheObjectWithoutTheEvaluator) {
  const char* doc = R"({"a":{"y":1},"b":[2],"a":"again","e":{}})";
  struct Case {
    const char* query;
    const char* made;
    int entries;  // results made by take_entries
  };
  const Case cases[] = {
      {"to_entries",
       R"([{"key":"a","value":{"y":1}},{"key":"b","value":[2]},{"key":"a","value":"again"},)"
       R"({"key":"e","value":{}}];)",
       1},
      {".a | to_entries", R"([{"key":"y","value":1}];)", 1},
      {".e | to_entries", "[];", 1},
      // only objects give entries; other inputs give nothing
      {".b | to_entries", "", 0},
      {".[] | to_entries", R"([{"key":"y","value":1}];[];)", 2},
      {".[] | select(length == 0) | to_entries", "[];", 1},
      // of a built object
      {"{n: .b | length, b: .b} | to_entries", R"([{"key":"n","value":1},{"key":"b","value":[2]}];)",
       1},
      // not the last stage: the evaluator's
      {"to_entries | .[1]", R"({"key":"b","value":[2]};)", 0},
  };
  for (const Case& c : cases) {
    for (const bool whole : {false, true}) {
      const Ran taken = run(c.query, doc, true, whole);
      const Ran evaluated = run(c.query, doc, false, whole);
      EXPECT_EQ(taken.made, c.made) << c.query;
      EXPECT_EQ(evaluated.made, c.made) << c.query;
      EXPECT_EQ(taken.entries, c.entries) << c.query;
      EXPECT_EQ(evaluated.entries, 0) << c.query;
    }
  }
}

TEST(TextRun, ARecordOfMoreMembersThanItHoldsIsLeftToTheEvaluator) {
  std::string query = "{";
  for (size_t i = 0; i <= engine::PathRecord::kMaxMembers; ++i)
    query += (i ? ", k" : "k") + std::to_string(i) + ": .a";
  query += "}";
  EXPECT_FALSE(engine::PathRecord::of(compiled(query)->pipeline));
  query.erase(query.rfind(','));
  EXPECT_TRUE(engine::PathRecord::of(compiled(query + "}")->pipeline));
}

}  // namespace
}  // namespace tamsel::texts
