// Nesting limits and parse time on deeply nested queries.

#include <gtest/gtest.h>

#include <chrono>

#include "parser_test_support.h"

namespace tamsel::query::testing {
namespace {

bool compiles(const std::string& query) {
  auto result = compile_query(query);
  if (auto* error = std::get_if<CompileError>(&result)) {
    ADD_FAILURE() << error->message;
    return false;
  }
  return true;
}

std::string nested_selects(int depth) {
  return repeat("select(", depth) + ".a" + repeat(")", depth);
}
std::string nested_objects(int depth) { return repeat("{a:", depth) + "1" + repeat("}", depth); }
std::string grouped(int parens) {
  return "select(" + repeat("(", parens) + ".a" + repeat(")", parens) + ")";
}
std::string sums(int operators) { return "1" + repeat("+1", operators); }
std::string products(int operators) { return ".a" + repeat(" * .a", operators); }
std::string conjunctions(int operators) { return "select(.a" + repeat(" and .a", operators) + ")"; }
std::string negations(int levels) {
  return "select(" + repeat("not (", levels) + ".a" + repeat(")", levels) + ")";
}

// Each builder at the deepest depth the limit allows, then one level more.
TEST(ParserDepth, TreesUpToTheLimitCompileAndOneMoreIsRejected) {
  struct Limit {
    const char* name;
    std::string (*build)(int);
    int deepest;
  };
  const Limit limits[] = {
      {"selects", nested_selects, kMaxQueryDepth},
      {"objects", nested_objects, kMaxQueryDepth},
      {"grouping", grouped, kMaxQueryDepth - 1},  // the select is one level
      {"sums", sums, kMaxQueryDepth},
      {"products", products, kMaxQueryDepth},
      {"conjunctions", conjunctions, kMaxQueryDepth - 1},
      {"negations", negations, kMaxQueryDepth - 1},
  };
  for (const Limit& limit : limits) {
    SCOPED_TRACE(limit.name);
    EXPECT_TRUE(compiles(limit.build(limit.deepest)));
    EXPECT_EQ(outcome(limit.build(limit.deepest + 1)), kTooDeep);
  }
}

TEST(ParserDepth, LongFlatQueriesAreNotNested) {
  EXPECT_TRUE(compiles(".a" + repeat(" | .a", 100000)));
  EXPECT_TRUE(compiles(".a" + repeat(", .a", 100000)));
  EXPECT_TRUE(compiles(repeat(".a", 100000)));
  EXPECT_TRUE(compiles("select(.a" + repeat(" or .a", 200) + ")"));
  EXPECT_TRUE(compiles(repeat("select(.a) | ", 10000) + "."));
}

// Far past the limit: no stack overflow, and the limit wins over every other
// error, including where a failing right side would give way.
TEST(ParserDepth, HugeNestingFailsWithTheLimit) {
  const int huge = 100000;
  const std::string queries[] = {
      repeat("select(", huge),
      repeat("{a:", huge),
      "select(" + repeat("(", huge),
      repeat("select(not (", huge),
      repeat("1+", huge) + "1",
      ".x, " + repeat("1*", huge) + "1",
      "select(.a == .b" + repeat(" - 1", huge) + ")",
      "select(.a == " + repeat("{a:", huge),
      "select(.a" + repeat(" or .a", huge) + ")",
  };
  for (const std::string& query : queries) {
    EXPECT_EQ(outcome(query), kTooDeep) << query.substr(0, 40);
  }
}

// Shapes that make a naive backtracking parser re-read inner levels once per
// alternative at every level.
TEST(ParserDepth, DeepBacktrackingStaysFast) {
  const int depth = 200;
  const std::string queries[] = {
      repeat("select(not | ", depth) + "+" + repeat(")", depth),
      repeat("select(not{a: ", depth) + "+" + repeat("})", depth),
      repeat("select(not{a: ", depth) + ".x" + repeat("} + )", depth),
      repeat("select(not ", depth) + "+" + repeat(")", depth),
      repeat("select(not(", depth) + "+" + repeat("))", depth),
      repeat("select(.a == {a: ", depth) + "+" + repeat("})", depth),
      repeat("select(not .a == {a: ", depth) + "+" + repeat("})", depth),
      repeat("select((", depth) + ".a" + repeat("))", depth),
      repeat("select(not{a: ", depth) + ".x" + repeat("})", depth),
      repeat("{a: select(not | ", depth / 2) + "+" + repeat(")}", depth / 2),
  };
  for (const std::string& query : queries) {
    auto start = std::chrono::steady_clock::now();
    compile_query(query);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::milliseconds(200)) << query.substr(0, 40);
  }
}

TEST(ParserDepth, NotBeforeAnObjectOrAPipe) {
  // The inner object is parsed while "not" is tried as the operator, and
  // again where "not" is read as the builtin.
  EXPECT_EQ(outcome("select(not{a: select(.b)} + )"),
            parse_error(R"(select(not{a: select(.b)} + ))", "Digit"));
  EXPECT_EQ(outcome("select(not{a: select(.b)} | length)"),
            "Select(Not(Truthy([Object(a: [Select(Truthy([Field(b)]))]) | Builtin(length)])))");
  EXPECT_EQ(outcome("select(not{a: select(.b)} + 1 == 2)"),
            "Select(Not(Eq([Add([Object(a: [Select(Truthy([Field(b)]))])], [Literal(1)])], 2)))");
  EXPECT_EQ(outcome("select(not | {a: select(.b)} + -)"),
            parse_error(R"(select(not | {a: select(.b)} + -))", "Digit"));
}

}  // namespace
}  // namespace tamsel::query::testing
