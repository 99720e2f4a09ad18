// libFuzzer harness, differential: a query run by the evaluator over a
// document built whole, and run as the module runs it (texts::run_text, a
// path or record taken without the evaluator) over the same text read for
// the query alone (the projection engine::needed_parts works out), must give
// the same thing, whatever the text: the same parse error, to the
// character, or else the same results (as rendered JSON text) and the same
// InternalFault, both for all results (the text lent to the parsers) and
// for the first one only (the text copied into their work buffers).
//
// The queries lean on what projections are worked out for: paths, pipes,
// select with comparisons and truthiness, and/or/not, object construction,
// commas and literals, now and then a builtin or `..`. Their field names are
// the keys of the document itself as often as a small fixed list.
//
// The document is one of three things:
// - an input that ends as a JSON text usually does (a closing bracket or
//   white space) is a document as it stands, its query drawn from a hash of
//   it: the seeds are real documents, and their mutations are fed whole;
// - otherwise, a document generated from the input bytes (escaped and
//   repeated keys, numbers at the edges of their range, long exponents,
//   deep nesting, now and then one byte broken);
// - or the bytes the query leaves, raw.
// Any difference prints the query, the document and both outcomes, then
// aborts. TAMSEL_FUZZ_PRINT=1 prints each pair before it runs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "engine/needed_parts.h"
#include "engine/render.h"
#include "parser/builtin_table.h"
#include "parser/parser.h"
#include "value/document_ref.h"
#include "runtime/fault.h"
#include "texts/program.h"
#include "texts/text_run.h"
#include "value/json.h"
#include "value/projection.h"
#include "value/reading_plan.h"
#include "generators.h"
#include "multipliers.h"

namespace {

using namespace tamsel;
using namespace tamsel::fuzz;

// Names and short texts found in a document's text: the decoded content of
// its strings, keys (followed by a colon) apart from the others. Only names
// a query can write after a dot are kept as keys, and only texts it can
// write between quotes as they are.
struct DocumentWords {
  std::vector<std::string> keys;
  std::vector<std::string> texts;
};

bool is_name(std::string_view s) {
  if (s.empty()) return false;
  const auto first = static_cast<unsigned char>(s[0]);
  if (!(std::isalpha(first) || first == '_')) return false;
  for (unsigned char c : s.substr(1))
    if (!(std::isalnum(c) || c == '_' || c == '-')) return false;
  return true;
}

// The ASCII text of a string's content [begin, end), its \uXXXX and simple
// escapes decoded, or nothing when it holds any other byte or escape.
std::optional<std::string> decoded_ascii(const char* begin, const char* end) {
  std::string out;
  for (const char* p = begin; p < end; ++p) {
    if (*p != '\\') {
      out += *p;
      continue;
    }
    if (++p == end) return std::nullopt;
    if (*p == 'u' && end - p > 4) {
      unsigned value = 0;
      for (int i = 1; i <= 4; ++i) {
        const char c = p[i];
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10
                                                                   : -1;
        if (digit < 0) return std::nullopt;
        value = value * 16 + static_cast<unsigned>(digit);
      }
      if (value >= 0x80) return std::nullopt;
      out += static_cast<char>(value);
      p += 4;
    } else if (*p == '"' || *p == '/' || *p == '\\') {
      out += *p;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

DocumentWords words_of(std::string_view text) {
  constexpr size_t kMaxEach = 512, kMaxLength = 48;
  DocumentWords words;
  std::unordered_set<std::string> seen;
  const char* const end = text.data() + text.size();
  for (const char* p = text.data(); p < end;) {
    const char* open = static_cast<const char*>(std::memchr(p, '"', end - p));
    if (!open) break;
    const char* close = open + 1;
    while (close < end && *close != '"') close += *close == '\\' ? 2 : 1;
    if (close >= end) break;
    p = close + 1;
    if (close - open - 1 > static_cast<ptrdiff_t>(kMaxLength)) continue;
    const char* after = close + 1;
    while (after < end && (*after == ' ' || *after == '\n' || *after == '\r' || *after == '\t'))
      ++after;
    const bool key = after < end && *after == ':';
    auto word = decoded_ascii(open + 1, close);
    if (!word) continue;
    auto& into = key ? words.keys : words.texts;
    if (key ? !is_name(*word) : word->find_first_of("\\\"") != std::string::npos) continue;
    if (into.size() < kMaxEach && seen.insert((key ? "k" : "t") + *word).second)
      into.push_back(*word);
    if (words.keys.size() >= kMaxEach && words.texts.size() >= kMaxEach) break;
  }
  return words;
}

// Queries over the projection's forms, with the document's own names.
class QueryGen {
 public:
  QueryGen(FuzzedDataProvider& fdp, const DocumentWords& words) : fdp_(fdp), words_(words) {}

  // One to three stages of one or two comma-separated terms.
  std::string query(int depth) {
    std::string out;
    const int stages = fdp_.ConsumeIntegralInRange<int>(1, 3);
    for (int s = 0; s < stages; ++s) {
      if (s > 0) out += " | ";
      const int terms = fdp_.ConsumeIntegralInRange<int>(0, 3) == 0 ? 2 : 1;
      for (int t = 0; t < terms; ++t) {
        if (t > 0) out += ", ";
        out += term(depth);
      }
    }
    return out;
  }

 private:
  std::string name() {
    static constexpr std::string_view kNames[] = {"a", "b", "c", "k00", "x-y", "_"};
    if (!words_.keys.empty() && fdp_.ConsumeIntegralInRange<int>(0, 2) != 0)
      return any_of(words_.keys);
    return std::string(pick(fdp_, kNames));
  }

  std::string step() {
    const int which = fdp_.ConsumeIntegralInRange<int>(0, 39);
    if (which < 20) return "." + name();
    if (which < 30) return ".[" + std::to_string(fdp_.ConsumeIntegralInRange<int>(-3, 5)) + "]";
    if (which < 36) return ".[]";
    if (which < 37) return ".[" + std::to_string(fdp_.ConsumeIntegralInRange<int>(-2, 2)) + ":]";
    if (which < 38) return "..";
    return ".";
  }

  // `next` after `term`, side by side where they chain: "." and ".." do
  // not, they would run into what is next to them.
  static std::string then(const std::string& term, const std::string& next) {
    if (term.ends_with('.') || next == "." || next.starts_with(". ") || next.starts_with(".."))
      return term + " | " + next;
    return term + next;
  }

  // One to three steps.
  std::string path() {
    std::string out = step();
    for (int steps = fdp_.ConsumeIntegralInRange<int>(0, 2); steps > 0; --steps)
      out = then(out, step());
    return out;
  }

  std::string builtin() {
    static constexpr std::string_view kCommon[] = {"length", "keys",  "tojson", "type",
                                                   "to_entries", "first", "not", "values",
                                                   "add", "tostring", "keys_unsorted", "last"};
    if (fdp_.ConsumeBool()) return std::string(pick(fdp_, kCommon));
    if (fdp_.ConsumeBool()) return std::string(pick_name(fdp_, query::kBuiltins));
    const std::string call(pick_name(fdp_, query::kArgBuiltins));
    if (call == "flatten" || call == "limit")
      return call + "(" + std::to_string(fdp_.ConsumeIntegralInRange<int>(0, 3)) + ")";
    return call + "(" + comparand() + ")";
  }

  std::string any_of(const std::vector<std::string>& words) {
    return words[fdp_.ConsumeIntegralInRange<size_t>(0, words.size() - 1)];
  }

  // A literal, often one of the document's own texts.
  std::string comparand() {
    if (!words_.texts.empty() && fdp_.ConsumeIntegralInRange<int>(0, 2) == 0)
      return "\"" + any_of(words_.texts) + "\"";
    if (!words_.keys.empty() && fdp_.ConsumeIntegralInRange<int>(0, 5) == 0)
      return "\"" + any_of(words_.keys) + "\"";
    return literal(fdp_);
  }

  // An object value or a comparison operand: no commas at its top.
  std::string operand(int depth) {
    switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 7 : 4)) {
      case 0:
      case 1:
      case 2: return path();
      case 3: return path() + " | " + path();
      case 4: return path() + " | " + builtin();
      case 5: {
        std::string out = "select(" + condition(depth - 1) + ")";
        return fdp_.ConsumeBool() ? then(out, path()) : out;
      }
      case 6: return path() + " | " + object(depth - 1);
      default: return comparand();
    }
  }

  std::string condition(int depth) {
    static constexpr std::string_view kComparisons[] = {"==", "!=", "<", "<=", ">", ">="};
    switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 7 : 4)) {
      case 0:
      case 1: {
        std::string left = operand(depth);
        const std::string op(pick(fdp_, kComparisons));
        return left + " " + op + " " + comparand();
      }
      case 2: {
        std::string left = operand(depth);
        const std::string op(pick(fdp_, kComparisons));
        return left + " " + op + " " + operand(depth);
      }
      case 3:
      case 4: return operand(depth);
      case 5: {
        std::string left = condition(depth - 1);
        return "(" + left + ") and (" + condition(depth - 1) + ")";
      }
      case 6: {
        std::string left = condition(depth - 1);
        return "(" + left + ") or (" + condition(depth - 1) + ")";
      }
      default: return "not (" + condition(depth - 1) + ")";
    }
  }

  std::string object(int depth) {
    static constexpr std::string_view kFieldNames[] = {"a", "b", "x", "y"};
    std::string out = "{";
    const int entries = fdp_.ConsumeIntegralInRange<int>(1, 3);
    for (int e = 0; e < entries; ++e) {
      if (e > 0) out += ", ";
      out += pick(fdp_, kFieldNames);
      out += ": ";
      out += operand(depth);
    }
    return out + "}";
  }

  std::string term(int depth) {
    switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 15 : 8)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: return path();
      case 5: return literal(fdp_);
      case 6: return path() + " | " + builtin();
      case 7: return ".[" + std::to_string(fdp_.ConsumeIntegralInRange<int>(-3, 5)) + "]";
      case 8: return path() + " + " + path();
      case 9:
      case 10:
      case 11:
      case 12: {
        std::string out = "select(" + condition(depth - 1) + ")";
        return fdp_.ConsumeBool() ? then(out, path()) : out;
      }
      case 13:
      case 14: return object(depth - 1);
      default: return "..";
    }
  }

  FuzzedDataProvider& fdp_;
  const DocumentWords& words_;
};

// JSON text: optional white space between tokens.
std::string space(FuzzedDataProvider& fdp) {
  static constexpr std::string_view kSpaces[] = {" ", "\n", "\t", "\r\n", "  "};
  return fdp.ConsumeIntegralInRange<int>(0, 3) == 0 ? std::string(pick(fdp, kSpaces)) : "";
}

// A number literal of random shape: an integer part of up to 22 digits, a
// fraction, an exponent of up to 12 digits (leading zeros included).
std::string random_number(FuzzedDataProvider& fdp) {
  std::string out = fdp.ConsumeIntegralInRange<int>(0, 2) == 0 ? "-" : "";
  const int digits = fdp.ConsumeIntegralInRange<int>(0, 22);
  if (digits == 0) {
    out += '0';
  } else {
    out += static_cast<char>('1' + fdp.ConsumeIntegralInRange<int>(0, 8));
    for (int i = 1; i < digits; ++i)
      out += static_cast<char>('0' + fdp.ConsumeIntegralInRange<int>(0, 9));
  }
  if (fdp.ConsumeIntegralInRange<int>(0, 2) == 0) {
    out += '.';
    for (int i = fdp.ConsumeIntegralInRange<int>(1, 20); i > 0; --i)
      out += static_cast<char>('0' + fdp.ConsumeIntegralInRange<int>(0, 9));
  }
  if (fdp.ConsumeIntegralInRange<int>(0, 2) == 0) {
    static constexpr std::string_view kMarkers[] = {"e", "E", "e+", "e-", "E-"};
    out += pick(fdp, kMarkers);
    for (int i = fdp.ConsumeIntegralInRange<int>(1, 12); i > 0; --i)
      out += static_cast<char>('0' + fdp.ConsumeIntegralInRange<int>(0, 9));
  }
  return out;
}

// A string of plain runs (long enough to cross a 16-byte block or several),
// escapes and raw UTF-8, in any order.
std::string random_string(FuzzedDataProvider& fdp) {
  static constexpr std::string_view kPieces[] = {
      R"(\n)", R"(\")", R"(\\)", R"(\/)", R"(\u00e9)", R"(\ud83d\ude00)", R"(\u0000)",
      "\xc3\xa9", "\xf0\x9f\x98\x80", R"(\u0022)",  R"(\u005c)"};
  std::string out = "\"";
  for (int pieces = fdp.ConsumeIntegralInRange<int>(0, 6); pieces > 0; --pieces) {
    if (fdp.ConsumeBool()) {
      const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 40);
      out.append(length, static_cast<char>('a' + fdp.ConsumeIntegralInRange<int>(0, 25)));
    } else {
      out += pick(fdp, kPieces);
    }
  }
  return out + "\"";
}

// An object key a query can name, of up to 40 letters, some of them escaped.
std::string random_key(FuzzedDataProvider& fdp) {
  std::string out = "\"";
  for (int letters = fdp.ConsumeIntegralInRange<int>(1, 40); letters > 0; --letters) {
    const char letter = fdp.ConsumeBool() ? 'a' : 'b';
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
      out += letter == 'a' ? "\\u0061" : "\\u0062";
    } else {
      out += letter;
    }
  }
  return out + "\"";
}

// A JSON text of every kind of value, numbers and escapes at their edges
// included; mostly valid, sometimes not (a lone surrogate, a bad escape, an
// infinite number), since then both reads must fail alike.
std::string edge_document(FuzzedDataProvider& fdp, int depth) {
  switch (fdp.ConsumeIntegralInRange<int>(0, depth > 0 ? 11 : 7)) {
    case 0: {
      static constexpr std::string_view kAtoms[] = {"null", "true", "false"};
      return std::string(pick(fdp, kAtoms));
    }
    case 1: return std::to_string(fdp.ConsumeIntegralInRange<int>(-3, 3));
    case 2:
      return fdp.ConsumeBool() ? std::to_string(fdp.ConsumeIntegral<int64_t>())
                               : std::to_string(fdp.ConsumeIntegral<uint64_t>());
    case 3: {
      static constexpr std::string_view kNumbers[] = {
          "-0", "-0.0", "0.0", "0e0", "-0e-0", "0e99999999999", "1e308", "1.7976931348623157e308",
          "-1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309",
          "2.2250738585072014e-308", "4.9e-324", "2e-324", "1e-400", "1e-99999999999",
          "9223372036854775807", "9223372036854775808", "-9223372036854775808",
          "-9223372036854775809", "18446744073709551615", "18446744073709551616",
          "9999999999999999999", "99999999999999999999", "-999999999999999999",
          "-9999999999999999999", "12345678901234567890123", "1E+2", "1e-00012",
          "1e0000000000000000001", "1e99999999999", "100e298", "1e300", "10e299", "1e301",
          "0.000001e305", "123456789012345678901234567890e-10", "9007199254740993",
          "1.00000000000000011102230246251565404236316680908203125", "1.5e-00012", "9.999e307",
          "9e307", "99e306", "10e307", "1.0e308", "0.1e309", "17976931348623157e292"};
      return std::string(pick(fdp, kNumbers));
    }
    case 4: return random_number(fdp);
    case 5: return json_document(fdp, depth > 0 ? 2 : 0);
    case 6: return random_string(fdp);
    case 7: {
      static constexpr std::string_view kTexts[] = {
          R"("")", R"("a")", R"("x\u00e9")", R"("\ud83d\ude00")", R"("\u0000")", R"("\\")",
          R"("\/")", R"("\"")", R"("\b\f\n\r\t")", R"("\u0061")", "\"\xc3\xa9\"", R"("\ud800")",
          R"("\udc00")", R"("\ud800\u0041")", R"("\uD83D\uDE00")", R"("a\"b")", R"("[1]")",
          R"("1.5")", R"("\x")", R"("\u00")"};
      return std::string(pick(fdp, kTexts));
    }
    case 8:
    case 9: {
      std::string out = "[" + space(fdp);
      const int items = fdp.ConsumeIntegralInRange<int>(0, 5);
      for (int i = 0; i < items; ++i) {
        if (i > 0) out += "," + space(fdp);
        out += edge_document(fdp, depth - 1) + space(fdp);
      }
      return out + "]";
    }
    case 10: {
      // Keys repeat, some escaped: "\u0061" is "a" again.
      static constexpr std::string_view kKeysWritten[] = {
          R"("a")", R"("b")", R"("c")", R"("k00")", R"("\u0061")", R"("\u0062")", R"("a\u0000")",
          R"("a\"b")", R"("")", R"("x-y")", R"("_")", R"("\ud83d\ude00")", R"("\u0061\u0062")"};
      std::string out = "{" + space(fdp);
      const int members = fdp.ConsumeIntegralInRange<int>(0, 5);
      for (int i = 0; i < members; ++i) {
        if (i > 0) out += "," + space(fdp);
        out += fdp.ConsumeIntegralInRange<int>(0, 3) == 0 ? random_key(fdp)
                                                          : std::string(pick(fdp, kKeysWritten));
        out += space(fdp) + ":" + space(fdp);
        out += edge_document(fdp, depth - 1) + space(fdp);
      }
      return out + "}";
    }
    default: {
      // Nesting near the depth limit, or a little of it.
      const int levels = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<int>(1, 6)
                                           : fdp.ConsumeIntegralInRange<int>(1018, 1030);
      const bool objects = fdp.ConsumeBool();
      std::string out;
      for (int i = 0; i < levels; ++i) out += objects ? "{\"a\":" : "[";
      out += fdp.ConsumeBool() ? edge_document(fdp, 0) : (objects ? "{}" : "[]");
      for (int i = 0; i < levels; ++i) out += objects ? "}" : "]";
      return out;
    }
  }
}

// Now and then one byte of `text` replaced, dropped or doubled.
void maybe_break(FuzzedDataProvider& fdp, std::string& text) {
  if (text.empty() || fdp.ConsumeIntegralInRange<int>(0, 7) != 0) return;
  static constexpr std::string_view kBytes =
      std::string_view("{}[]:,\"\\0123.eE-+ tfnux\x00\xff", 26);
  const size_t at = fdp.ConsumeIntegralInRange<size_t>(0, text.size() - 1);
  switch (fdp.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: text[at] = kBytes[fdp.ConsumeIntegralInRange<size_t>(0, kBytes.size() - 1)]; break;
    case 1: text.erase(at, 1); break;
    default: text.insert(at, 1, text[at]); break;
  }
}

// Bytes to draw a query from, spread from a hash of `text`.
std::vector<uint8_t> hashed_bytes(std::string_view text) {
  uint64_t state = std::hash<std::string_view>()(text);
  std::vector<uint8_t> out(512);
  for (size_t i = 0; i < out.size(); i += 8) {
    // splitmix64
    uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    z ^= z >> 31;
    std::memcpy(out.data() + i, &z, sizeof z);
  }
  return out;
}

// One run's outcome: a parse error, or the results as JSON text and the fault
// that ended the run, if any.
struct Outcome {
  std::optional<std::string> parse_error;
  std::vector<std::string> results;
  std::optional<std::string> fault;

  bool operator==(const Outcome&) const = default;

  std::string describe() const {
    if (parse_error) return "parse error: " + *parse_error;
    std::string out = "[";
    for (const std::string& item : results) out += (out.size() > 1 ? "," : "") + item;
    out += "]";
    if (fault) out += " then fault: " + *fault;
    return out;
  }
};

// Gives `document` to the parser as the module does: lent (as a bytes
// object is) or copied into its work buffer. False, with the error in
// `outcome`, when it is too long to parse at all.
bool hand_to(JsonParser& parser, const std::string& document, bool lend, Outcome& outcome) {
  if (auto error = JsonParser::size_error(document.size())) {
    outcome.parse_error = error->message();
    return false;
  }
  if (lend) {
    parser.lend_text(document);  // NUL-terminated, as lent texts must be
  } else {
    std::memcpy(parser.work_buffer(document.size()), document.data(), document.size());
  }
  return true;
}

// Parses `document` whole and runs `pipeline` over it in the evaluator.
Outcome run_whole(JsonParser& parser, const std::string& document, bool lend,
                  const query::Pipeline& pipeline, bool first) {
  Outcome outcome;
  if (!hand_to(parser, document, lend, outcome)) return outcome;
  auto parsed = parser.parse_work_buffer(document.size(), nullptr);
  if (auto* error = std::get_if<JsonError>(&parsed)) {
    outcome.parse_error = error->message();
    parser.end_run();
    return outcome;
  }
  try {
    const DocumentRef root = std::get<DocumentRef>(parsed);
    const engine::ResultList results =
        engine::evaluate(pipeline, engine::EvalValue::document(root), first);
    // With `first`, the evaluator may give more; a run takes the first.
    for (const engine::EvalValue& result : results) {
      outcome.results.push_back(engine::to_json_text(result.get()));
      if (first) break;
    }
  } catch (const InternalFault& fault) {
    outcome.fault = fault.message;
  }
  parser.end_run();
  return outcome;
}

// Each result as JSON text, records and entries too.
class RenderingSink final : public texts::ResultSink {
 public:
  explicit RenderingSink(std::vector<std::string>& results) : results_(results) {}
  void expect(size_t, size_t) override {}
  bool take(const View& value) override {
    results_.push_back(engine::to_json_text(value.to_value()));
    return true;
  }
  bool takes_records() const override { return true; }
  bool take_record(const engine::PathRecord& record, const View* values) override {
    ObjectMap members = ObjectMap::with_capacity(record.size());
    for (size_t i = 0; i < record.size(); ++i) {
      const std::string_view key = record.key(i);
      members.insert_unchecked(Value::string(std::string(key)), values[i].to_value());
    }
    results_.push_back(engine::to_json_text(Value::object(std::move(members))));
    return true;
  }
  bool take_entries(const View& object) override {
    Array entries;
    for (const View::Member& member : object.members()) {
      ObjectMap entry = ObjectMap::with_capacity(2);
      entry.insert_unchecked(Value::string("key"), Value::string(member.key));
      entry.insert_unchecked(Value::string("value"), member.value.to_value());
      entries.push_back(Value::object(std::move(entry)));
    }
    results_.push_back(engine::to_json_text(Value::array(std::move(entries))));
    return true;
  }
  std::string& text() override { return text_; }
  bool end_text() override { return true; }
  void drop() override { results_.clear(); }

 private:
  std::vector<std::string>& results_;
  std::string text_;
};

// `program` run over `document` as the module runs a text: read for what
// it needs, its path, record or entries taken without the evaluator.
Outcome run_as_the_module_does(JsonParser& parser, const std::string& document, bool lend,
                               const texts::Program& program, bool first) {
  Outcome outcome;
  if (!hand_to(parser, document, lend, outcome)) return outcome;
  texts::ResultForm form;
  form.first_only = first;
  const texts::RunRules rules{program, form, nullptr, TextOrigin::kDocument, false};
  runtime::CallRuntime call;
  RenderingSink sink(outcome.results);
  const texts::TextOutcome ran = texts::run_text(rules, parser, document.size(), call, sink);
  if (ran.kind == texts::TextOutcome::Kind::kMalformed) {
    outcome.parse_error = ran.message;
  } else if (ran.kind == texts::TextOutcome::Kind::kFault) {
    outcome.fault = ran.message;
  } else if (!ran.ran()) {
    outcome.fault = "stopped or refused";
  }
  parser.end_run();
  return outcome;
}

size_t occurrences(std::string_view text, std::string_view word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string_view::npos;
       at = text.find(word, at + word.size()))
    ++count;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return -1;
  static JsonParser whole_parser;
  static JsonParser projected_parser;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string document;
  std::string query;
  const char last = input.back();
  if (last == '}' || last == ']' || last == '\n' || last == ' ' || last == '\r' || last == '\t') {
    document.assign(input);
    const std::vector<uint8_t> bytes = hashed_bytes(input);
    FuzzedDataProvider fdp(bytes.data(), bytes.size());
    const DocumentWords words = words_of(document);
    query = QueryGen(fdp, words).query(3);
  } else {
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
      document = space(fdp) + edge_document(fdp, 4) + space(fdp);
      maybe_break(fdp, document);
      const DocumentWords words = words_of(document);
      query = QueryGen(fdp, words).query(3);
    } else {
      // The words of the whole input: the query takes its bytes from the end.
      const DocumentWords words = words_of(input);
      query = QueryGen(fdp, words).query(3);
      document = fdp.ConsumeRemainingBytesAsString();
    }
  }
  // TAMSEL_FUZZ_PRINT=1 projection_fuzzer FILE shows the pair a finding stands for.
  static const bool print = std::getenv("TAMSEL_FUZZ_PRINT") != nullptr;
  if (print)
    std::fprintf(stderr, "query:    %s\ndocument: %s\n", query.c_str(), escaped(document).c_str());

  // Chained multipliers make millions of values, the more so the larger the
  // document: `.. | .. | ..` over a thousand nested arrays makes a hundred
  // million, which takes minutes under the sanitizers.
  const size_t length = document.size();
  if (count_multipliers(query) > (length <= 4096 ? 10 : length <= 65536 ? 4 : 2)) return -1;
  const size_t descents = occurrences(query, "..") + occurrences(query, "recurse");
  if ((descents >= 2 && length > 256) || (descents >= 3 && length > 64)) return -1;

  auto compiled = query::compile_query(query);
  if (std::holds_alternative<query::CompileError>(compiled)) return -1;
  texts::Program program;
  program.set_pipeline(std::move(std::get<query::Pipeline>(compiled)));
  const query::Pipeline& pipeline = program.pipeline;
  const Projection projection = engine::needed_parts(pipeline);

  for (const bool first : {false, true}) {
    const bool lend = !first;
    const Outcome whole = run_whole(whole_parser, document, lend, pipeline, first);
    // A plan of its own for each run: a plan that has seen a read build
    // most of its document reads the next ones whole.
    program.reading.reset();
    if (!projection.is_whole()) program.reading = std::make_unique<ReadingPlan>(projection);
    const Outcome projected =
        run_as_the_module_does(projected_parser, document, lend, program, first);
    if (!(whole == projected)) {
      std::fprintf(stderr,
                   "the projected document gives another outcome%s\n  query:     %s\n"
                   "  document:  %s\n  whole:     %s\n  projected: %s\n",
                   first ? " (first result)" : "", query.c_str(), escaped(document).c_str(),
                   escaped(whole.describe()).c_str(), escaped(projected.describe()).c_str());
      std::abort();
    }
    if (whole.parse_error) break;
  }
  return 0;
}
