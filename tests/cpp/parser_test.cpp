// Tree shapes: query text in, dump of the tree out.

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace tamsel::query::testing {
namespace {

void expect_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.query), c.expected) << "query: " << c.query;
}

TEST(ParserGrammar, PipesCommasAndPrecedence) {
  expect_all({
      {".", "Identity"},
      {".a, .b", "Comma([Field(a)], [Field(b)])"},
      {".a | .b", "Field(a) | Field(b)"},
      {".a|.b|.c", "Field(a) | Field(b) | Field(c)"},
      {".a | .b , .c", "Field(a) | Comma([Field(b)], [Field(c)])"},
      {".a,.b,.c", "Comma([Field(a)], [Field(b)], [Field(c)])"},
      {"1 + 2 * 3", "Add([Literal(1)], [Mul([Literal(2)], [Literal(3)])])"},
      {"1 * 2 + 3", "Add([Mul([Literal(1)], [Literal(2)])], [Literal(3)])"},
      {"1 - 2 - 3", "Sub([Sub([Literal(1)], [Literal(2)])], [Literal(3)])"},
      {"8 / 4 % 3", "Mod([Div([Literal(8)], [Literal(4)])], [Literal(3)])"},
      {"1+2, 3", "Comma([Add([Literal(1)], [Literal(2)])], [Literal(3)])"},
      {".a -1", "Sub([Field(a)], [Literal(1)])"},
      {".a - -1", "Sub([Field(a)], [Literal(-1)])"},
      {"length-1", "Sub([Builtin(length)], [Literal(1)])"},
      {". ", "Identity"},
      {".a\n", "Field(a)"},
  });
}

TEST(ParserGrammar, ChainsAndPaths) {
  expect_all({
      {".a.b", "Field(a) | Field(b)"},
      {".a.[0]", "Field(a) | Index(0)"},
      {"select(.a).b", "Select(Truthy([Field(a)])) | Field(b)"},
      {"keys.[0]", "Builtin(keys) | Index(0)"},
      {"{a: 1}.a", "Object(a: [Literal(1)]) | Field(a)"},
      {".a-1", "Field(a-1)"},
      {"._", "Field(_)"},
      {".__a-b_1", "Field(__a-b_1)"},
      {".aé", "Field(aé)"},
      {".x1", "Field(x1)"},
      {".[]", "Iterate"},
      {".[].a", "Iterate | Field(a)"},
      {"..", "RecursiveDescent"},
      {"...a", "RecursiveDescent | Field(a)"},
      {".[-1]", "Index(-1)"},
      {".[007]", "Index(7)"},
      {".[2147483647]", "Index(2147483647)"},
      {".[-2147483648]", "Index(-2147483648)"},
      {".[1:]", "Slice(1:)"},
      {".[:2]", "Slice(:2)"},
      {".[:]", "Slice(:)"},
      {".[-3:-1]", "Slice(-3:-1)"},
      {".[2147483648:]", "Slice(2147483648:)"},
      {".[:-9223372036854775808]", "Slice(:-9223372036854775808)"},
      {".[9223372036854775807:]", "Slice(9223372036854775807:)"},
  });
}

TEST(ParserGrammar, Literals) {
  expect_all({
      {"null", "Literal(null)"},
      {"true", "Literal(true)"},
      {"false ", "Literal(false)"},
      {"7", "Literal(7)"},
      {"-7", "Literal(-7)"},
      {"007", "Literal(7)"},
      {"-0", "Literal(0)"},
      {"9223372036854775807", "Literal(9223372036854775807)"},
      {"-9223372036854775808", "Literal(-9223372036854775808)"},
      {"1.5", "Literal(1.5)"},
      {"-0.25", "Literal(-0.25)"},
      {"1.0", "Literal(1.0)"},
      {"-0.0", "Literal(-0.0)"},
      {"0.1", "Literal(0.1)"},
      {"0.30000000000000004", "Literal(0.30000000000000004)"},
      // Halfway between two doubles: ties to even.
      {"9007199254740993.0", "Literal(9007199254740992.0)"},
      {"9007199254740995.0", "Literal(9007199254740996.0)"},
      {"99999999999999999999.5", "Literal(1e+20)"},
      {std::string(400, '9') + ".0", "Literal(inf)"},
      {"-" + std::string(400, '9') + ".0", "Literal(-inf)"},
      {"0." + std::string(400, '0') + "1", "Literal(0.0)"},
      {"0." + std::string(323, '0') + "5", "Literal(5e-324)"},
  });
}

TEST(ParserGrammar, StringLiterals) {
  expect_all({
      {R"("")", R"(Literal(""))"},
      {R"("a\u00e9b")", R"(Literal("aéb"))"},
      {R"("\u00E9")", R"(Literal("é"))"},
      {R"("\ud83d\ude00")", R"(Literal("😀"))"},
      {R"("\uD83D\uDE00!")", R"(Literal("😀!"))"},
      {R"("\"\\\/\n\r\t")", R"(Literal("\"\\/\n\r\t"))"},
      {R"("\u0000")", R"(Literal("\0"))"},
      {"\"a\tb\nc\"", R"(Literal("a\tb\nc"))"},
      {R"("it's")", R"(Literal("it's"))"},
      {R"(" é ")", R"(Literal(" é "))"},
  });
}

TEST(ParserGrammar, Builtins) {
  expect_all({
      {"keys_unsorted", "Builtin(keys_unsorted)"},
      {"keys", "Builtin(keys)"},
      {"not", "Builtin(not)"},
      {"flatten", "Builtin(flatten)"},
      {"flatten(1)", "Call(flatten, 1)"},
      {"flatten(1.5)", "Call(flatten, 1.5)"},
      {R"(has("a"))", R"(Call(has, "a"))"},
      {"has(1)", "Call(has, 1)"},
      {"has(null)", "Call(has, null)"},
      {"limit(2)", "Call(limit, 2)"},
      {"limit ( 2 )", "Call(limit, 2)"},
      {"limit(\n-2\t)", "Call(limit, -2)"},
      {"index(\"x\")", "Call(index, \"x\")"},
      {"indices(true)", "Call(indices, true)"},
      {"length-1", "Sub([Builtin(length)], [Literal(1)])"},
      {"keys|length", "Builtin(keys) | Builtin(length)"},
  });
}

// Every name gives its own code, in both call forms.
TEST(ParserGrammar, EveryBuiltinNameHasItsCode) {
  const char* names[kBuiltinCount] = {
      "length",   "keys",       "keys_unsorted", "values",     "type",     "reverse",
      "sort",     "flatten",    "add",           "min",        "max",      "unique",
      "first",    "last",       "not",           "empty",      "tostring", "tonumber",
      "to_entries", "from_entries", "ascii_downcase", "ascii_upcase", "tojson", "fromjson",
      "explode",  "implode",    "floor",         "ceil",       "round",    "sqrt",
      "fabs",     "nan",        "infinite",      "isinfinite", "isnan",    "isnormal",
      "recurse"};
  for (int code = 0; code < kBuiltinCount; ++code) {
    ASSERT_NE(names[code], nullptr) << "this list names no builtin of code " << code;
    auto result = compile_query(names[code]);
    auto* pipeline = std::get_if<Pipeline>(&result);
    ASSERT_NE(pipeline, nullptr) << names[code];
    auto* builtin = std::get_if<Builtin>(&(*pipeline)[0].node);
    ASSERT_NE(builtin, nullptr) << names[code];
    EXPECT_EQ(static_cast<int>(builtin->kind), code) << names[code];
    EXPECT_STREQ(builtin_name(builtin->kind), names[code]);
  }

  const char* arg_names[kArgBuiltinCount] = {
      "has",      "startswith", "endswith", "contains", "inside", "split",   "join",
      "ltrimstr", "rtrimstr",   "flatten",  "index",    "rindex", "indices", "limit"};
  for (int code = 0; code < kArgBuiltinCount; ++code) {
    ASSERT_NE(arg_names[code], nullptr) << "this list names no builtin of code " << code;
    auto result = compile_query(std::string(arg_names[code]) + "(1)");
    auto* pipeline = std::get_if<Pipeline>(&result);
    ASSERT_NE(pipeline, nullptr) << arg_names[code];
    auto* builtin = std::get_if<BuiltinWithArg>(&(*pipeline)[0].node);
    ASSERT_NE(builtin, nullptr) << arg_names[code];
    EXPECT_EQ(static_cast<int>(builtin->kind), code) << arg_names[code];
    EXPECT_STREQ(builtin_name(builtin->kind), arg_names[code]);
  }
}

TEST(ParserGrammar, SelectConditions) {
  expect_all({
      {"select(.a == 1)", "Select(Eq([Field(a)], 1))"},
      {"select(.a != \"x\")", "Select(Ne([Field(a)], \"x\"))"},
      {"select(.a>=1)", "Select(Ge([Field(a)], 1))"},
      {"select(.a<=1)", "Select(Le([Field(a)], 1))"},
      {"select(.a<1)", "Select(Lt([Field(a)], 1))"},
      {"select(.a>1)", "Select(Gt([Field(a)], 1))"},
      {"select(.a==-1.5)", "Select(Eq([Field(a)], -1.5))"},
      {"select(.a == null)", "Select(Eq([Field(a)], null))"},
      {"select( .a == true )", "Select(Eq([Field(a)], true))"},
      {"select (.a)", "Select(Truthy([Field(a)]))"},
      {"select(.a == .b)", "Select(Eq([Field(a)], [Field(b)]))"},
      {"select(.a == nan)", "Select(Eq([Field(a)], [Builtin(nan)]))"},
      {"select(.a == | .b)", "Select(Eq([Field(a)], [Field(b)]))"},
      {"select(.a == .b + 1)", "Select(Eq([Field(a)], [Add([Field(b)], [Literal(1)])]))"},
      {"select(.a | length > 2)", "Select(Gt([Field(a) | Builtin(length)], 2))"},
      {"select(| .a)", "Select(Truthy([Field(a)]))"},
      {"select(1)", "Select(Truthy([Literal(1)]))"},
      {"select(.a > 1 and .b or not .c)",
       "Select(Or(And(Gt([Field(a)], 1), Truthy([Field(b)])), Not(Truthy([Field(c)]))))"},
      {"select(.a or .b and .c)",
       "Select(Or(Truthy([Field(a)]), And(Truthy([Field(b)]), Truthy([Field(c)]))))"},
      {"select(.a and .b and .c)",
       "Select(And(And(Truthy([Field(a)]), Truthy([Field(b)])), Truthy([Field(c)])))"},
      {"select((.a or .b) and .c)",
       "Select(And(Or(Truthy([Field(a)]), Truthy([Field(b)])), Truthy([Field(c)])))"},
      {"select(( .a ))", "Select(Truthy([Field(a)]))"},
      {"select(not .a == 1)", "Select(Not(Eq([Field(a)], 1)))"},
      {"select(not(.a or .b))", "Select(Not(Or(Truthy([Field(a)]), Truthy([Field(b)]))))"},
      {"select(.a or-1)", "Select(Or(Truthy([Field(a)]), Truthy([Literal(-1)])))"},
      // "| not" negates a comparison with a literal ...
      {"select(.a == 1 | not)", "Select(Not(Eq([Field(a)], 1)))"},
      {"select(.a == 1 |not and .b)", "Select(And(Not(Eq([Field(a)], 1)), Truthy([Field(b)])))"},
      {"select(not .a == 1 | not)", "Select(Not(Not(Eq([Field(a)], 1))))"},
      // ... but joins a pipeline on the right side, and is a builtin elsewhere.
      {"select(.a == .b | not)", "Select(Eq([Field(a)], [Field(b) | Builtin(not)]))"},
      {"select(.a | not)", "Select(Truthy([Field(a) | Builtin(not)]))"},
      {"select(not)", "Select(Truthy([Builtin(not)]))"},
      {"select(not | .a)", "Select(Not(Truthy([Field(a)])))"},
      {"select(not.a)", "Select(Not(Truthy([Field(a)])))"},
      // A bad right side gives way to a plain test of the left side.
      {".b | select(.a == \"\\q\")", kExtraChars},
      {"select(.a == 1 + 2)", parse_error(R"(select(.a == 1 + 2))", "Digit")},
      {"select(select(.a))", "Select(Truthy([Select(Truthy([Field(a)]))]))"},
  });
}

TEST(ParserGrammar, ObjectConstruction) {
  expect_all({
      {"{a: .x, b-c: 1}", "Object(a: [Field(x)], b-c: [Literal(1)])"},
      {"{a: | .x}", "Object(a: [Field(x)])"},
      {"{ a : .x | .y , b:1 }", "Object(a: [Field(x) | Field(y)], b: [Literal(1)])"},
      {"{a: 1, a: 2}", "Object(a: [Literal(1)], a: [Literal(2)])"},
      {"{a: {b: .c}}", "Object(a: [Object(b: [Field(c)])])"},
      {"{a: 1 + 2}", "Object(a: [Add([Literal(1)], [Literal(2)])])"},
      {"{é: 1}", parse_error(R"({é: 1})", "Digit")},
      {"{\"a\": 1}", parse_error(R"({\"a\": 1})", "Digit")},
      {"{a: 1, b}", parse_error(R"({a: 1, b})", "Digit")},
      {"{a: 1,}", parse_error(R"({a: 1,})", "Digit")},
      {"{a: .x, .y}", parse_error(R"({a: .x, .y})", "Digit")},
      {"{}", parse_error(R"({})", "Digit")},
  });
}

}  // namespace
}  // namespace tamsel::query::testing
