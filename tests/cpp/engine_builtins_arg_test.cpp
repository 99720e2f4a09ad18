#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "engine/builtins.h"
#include "engine/text_search.h"
#include "engine_builtins_support.h"

namespace {

using namespace tamsel::testing;
using tamsel::Value;
using tamsel::engine::apply_builtin_with_arg;
using tamsel::engine::contains_value;
using tamsel::engine::EvalValue;
using tamsel::engine::ResultList;
using tamsel::query::BuiltinWithArg;
using tamsel::query::LiteralValue;
using K = tamsel::query::ArgBuiltinKind;

LiteralValue L(const char* s) { return LiteralValue::of_string(s); }
LiteralValue L(int64_t i) { return LiteralValue::of_integer(i); }
LiteralValue L(int i) { return LiteralValue::of_integer(i); }
LiteralValue L(double d) { return LiteralValue::of_float(d); }
LiteralValue Lnull() { return LiteralValue::null(); }

// Inputs are JSON text; outputs are kind-tagged (3 is I64, 3u U64, 3f F64),
// and "" when there is none.
struct Case {
  K kind;
  LiteralValue argument;
  const char* input;
  const char* expected;
};

TEST(BuiltinsWithArgument, Table) {
  const Case cases[] = {
      {K::Has, L(-1), "[5]", "true"},
      {K::Has, L(1), "[5]", "false"},
      {K::Has, L(-2), "[5]", "false"},
      {K::Has, L(std::numeric_limits<int64_t>::min()), "[5]", "false"},
      {K::Has, L("0"), "[5]", "false"},
      {K::Has, L("a"), "{\"a\":null}", "true"},
      {K::Has, L(0), "{\"0\":1}", "false"},
      {K::Has, L(0), "\"abc\"", "false"},
      {K::Startswith, L(""), "\"abc\"", "true"},
      {K::Startswith, L("b"), "\"abc\"", "false"},
      {K::Startswith, L("a"), "5", ""},
      {K::Endswith, L("bc"), "\"abc\"", "true"},
      {K::Endswith, L(1), "\"abc\"", ""},
      {K::Contains, L("b"), "\"abc\"", "true"},
      {K::Contains, L(""), "\"abc\"", "true"},
      {K::Contains, L(1), "[1,2]", "false"},  // an array holds no scalar constant
      {K::Contains, L(1.0), "1", "true"},
      {K::Contains, L("a"), "{\"a\":1}", "false"},
      {K::Contains, Lnull(), "null", "true"},
      {K::Inside, L("abc"), "\"b\"", "true"},
      {K::Inside, L("b"), "\"abc\"", "false"},
      {K::Inside, L(1), "[1]", "false"},
      {K::Split, L(","), "\"a,b,\"", "[\"a\",\"b\",\"\"]"},
      {K::Split, L(","), "\"a,,b\"", "[\"a\",\"\",\"b\"]"},
      {K::Split, L(","), "\"\"", "[\"\"]"},
      {K::Split, L("aa"), "\"aaa\"", "[\"\",\"a\"]"},  // no overlap
      {K::Split, L(""), "\"a\u00e9\u20ac\"", "[\"\",\"a\",\"\u00e9\",\"\u20ac\",\"\"]"},
      {K::Split, L(""), "\"\"", "[\"\",\"\"]"},
      {K::Split, L(","), "5", ""},
      {K::Join, L("-"), "[\"a\",1,null,true,[2]]", "\"a-1-true-[2]\""},
      {K::Join, L(","), "[null,\"a\",null]", "\"a\""},  // nulls add no separator
      {K::Join, L(","), "[1.0,2.5,-3,{\"a\":\"x\"}]", "\"1,2.5,-3,{\"a\":\"x\"}\""},
      {K::Join, L(","), "[]", "\"\""},
      {K::Join, L(1), "[\"a\"]", ""},
      {K::Join, L(","), "\"ab\"", ""},
      {K::Ltrimstr, L("ab"), "\"abc\"", "\"c\""},
      {K::Ltrimstr, L("x"), "\"abc\"", "\"abc\""},
      {K::Ltrimstr, L("aa"), "\"aa\"", "\"\""},
      {K::Ltrimstr, L("a"), "5", "5u"},  // not a string: passed on as it is
      {K::Ltrimstr, L(1), "\"1a\"", "\"1a\""},
      {K::Rtrimstr, L("bc"), "\"abc\"", "\"a\""},
      {K::Rtrimstr, L("a"), "\"abc\"", "\"abc\""},
      {K::Rtrimstr, L("a"), "null", "null"},
      {K::Flatten, L(int64_t{1}), "[1,[2,[3]]]", "[1u,2u,[3u]]"},
      {K::Flatten, L(int64_t{0}), "[1,[2,[3]]]", "[1u,[2u,[3u]]]"},
      {K::Flatten, L(-1), "[1,[2,[3,[4]]]]", "[1u,2u,3u,4u]"},
      {K::Flatten, L(1.5), "[[1]]", ""},
      {K::Flatten, L(int64_t{1}), "\"x\"", ""},
      {K::Index, L("b"), "\"a\u00e9b\"", "2"},  // code points, not bytes
      {K::Index, L(int64_t{2}), "[1,2.0,2]", "1"},
      {K::Index, L(int64_t{1}), "{}", "null"},
      {K::Index, L(""), "\"abc\"", "0"},
      {K::Index, L("x"), "\"abc\"", "null"},
      {K::Index, L(int64_t{1}), "\"1\"", "null"},
      {K::Rindex, L("b"), "\"\u00e9bab\"", "3"},
      {K::Rindex, L(""), "\"a\u00e9b\"", "3"},
      {K::Rindex, L(int64_t{1}), "[1,2,1.0]", "2"},
      {K::Indices, L("aa"), "\"aaaa\"", "[0,1,2]"},  // overlapping
      {K::Indices, L("\u00e9"), "\"\u00e9\u00e9\"", "[0,1]"},
      {K::Indices, L("\u00e9x\u00e9"), "\"\u00e9x\u00e9x\u00e9\"", "[0,2]"},
      {K::Indices, L(""), "\"abc\"", "[]"},
      {K::Indices, L(int64_t{1}), "[1,2,1]", "[0,2]"},
      {K::Indices, Lnull(), "[null,1,null]", "[0,2]"},
      {K::Indices, L(int64_t{1}), "5", "[]"},
      {K::Limit, L(int64_t{2}), "[1,2,3]", "[1u,2u]"},
      {K::Limit, L(int64_t{5}), "[1,2,3]", "[1u,2u,3u]"},
      {K::Limit, L(int64_t{0}), "[1,2,3]", "[]"},
      {K::Limit, L(-1), "[1,2,3]", "[1u,2u,3u]"},
      {K::Limit, L(2.0), "[1,2,3]", ""},
      {K::Limit, L(int64_t{2}), "\"abc\"", ""},
  };
  for (const Case& c : cases) {
    BuiltinWithArg node{c.argument, c.kind};
    Value input = parse_json(c.input);
    auto apply = [&](EvalValue v, ResultList& out) {
      apply_builtin_with_arg(node, std::move(v), out);
    };
    EXPECT_EQ(run_both_ways(apply, input), c.expected)
        << tamsel::query::builtin_name(c.kind) << "("
        << describe(tamsel::engine::literal_to_value(c.argument)) << ") of " << c.input;
  }
}

TEST(BuiltinsWithArgument, JoinWritesNonFiniteFloatsAsWords) {
  Value input = arr(F(std::numeric_limits<double>::quiet_NaN()),
                    F(std::numeric_limits<double>::infinity()),
                    F(-std::numeric_limits<double>::infinity()), F(1e21));
  BuiltinWithArg node{L(" "), K::Join};
  ResultList out;
  apply_builtin_with_arg(node, EvalValue::borrowed(input), out);
  EXPECT_EQ(out.at(0).get().as_string(), "NaN inf -inf 1000000000000000000000");
}

TEST(BuiltinsWithArgument, TrimOfNonStringKeepsItsReference) {
  Value input = parse_json("[1]");
  for (K kind : {K::Ltrimstr, K::Rtrimstr}) {
    ResultList out;
    apply_builtin_with_arg(BuiltinWithArg{L("a"), kind}, EvalValue::borrowed(input), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].is_borrowed());
    EXPECT_EQ(&out[0].get(), &input);
  }
}

// The constant argument is never a container, so the nested cases of the
// relation are only reachable through inside on a container input.
TEST(BuiltinsWithArgument, ContainmentRelation) {
  struct RelationCase {
    const char* a;
    const char* b;
    bool expected;
  };
  const RelationCase cases[] = {
      {"[1,[2,3]]", "[[2]]", true},
      {"[1,2]", "[]", true},
      {"[\"foobar\"]", "[\"bar\"]", true},
      {"[1]", "[1.0]", true},
      {"[1]", "[1,3]", false},
      {"[[]]", "[[]]", true},
      {"[{}]", "[{}]", true},
      {"{\"a\":{\"b\":1,\"c\":2},\"d\":3}", "{\"a\":{\"b\":1}}", true},
      {"{\"a\":1}", "{\"b\":1}", false},
      {"{\"a\":[1,2]}", "{\"a\":[3]}", false},
      {"{}", "{}", true},
      {"\"a\"", "[\"a\"]", false},
      {"[1]", "{}", false},
      {"null", "false", false},
  };
  for (const RelationCase& c : cases) {
    EXPECT_EQ(contains_value(parse_json(c.a), parse_json(c.b)), c.expected)
        << c.a << " contains " << c.b;
  }
}

}  // namespace
