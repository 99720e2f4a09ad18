// Syntax errors: which error and which remaining text reach the message, and
// how that text is quoted.

#include <gtest/gtest.h>

#include "parser_test_support.h"

namespace tamsel::query::testing {
namespace {

void expect_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(outcome(c.query), c.expected) << "query: " << c.query;
}

TEST(ParserErrors, UnparsedRestIsExtraChars) {
  expect_all({
      {".a .b", kExtraChars},
      {"1.a", kExtraChars},
      {"1.", kExtraChars},
      {".a[0]", kExtraChars},
      {".[ 1]", kExtraChars},
      {".[2147483648]", kExtraChars},
      {".[-2147483649]", kExtraChars},
      {".[99999999999999999999:]", kExtraChars},
      {".[:99999999999999999999]", kExtraChars},
      {".[\"a\"]", kExtraChars},
      {".é", kExtraChars},
      {".\"a\"", kExtraChars},
      {".a |", kExtraChars},
      {".a,", kExtraChars},
      {".a, 1 +", kExtraChars},
      {".a | 1 + foo", kExtraChars},
      {".a{b: }", kExtraChars},
      {".a == 1", kExtraChars},
      {"..a", kExtraChars},
      {"length(1)", kExtraChars},
      {"flatten(.a)", kExtraChars},
      {"true.a", kExtraChars},
      {"select(.a) and .b", kExtraChars},
  });
}

TEST(ParserErrors, TrailingUnicodeWhiteSpaceIsAccepted) {
  expect_all({
      {".a \t\r\n", "Field(a)"},
      {".a\v\f", "Field(a)"},
      {".a\u0085\u00a0\u2003\u3000", "Field(a)"},
      {".a\u3000x", kExtraChars},
      // U+200B is not White_Space.
      {".a\u200b", kExtraChars},
      {" .", parse_error(R"( .)", "Digit")},
      {"\u00a0.", parse_error(R"(\u{a0}.)", "Digit")},
  });
}

TEST(ParserErrors, ChainThatCannotStartReportsTheLiteral) {
  expect_all({
      {"", parse_error(R"()", "Digit")},
      {"foo", parse_error(R"(foo)", "Digit")},
      {"-foo", parse_error(R"(foo)", "Digit")},
      {"- 5", parse_error(R"( 5)", "Digit")},
      {"+5", parse_error(R"(+5)", "Digit")},
      {".5", kExtraChars},
      {"1 +", parse_error(R"()", "Digit")},
      {"1 + foo", parse_error(R"(foo)", "Digit")},
      {"1 * -x", parse_error(R"(x)", "Digit")},
      {"99999999999999999999", parse_error(R"(99999999999999999999)", "MapRes")},
      {"9223372036854775808", parse_error(R"(9223372036854775808)", "MapRes")},
      {"-9223372036854775809 | .a", parse_error(R"(-9223372036854775809 | .a)", "MapRes")},
      {"(.a)", parse_error(R"((.a))", "Digit")},
      {"truex", parse_error(R"(truex)", "Digit")},
      {"lengthy", parse_error(R"(lengthy)", "Digit")},
      {"keys_x", parse_error(R"(keys_x)", "Digit")},
      {"keysé", parse_error(R"(keysé)", "Digit")},
      {"not2", parse_error(R"(not2)", "Digit")},
      {"has", parse_error(R"(has)", "Digit")},
      {"has(.a)", parse_error(R"(has(.a))", "Digit")},
      {"limit(.n)", parse_error(R"(limit(.n))", "Digit")},
      {"has(1, 2)", parse_error(R"(has(1, 2))", "Digit")},
      {"selectx(.a)", parse_error(R"(selectx(.a))", "Digit")},
      {"select(notx)", parse_error(R"(select(notx))", "Digit")},
      {"select(.a ==)", parse_error(R"(select(.a ==))", "Digit")},
      {"select(.a or)", parse_error(R"(select(.a or))", "Digit")},
      {"select(.a, .b)", parse_error(R"(select(.a, .b))", "Digit")},
      {"select(.a == 1 | .b)", parse_error(R"(select(.a == 1 | .b))", "Digit")},
      {"{b: }", parse_error(R"({b: })", "Digit")},
      {"\"abc", parse_error(R"(\"abc)", "Digit")},
      {"1, \"abc", kExtraChars},
  });
}

TEST(ParserErrors, BadStringEscapesFailUnrecoverably) {
  expect_all({
      {R"(has("\q"))", parse_failure(R"(\\q\"))")},
      {R"("\b")", parse_failure(R"(\\b\")")},
      {R"("\f")", parse_failure(R"(\\f\")")},
      {R"("ab\ud83d")", parse_failure(R"(ab\\ud83d\")")},
      {R"("\ud83d\u0041")", parse_failure(R"(\\ud83d\\u0041\")")},
      {R"("\ud83dx")", parse_failure(R"(\\ud83dx\")")},
      {R"("\ude00")", parse_failure(R"(\\ude00\")")},
      {R"("\u12")", parse_failure(R"(\\u12\")")},
      {R"("\u12g4")", parse_failure(R"(\\u12g4\")")},
      {R"("abc\)", parse_failure(R"(abc\\)")},
      // Wherever the string stands ...
      {R"(.a, "\q")", parse_failure(R"(\\q\")")},
      {R"(.a | 1 + "\q")", parse_failure(R"(\\q\")")},
      {R"({a: "\q"})", parse_failure(R"(\\q\"})")},
      {R"(select(.a | has("\q")))", parse_failure(R"(\\q\")))")},
      {R"(select("\q" == 1))", parse_failure(R"(\\q\" == 1))")},
      // ... except as the right side of a comparison.
      {R"(select(.a == "\q"))", parse_error(R"(select(.a == \"\\q\"))", "Digit")},
  });
}

TEST(ParserErrors, RemainingTextIsQuotedLikeADebugString) {
  expect_all({
      {"foo\nbar", parse_error(R"(foo\nbar)", "Digit")},
      {"x\t\r", parse_error(R"(x\t\r)", "Digit")},
      {"é", parse_error(R"(é)", "Digit")},
      {"e\u0301", parse_error(R"(e\u{301})", "Digit")},
      {"\u200b", parse_error(R"(\u{200b})", "Digit")},
      {"\u2028", parse_error(R"(\u{2028})", "Digit")},
      {"\x7f", parse_error(R"(\u{7f})", "Digit")},
      {"\x1b", parse_error(R"(\u{1b})", "Digit")},
      {"\ue000", parse_error(R"(\u{e000})", "Digit")},
      {"\U0001F600 '", parse_error(R"(😀 ')", "Digit")},
      {"a\\b\"c", parse_error(R"(a\\b\"c)", "Digit")},
      {std::string("x\0y", 3), parse_error(R"(x\0y)", "Digit")},
  });
}

}  // namespace
}  // namespace tamsel::query::testing
