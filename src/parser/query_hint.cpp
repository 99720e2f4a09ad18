#include "parser/query_hint.h"

#include <algorithm>
#include <initializer_list>
#include <optional>

#include "parser/builtin_table.h"
#include "parser/error_text.h"
#include "parser/lexical.h"
#include "parser/literal.h"
#include "unicode/utf8.h"

namespace tamsel::query {
namespace {

constexpr size_t kNone = std::string_view::npos;

// --- Where the parser stopped -------------------------------------------------

// Characters of a long line that the excerpt shows, and how many of them
// come before the caret.
constexpr size_t kWindow = 72;
constexpr size_t kBefore = 40;

// One character of the excerpt: how it is shown, and what stands under it
// on the caret's line.
struct Cell {
  std::string shown;
  std::string under;
};

Cell cell_of(std::string_view bytes, char32_t c) {
  if (c == U'\t') return {"\t", "\t"};
  if (shown_as_code(c)) {
    std::string code;
    append_code_escape(code, c);
    return {code, std::string(code.size(), ' ')};
  }
  return {std::string(bytes), " "};
}

// --- What stands there --------------------------------------------------------

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_ascii_word(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool is_builtin(std::string_view word) {
  for (const auto& builtin : kBuiltins)
    if (builtin.name == word) return true;
  return false;
}
bool is_arg_builtin(std::string_view word) {
  for (const auto& builtin : kArgBuiltins)
    if (builtin.name == word) return true;
  return false;
}

// The parts one after another. (Built by appending: GCC 12 warns wrongly
// about chains of operator+ on temporaries.)
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out.append(part);
  return out;
}

// The parts as code: between backquotes.
std::string code(std::initializer_list<std::string_view> parts) {
  std::string out = "`";
  for (std::string_view part : parts) out.append(part);
  out += '`';
  return out;
}

// The place a hint looks at, and what lies around it.
struct Spot {
  std::string_view q;
  size_t at;

  char at_offset(size_t i) const { return i < q.size() ? q[i] : '\0'; }
  char here() const { return at_offset(at); }
  bool at_end() const { return skip_ws(q, at) >= q.size(); }
  bool starts(std::string_view text) const { return q.substr(at).starts_with(text); }

  // The offset of the last character before `pos` that is not white space.
  size_t before(size_t pos) const {
    while (pos > 0) {
      if (!is_ws(q[--pos])) return pos;
    }
    return kNone;
  }
  char previous() const {
    const size_t i = before(at);
    return i == kNone ? '\0' : q[i];
  }

  // The word that starts at `at` (a letter or "_", then word characters),
  // unless it goes on a word, a field or a variable that starts earlier.
  std::string_view word() const {
    if (at > 0 && (is_ascii_word(q[at - 1]) || q[at - 1] == '.' || q[at - 1] == '$' ||
                   q[at - 1] == '@'))
      return {};
    auto end = identifier_end(q, at);
    if (!end) return {};
    size_t stop = at;
    while (stop < *end && q[stop] != '-') ++stop;  // "lenght-1" is the word "lenght"
    return q.substr(at, stop - at);
  }

  // The word that ends at the last character before `pos` that is not
  // white space, when one does.
  std::string_view word_before(size_t pos) const {
    const size_t last = before(pos);
    if (last == kNone || !is_ascii_word(q[last])) return {};
    size_t first = last;
    while (first > 0 && is_ascii_word(q[first - 1])) --first;
    if (first > 0 && q[first - 1] == '.') return {};
    return q.substr(first, last + 1 - first);
  }

  // Where the string literal that `at` lies in starts (its opening quote),
  // as the text up to `at` reads; kNone when `at` lies outside strings.
  size_t string_start() const {
    size_t start = kNone;
    for (size_t i = 0; i < at && i < q.size(); ++i) {
      if (start == kNone) {
        if (q[i] == '"') start = i;
      } else if (q[i] == '\\') {
        ++i;
      } else if (q[i] == '"') {
        start = kNone;
      }
    }
    return start;
  }

  // Calls `visit(i)` at each offset from `from` up to `to` that lies
  // outside string literals, until it returns true; returns that offset, or
  // kNone.
  template <class Visit>
  size_t outside_strings(size_t from, size_t to, Visit&& visit) const {
    bool in_string = false;
    for (size_t i = from; i < to && i < q.size(); ++i) {
      if (in_string) {
        if (q[i] == '\\') {
          ++i;
        } else if (q[i] == '"') {
          in_string = false;
        }
      } else if (q[i] == '"') {
        in_string = true;
      } else if (visit(i)) {
        return i;
      }
    }
    return kNone;
  }

  // Whether `at` lies inside "{ ... }", outside strings.
  bool in_object() const {
    int open = 0;
    outside_strings(0, at, [&](size_t i) {
      if (q[i] == '{') ++open;
      if (q[i] == '}' && open > 0) --open;
      return false;
    });
    return open > 0;
  }

  // The text from `from` to the ")" that closes the "(" at `from`, both
  // included, or to the end of the text; outside strings.
  std::string_view parenthesized(size_t from) const {
    int depth = 0;
    const size_t close = outside_strings(from, q.size(), [&](size_t i) {
      if (q[i] == '(') ++depth;
      return q[i] == ')' && --depth == 0;
    });
    return close == kNone ? q.substr(from) : q.substr(from, close + 1 - from);
  }
};

// Damerau-Levenshtein distance (adjacent swaps count one), ignoring case.
size_t distance(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      const bool swapped = i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                           lower(a[i - 2]) == lower(b[j - 1]);
      if (swapped) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The words a query may hold where a builtin could stand: every builtin,
// then the words of the grammar itself.
constexpr std::string_view kGrammarWords[] = {"select", "true", "false", "null", "not"};

// The builtin (or grammar word) that `word` most likely meant: the nearest
// within a distance that grows with the word (1 up to four letters, 2 up to
// eight, 3 beyond), or else the only name that starts with it (four letters
// or more). Ties go to the first in the builtin list.
std::optional<std::string_view> meant(std::string_view word) {
  const size_t limit = word.size() <= 4 ? 1 : word.size() <= 8 ? 2 : 3;
  std::optional<std::string_view> best, prefixed;
  size_t best_distance = limit + 1;
  int starting = 0;
  auto consider = [&](std::string_view name) {
    const size_t d = distance(word, name);
    if (d < best_distance) {
      best = name;
      best_distance = d;
    }
    if (word.size() >= 4 && name.starts_with(word) && prefixed != name) {
      prefixed = name;
      ++starting;
    }
  };
  for (const auto& builtin : kBuiltins) consider(builtin.name);
  for (const auto& builtin : kArgBuiltins) consider(builtin.name);
  for (std::string_view name : kGrammarWords) consider(name);
  if (best) return best;
  if (starting == 1) return prefixed;
  return std::nullopt;
}

// --- The hints, one function each, tried in order ---------------------------------
//
// Each looks at what stands at the spot and returns its line, or "" when
// it has nothing to say there.

std::string empty_query(const Spot& s) {
  if (skip_ws(s.q, 0) < s.q.size()) return {};
  return "the query is empty: `.` gives the input as it is";
}

std::string leading_space(const Spot& s) {
  if (s.at >= s.q.size() || !is_ws(s.here()) || s.before(s.at) != kNone) return {};
  return "a query cannot start with white space";
}

std::string string_escape(const Spot& s) {
  if (s.here() != '\\' || s.string_start() == kNone) return {};
  const char next = s.at_offset(s.at + 1);
  if (next == '(')
    return "there is no string interpolation `\\(...)` here: join strings with `+`, as in "
           "`.id | tostring | \"id: \" + .`";
  if (next == 'u')
    return "`\\u` takes four hex digits here, and a surrogate its pair: `\\u00e9`, "
           "`\\ud83d\\ude00`";
  const std::string_view escape = s.q.substr(s.at, next ? 2 : 1);
  std::string line = cat({code({escape}),
                          " is no escape here; the escapes are `\\\"`, `\\\\`, `\\/`, `\\n`, "
                          "`\\r`, `\\t` and `\\uXXXX`"});
  if (next == 'b') line += " (`\\b` is `\\u0008`)";
  if (next == 'f') line += " (`\\f` is `\\u000c`)";
  return line;
}

std::string unclosed_string(const Spot& s) {
  if (s.at < s.q.size() || s.string_start() == kNone) return {};
  return "the string is never closed: a `\"` is missing";
}

std::string single_quote(const Spot& s) {
  if (s.here() != '\'') return {};
  return "strings are written in double quotes: `\"text\"`";
}

// A missing operand: nothing but white space or a closing bracket after an
// operator or separator.
std::string nothing_after(const Spot& s) {
  if (!s.at_end() && s.here() != ')' && s.here() != '}') return {};
  const size_t last = s.before(s.at);
  if (last == kNone) return {};
  static constexpr std::string_view kTwoChars[] = {"==", "!=", "<=", ">="};
  for (std::string_view op : kTwoChars) {
    if (last > 0 && s.q.substr(last - 1, 2) == op) return cat({"nothing follows the ", code({op})});
  }
  if (std::string_view("|,+-*/%:<>").find(s.q[last]) == kNone) return {};
  return cat({"nothing follows the ", code({s.q.substr(last, 1)})});
}

std::string alternative_operator(const Spot& s) {
  size_t slashes = kNone;
  if (s.starts("//")) slashes = s.at;
  if (s.here() == '/' && s.at > 0 && s.q[s.at - 1] == '/') slashes = s.at - 1;
  if (slashes == kNone) return {};
  // ".name // literal" gives the merge with the user's own name and default.
  std::string_view name = "name", fallback = "\"default\"";
  if (const size_t last = s.before(slashes); last != kNone) {
    size_t first = last + 1;
    while (first > 0 && (is_ascii_word(s.q[first - 1]) || s.q[first - 1] == '-')) --first;
    if (first <= last && first > 0 && s.q[first - 1] == '.' &&
        identifier_end(s.q, first) == last + 1)
      name = s.q.substr(first, last + 1 - first);
  }
  const size_t value = skip_ws(s.q, slashes + 2);
  if (auto literal = parse_literal(s.q, value); literal.ok())
    fallback = s.q.substr(value, literal.rest - value);
  return cat({"there is no `//` here; for a default, merge it in first: ",
              code({"{", name, ": ", fallback, "} + . | .", name}),
              " (a member that is null stays null)"});
}

std::string optional_mark(const Spot& s) {
  if (s.here() != '?') return {};
  return "there is no `?` here: a step that does not apply gives no result rather than an "
         "error, so leave the `?` out";
}

std::string bracket(const Spot& s) {
  if (s.here() != '[') return {};
  const size_t close = s.q.find(']', s.at);
  const std::string_view group = s.q.substr(s.at, close == kNone ? 1 : close + 1 - s.at);
  const std::string_view inside = group.size() >= 2 ? group.substr(1, group.size() - 2) : "";
  const char before = s.at > 0 ? s.q[s.at - 1] : '\0';
  // The path that the bracket follows: ".a.b" of ".a.b[0]".
  size_t first = s.at;
  while (first > 0 && s.at - first < 40 &&
         (is_ascii_word(s.q[first - 1]) || s.q[first - 1] == '.' || s.q[first - 1] == '-'))
    --first;
  const std::string_view path = s.q.substr(first, s.at - first);
  if (inside.size() >= 2 && inside.front() == '"' && inside.back() == '"') {
    const std::string_view key = inside.substr(1, inside.size() - 2);
    if (identifier_end(key, 0) != key.size())
      return cat({"a member is read only by a name that is an identifier: `.name`; ",
                  code({group}), " is not accepted"});
    return cat({"a member is written ", code({path == "." ? "" : path, ".", key}), " here, not ",
                code({path, group})});
  }
  if (before == '.')
    return "a bracket holds an integer, a slice or nothing, without spaces: `.[0]`, `.[1:]`, "
           "`.[]`";
  if (!path.empty() || before == ')' || before == ']' || before == '}') {
    return cat({"every path step has its own dot here: jq's ", code({path, group}),
                " is written ", code({path, ".", group})});
  }
  return "there is no array construction `[...]` here: build an object (`{a: .a, b: .b}`), or "
         "collect the results in Python";
}

std::string quoted_member(const Spot& s) {
  if (s.here() != '"' || s.at == 0 || s.q[s.at - 1] != '.') return {};
  return "a member name cannot be quoted here: `.name`, with a name that is an identifier";
}

std::string object_key(const Spot& s) {
  if (!s.in_object()) return {};
  const char previous = s.previous();
  if (s.here() == '}' && previous == '{')
    return "an object needs at least one member here: `{}` is not accepted";
  if (previous != '{' && previous != ',') {
    // The shorthand "{a}" or "{a, b}": a key without ": value".
    const std::string_view key = s.word_before(s.at);
    const size_t key_start =
        key.empty() ? kNone : s.before(static_cast<size_t>(key.data() - s.q.data()));
    if ((s.here() == ',' || s.here() == '}') && !key.empty() && key_start != kNone &&
        (s.q[key_start] == '{' || s.q[key_start] == ','))
      return cat({"a member is written `key: value` here: jq's ", code({"{", key, "}"}), " is ",
                  code({"{", key, ": .", key, "}"})});
    // "{a: 1 b: 2}": a key where the members' separator should stand.
    const std::string_view next = s.word();
    if (!next.empty() && s.at_offset(skip_ws(s.q, s.at + next.size())) == ':')
      return "the members of an object are separated by `,`: `{a: 1, b: 2}`";
    return {};
  }
  if (s.here() == '"')
    return "an object key is an identifier written as it is: `{a: 1}`, not `{\"a\": 1}`";
  if (s.here() == '(' || s.here() == '$' || s.here() == '@')
    return "an object key is an identifier written as it is; computed keys are not accepted";
  return {};
}

std::string parenthesis(const Spot& s) {
  if (s.here() != '(') return {};
  const std::string_view word = s.word_before(s.at);
  if (is_builtin(word) && !is_arg_builtin(word)) return cat({code({word}), " takes no argument"});
  return "parentheses group only conditions, inside `select(...)`; to work something out "
         "first, pipe it: jq's `(.a + 1) * 2` is `.a + 1 | . * 2` here";
}

// Inside the parentheses of a builtin that takes one argument, or at a
// name of one without them.
std::string builtin_argument(const Spot& s) {
  const std::string_view bare = s.word_before(s.at);
  if (is_arg_builtin(bare) && !is_builtin(bare) && s.here() != '(')
    return cat({code({bare}), " takes one argument, a literal: ", code({bare, "(...)"})});
  // The innermost "(" before the spot that is still open.
  int depth = 0;
  size_t open = kNone;
  for (size_t i = s.at; i-- > 0;) {
    if (s.q[i] == ')') ++depth;
    if (s.q[i] == '(' && depth-- == 0) {
      open = i;
      break;
    }
  }
  if (open == kNone) return {};
  const std::string_view name = s.word_before(open);
  if (!is_arg_builtin(name)) return {};
  if (s.here() == ';' || s.here() == ',')
    return cat({code({name}), " takes a single argument here, a literal"});
  return cat({"the argument of ", code({name}),
              " must be a literal: a string, a number, `true`, `false` or `null`"});
}

std::string comparison(const Spot& s) {
  if (s.here() == '=' && !s.starts("=="))
    return "there is no assignment (`=`, `|=`, `+=`) here: a query builds new values, as in "
           "`. + {a: 1}`; equality is `==`, inside `select(...)`";
  if (s.starts("&&") || s.starts("||"))
    return cat({code({s.q.substr(s.at, 2)}), " is written ", s.starts("&&") ? "`and`" : "`or`",
                " here, inside `select(...)`: `select(.a and .b)`"});
  static constexpr std::string_view kOperators[] = {"==", "!=", "<=", ">=", "<", ">"};
  for (std::string_view op : kOperators) {
    if (s.starts(op))
      return cat({"comparisons, `and` and `or` exist only inside `select(...)`: ",
                  code({"select(.a ", op, " 1)"})});
  }
  return {};
}

std::string variable(const Spot& s) {
  if (s.here() != '$' && s.word() != "as") return {};
  return "there are no variables (`$name`, `... as $name`) here";
}

std::string format(const Spot& s) {
  if (s.here() != '@') return {};
  const size_t end = identifier_end(s.q, s.at + 1).value_or(s.at + 1);
  const std::string_view name = s.q.substr(s.at + 1, end - s.at - 1);
  constexpr std::string_view line = "there are no formats (`@csv`, `@tsv`, ...) here";
  if (name == "tsv") return cat({line, "; `values | join(\"\\t\")` joins a row without quoting"});
  if (name == "csv") return cat({line, "; `values | join(\",\")` joins a row without quoting"});
  if (name == "json") return cat({line, "; `tojson` writes JSON text"});
  if (name == "text") return cat({line, "; `tostring` gives the text"});
  return std::string(line);
}

// Words of jq that name no form of this language.
std::string jq_word(const Spot& s) {
  const std::string_view word = s.word();
  if (word.empty()) return {};
  if (word == "map") {
    const size_t open = skip_ws(s.q, s.at + 3);
    if (s.at_offset(open) == '(') {
      const std::string_view call = s.parenthesized(open);
      if (call.size() >= 2 && call.back() == ')') {
        const std::string_view f = call.substr(1, call.size() - 2);
        return cat({"there is no `map` here: jq's ", code({"map", call}), " is ",
                    code({".[] | ", f}), ", which gives the results one by one"});
      }
    }
    return "there is no `map` here: jq's `map(f)` is `.[] | f`, which gives the results one by one";
  }
  if (word == "if" || word == "then" || word == "elif" || word == "else" || word == "end")
    return "there is no `if` here: `select(condition)` keeps its input where the condition "
           "holds, as in `select(.a > 1) | .b`";
  if (word == "reduce" || word == "foreach")
    return cat({"there is no ", code({word}),
                " here; `add` adds up an array's elements and `length` counts them"});
  if (word == "def") return "there are no functions of your own here: `def` is not accepted";
  if (word == "try" || word == "catch")
    return "there is no `try` here: nothing fails during evaluation; a step that does not apply "
           "gives no result";
  if (word == "and" || word == "or")
    return "`and`, `or` and comparisons exist only inside `select(...)`: `select(.a and .b)`";
  return {};
}

std::string space_in_path(const Spot& s) {
  if (s.here() != '.' || s.at == 0 || !is_ws(s.q[s.at - 1])) return {};
  const char last = s.previous();
  if (!is_ascii_word(last) && last != ']' && last != ')' && last != '}') return {};
  return "the steps of a path follow each other without space: `.a.b`; to run one query on "
         "another's results, pipe them: `.a | .b`";
}

std::string unknown_word(const Spot& s) {
  const std::string_view word = s.word();
  if (word.empty() || is_builtin(word) || is_arg_builtin(word)) return {};
  if (auto name = meant(word))
    return cat({"no builtin ", code({word}), "; did you mean ", code({*name}), "?"});
  return cat({"no builtin ", code({word}), " (a member is written ", code({".", word}),
              ", a string ", code({"\"", word, "\""}), ")"});
}

using Hint = std::string (*)(const Spot&);

constexpr Hint kHints[] = {
    empty_query,    leading_space,  string_escape,  unclosed_string,
    single_quote,   nothing_after,  alternative_operator,
    optional_mark,  bracket,        quoted_member,  object_key,
    builtin_argument, parenthesis,  comparison,
    variable,       format,         jq_word,        space_in_path,
    unknown_word,
};

}  // namespace

std::string caret_note(std::string_view query, size_t at) {
  at = std::min(at, query.size());
  size_t line_start = 0;
  if (at > 0) {
    const size_t newline = query.rfind('\n', at - 1);
    if (newline != kNone) line_start = newline + 1;
  }
  size_t line_end = std::min(query.find('\n', at), query.size());
  if (line_end > at + 1 && query[line_end - 1] == '\r') --line_end;

  std::vector<Cell> cells;
  size_t caret = 0;
  for (size_t pos = line_start; pos < line_end;) {
    if (pos < at) caret = cells.size() + 1;  // the cells before `at`
    size_t length = 0;
    const char32_t c = utf8::decode_at(query, pos, &length);
    cells.push_back(cell_of(query.substr(pos, length), c));
    pos += length;
  }

  size_t begin = 0, end = cells.size();
  if (cells.size() > kWindow) {
    begin = std::min(caret > kBefore ? caret - kBefore : 0, cells.size() - kWindow);
    end = begin + kWindow;
  }
  std::string shown = "  ", under = "  ";
  if (begin > 0) {
    shown += "...";
    under += "   ";
  }
  for (size_t i = begin; i < end; ++i) {
    shown += cells[i].shown;
    if (i < caret) under += cells[i].under;
  }
  if (end < cells.size()) shown += "...";
  under += '^';
  const size_t last = query.find_last_not_of(" \t\r\n");
  if (last != kNone && query.substr(0, last).find('\n') != kNone) {
    const auto line = std::count(query.begin(), query.begin() + line_start, '\n') + 1;
    under += cat({" (line ", std::to_string(line), ")"});
  }
  return cat({shown, "\n", under});
}

std::string query_hint(std::string_view query, size_t at) {
  const Spot spot{query, std::min(at, query.size())};
  for (Hint hint : kHints) {
    std::string line = hint(spot);
    if (!line.empty()) return line;
  }
  return {};
}

std::vector<std::string> compile_notes(std::string_view query, const CompileError& error) {
  if (!error.stopped_at) return {};
  std::vector<std::string> notes;
  // An empty query has nothing to point at.
  if (!query.empty()) notes.push_back(caret_note(query, *error.stopped_at));
  std::string hint = query_hint(query, *error.stopped_at);
  if (!hint.empty()) notes.push_back(std::move(hint));
  return notes;
}

}  // namespace tamsel::query
