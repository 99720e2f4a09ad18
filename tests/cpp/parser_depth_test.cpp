// Nesting limits, stack use and backtracking on deeply nested queries.

#include <gtest/gtest.h>

#include <pthread.h>

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
  return concat({repeat("select(", depth), ".a", repeat(")", depth)});
}
std::string nested_objects(int depth) {
  return concat({repeat("{a:", depth), "1", repeat("}", depth)});
}
std::string grouped(int parens) {
  return concat({"select(", repeat("(", parens), ".a", repeat(")", parens), ")"});
}
std::string sums(int operators) { return concat({"1", repeat("+1", operators)}); }
std::string products(int operators) { return concat({".a", repeat(" * .a", operators)}); }
std::string conjunctions(int operators) {
  return concat({"select(.a", repeat(" and .a", operators), ")"});
}
std::string negations(int levels) {
  return concat({"select(", repeat("not (", levels), ".a", repeat(")", levels), ")"});
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

// The deepest queries must parse (and their trees be released) on a thread
// with a modest stack, not only on a main thread's 8 MB.
TEST(ParserDepth, DeepestQueriesFitInOneMegabyteOfStack) {
  static const std::string queries[] = {
      nested_selects(kMaxQueryDepth),
      nested_objects(kMaxQueryDepth),
      concat({repeat("select(not .a == {a: ", kMaxQueryDepth / 3), "1",
              repeat("})", kMaxQueryDepth / 3)}),
      repeat("select(", 100000),
  };
  auto run = [](void*) -> void* {
    for (const std::string& query : queries) compile_query(query);
    return nullptr;
  };
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1 << 20);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, run, nullptr), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

TEST(ParserDepth, LongFlatQueriesAreNotNested) {
  EXPECT_TRUE(compiles(concat({".a", repeat(" | .a", 100000)})));
  EXPECT_TRUE(compiles(concat({".a", repeat(", .a", 100000)})));
  EXPECT_TRUE(compiles(repeat(".a", 100000)));
  EXPECT_TRUE(compiles(concat({"select(.a", repeat(" or .a", 200), ")"})));
  EXPECT_TRUE(compiles(concat({repeat("select(.a) | ", 10000), "."})));
}

// Far past the limit: no stack overflow, and the limit wins over every other
// error, including where a failing right side would give way.
TEST(ParserDepth, HugeNestingFailsWithTheLimit) {
  const int huge = 100000;
  const std::string queries[] = {
      repeat("select(", huge),
      repeat("{a:", huge),
      concat({"select(", repeat("(", huge)}),
      repeat("select(not (", huge),
      concat({repeat("1+", huge), "1"}),
      concat({".x, ", repeat("1*", huge), "1"}),
      concat({"select(.a == .b", repeat(" - 1", huge), ")"}),
      concat({"select(.a == ", repeat("{a:", huge)}),
      concat({"select(.a", repeat(" or .a", huge), ")"}),
  };
  for (const std::string& query : queries) {
    EXPECT_EQ(outcome(query), kTooDeep) << query.substr(0, 40);
  }
}

// Shapes where a naive backtracking parser reads each inner level twice per
// outer level ("not" tried as the operator, then as the builtin). Levels are
// chosen to stay within the nesting limit, so the parse really backtracks.
TEST(ParserDepth, DeepBacktrackingFinishes) {
  struct Shape {
    std::string_view open, inner, close;
    int levels;
  };
  const Shape shapes[] = {
      {"select(not | ", "+", ")", 200},
      {"select(not|", "+", ")", 200},
      {"select(not ", "+", ")", 200},
      {"select(not(", "+", "))", 120},
      {"select(not{a: ", "+", "})", 120},
      {"select(not{a:", "1", "}+)", 120},
      {"select(not{a: ", ".x", "} + )", 120},
      {"select(.a == {a: ", "+", "})", 120},
      {"select(not .a == {a: ", "+", "})", 120},
      {"{a: select(not | ", "+", ")}", 120},
      {"select((", ".a", "))", 120},
  };
  for (const Shape& shape : shapes) {
    std::string query =
        concat({repeat(shape.open, shape.levels), shape.inner, repeat(shape.close, shape.levels)});
    // Exponential backtracking would never finish these; linear parsing
    // takes well under a millisecond each.
    std::string result = outcome(query);
    EXPECT_NE(result, kTooDeep) << shape.open;
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
