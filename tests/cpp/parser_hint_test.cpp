// Notes beside syntax errors: where the parser stopped, and what to write
// instead. The messages themselves are parser_errors_test's.

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "parser/parser.h"
#include "parser/query_hint.h"

namespace tamsel::query::testing {
namespace {

std::vector<std::string> notes_of(std::string_view query) {
  auto result = compile_query(query);
  auto* error = std::get_if<CompileError>(&result);
  if (!error) return {"(compiled)"};
  return compile_notes(query, *error);
}

// The hint: the note after the caret's (an empty query has no caret).
std::string hint_of(std::string_view query) {
  std::vector<std::string> notes = notes_of(query);
  const size_t caret = query.empty() ? 0 : 1;
  return notes.size() == caret + 1 ? notes[caret] : "";
}

struct HintCase {
  std::string_view query;
  std::string_view hint;
};

// One row per hint, in the order they are tried.
TEST(ParserHints, WhatToWriteInstead) {
  const HintCase cases[] = {
      {"", "the query is empty: `.` gives the input as it is"},
      {" .", "a query cannot start with white space"},
      {R"x("id: \(.id)")x",
       R"x(there is no string interpolation `\(...)` here: join strings with `+`, as in )x"
       R"x(`.id | tostring | "id: " + .`)x"},
      {R"x(has("\ud83d"))x",
       R"x(`\u` takes four hex digits here, and a surrogate its pair: `\u00e9`, `\ud83d\ude00`)x"},
      {R"x(split("\b"))x",
       R"x(`\b` is no escape here; the escapes are `\"`, `\\`, `\/`, `\n`, `\r`, `\t` and )x"
       R"x(`\uXXXX` (`\b` is `\u0008`))x"},
      {R"x(.a | "abc)x", R"x(the string is never closed: a `"` is missing)x"},
      {"'a'", R"x(strings are written in double quotes: `"text"`)x"},
      {".a |", "nothing follows the `|`"},
      {"select(.a ==)", "nothing follows the `==`"},
      {R"x(.a // "x")x",
       R"x(there is no `//` here; for a default, merge it in first: `{a: "x"} + . | .a` )x"
       "(a member that is null stays null)"},
      {".a?",
       "there is no `?` here: a step that does not apply gives no result rather than an error, "
       "so leave the `?` out"},
      {R"x(.a["b"])x", R"x(a member is written `.a.b` here, not `.a["b"]`)x"},
      {".[ 1]",
       "a bracket holds an integer, a slice or nothing, without spaces: `.[0]`, `.[1:]`, `.[]`"},
      {".items[]",
       "every path step has its own dot here: jq's `.items[]` is written `.items.[]`"},
      {"keys[0]", "every path step has its own dot here: jq's `keys[0]` is written `keys.[0]`"},
      {"[.a, .b]",
       "there is no array construction `[...]` here: build an object (`{a: .a, b: .b}`), or "
       "collect the results in Python"},
      {R"x(."a b")x",
       "a member name cannot be quoted here: `.name`, with a name that is an identifier"},
      {"{}", "an object needs at least one member here: `{}` is not accepted"},
      {"{a}", "a member is written `key: value` here: jq's `{a}` is `{a: .a}`"},
      {R"x({"a": 1})x",
       R"x(an object key is an identifier written as it is: `{a: 1}`, not `{"a": 1}`)x"},
      {"{a: 1 b: 2}", "the members of an object are separated by `,`: `{a: 1, b: 2}`"},
      {"{(.k): 1}",
       "an object key is an identifier written as it is; computed keys are not accepted"},
      {"has", "`has` takes one argument, a literal: `has(...)`"},
      {"limit(2; .[])", "`limit` takes a single argument here, a literal"},
      {"flatten(.a)",
       "the argument of `flatten` must be a literal: a string, a number, `true`, `false` or "
       "`null`"},
      {"length(1)", "`length` takes no argument"},
      {"(.a+1)*2",
       "parentheses group only conditions, inside `select(...)`; to work something out first, "
       "pipe it: jq's `(.a + 1) * 2` is `.a + 1 | . * 2` here"},
      {".a |= 1",
       "there is no assignment (`=`, `|=`, `+=`) here: a query builds new values, as in "
       "`. + {a: 1}`; equality is `==`, inside `select(...)`"},
      {"select(.a && .b)", "`&&` is written `and` here, inside `select(...)`: `select(.a and .b)`"},
      {".a >= 1",
       "comparisons, `and` and `or` exist only inside `select(...)`: `select(.a >= 1)`"},
      {". as $x | $x", "there are no variables (`$name`, `... as $name`) here"},
      {"$__loc__", "there are no variables (`$name`, `... as $name`) here"},
      {".[] | @tsv",
       R"x(there are no formats (`@csv`, `@tsv`, ...) here; `values | join("\t")` joins a row )x"
       "without quoting"},
      {"@csv",
       R"x(there are no formats (`@csv`, `@tsv`, ...) here; `values | join(",")` joins a row )x"
       "without quoting"},
      {"@base64", "there are no formats (`@csv`, `@tsv`, ...) here"},
      {".a | map(.b)",
       "there is no `map` here: jq's `map(.b)` is `.[] | .b`, which gives the results one by "
       "one"},
      {"if .a then 1 else 2 end",
       "there is no `if` here: `select(condition)` keeps its input where the condition holds, "
       "as in `select(.a > 1) | .b`"},
      {"reduce .[] as $x (0; . + $x)",
       "there is no `reduce` here; `add` adds up an array's elements and `length` counts them"},
      {"def f: .; f", "there are no functions of your own here: `def` is not accepted"},
      {"try .a",
       "there is no `try` here: nothing fails during evaluation; a step that does not apply "
       "gives no result"},
      {".a and .b",
       "`and`, `or` and comparisons exist only inside `select(...)`: `select(.a and .b)`"},
      {".a .b",
       "the steps of a path follow each other without space: `.a.b`; to run one query on "
       "another's results, pipe them: `.a | .b`"},
      {"lenght", "no builtin `lenght`; did you mean `length`?"},
      {".a | Length", "no builtin `Length`; did you mean `length`?"},
      {"tostr", "no builtin `tostr`; did you mean `tostring`?"},
      {"selct(.a)", "no builtin `selct`; did you mean `select`?"},
      {"lenght-1", "no builtin `lenght`; did you mean `length`?"},
      {"select(.type == PushEvent)",
       R"x(no builtin `PushEvent` (a member is written `.PushEvent`, a string `"PushEvent"`))x"},
      // Nothing to say.
      {"1.", ""},
      {"1 2", ""},
  };
  for (const HintCase& c : cases) EXPECT_EQ(hint_of(c.query), c.hint) << "query: " << c.query;
}

struct CaretCase {
  std::string query;
  std::string note;
};

// Where the caret stands, and how the line above it is shown.
TEST(ParserHints, CaretUnderWhereTheParserStopped) {
  const std::string long_query = ".a | ." + std::string(100, 'x') + "[0]";
  const std::string long_note = "  ..." + std::string(69, 'x') + "[0]\n     " +
                                std::string(69, ' ') + "^";
  const CaretCase cases[] = {
      // Farther than the message: the error inside select is reported at its start.
      {".[] | select(.type == PushEvent)",
       "  .[] | select(.type == PushEvent)\n                        ^"},
      // At the end of the query.
      {"1 +", "  1 +\n     ^"},
      // Code points, not bytes.
      {"{é: 1}", "  {é: 1}\n   ^"},
      {R"x("é" | .x[0])x", "  \"é\" | .x[0]\n          ^"},
      // Tabs stay tabs under the query, and escaped characters take their room.
      {".a |\tfoo", "  .a |\tfoo\n      \t^"},
      {"\"e\u0301\" | x", "  \"e\\u{301}\" | x\n               ^"},
      // Only the line that holds the place, with its number.
      {".a\n| .b[0]\n| .c", "  | .b[0]\n      ^ (line 2)"},
      {".a[0]\n", "  .a[0]\n    ^"},
      // A window around the place in a long line.
      {long_query, long_note},
      {std::string(100, 'x'), "  " + std::string(72, 'x') + "...\n  ^"},
  };
  for (const CaretCase& c : cases) {
    std::vector<std::string> notes = notes_of(c.query);
    ASSERT_FALSE(notes.empty()) << c.query;
    EXPECT_EQ(notes[0], c.note) << "query: " << c.query;
  }
}

TEST(ParserHints, NoNotesWhenNestedTooDeep) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "select(";
  EXPECT_EQ(notes_of(deep), std::vector<std::string>{});
}

}  // namespace
}  // namespace tamsel::query::testing
