// libFuzzer harness: a valid query drawn from a small grammar, run over a JSON
// document also drawn from the input bytes, through the same calls as the
// module (compile_query, parse_document, evaluate, rendering). Every query of
// the grammar is well-formed, so what the fuzzer explores is evaluation, not
// the parser's error paths. Each unit checks that
// - the query compiles and the document parses;
// - a second run gives the same results (as rendered JSON text), or the same
//   InternalFault;
// - a first-result run gives a prefix of the full run's results, non-empty
//   when they are;
// - nothing but InternalFault is thrown (anything else escapes, a finding).
// A crash, a sanitizer report or a hang (-timeout) is a finding too.
// TAMSEL_FUZZ_PRINT=1 prints each pair before it runs.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "engine/render.h"
#include "parser/builtin_table.h"
#include "parser/parser.h"
#include "runtime/fault.h"
#include "value/json.h"
#include "value/document_ref.h"
#include "generators.h"
#include "multipliers.h"

namespace {

using namespace tamsel;
using namespace tamsel::fuzz;

[[noreturn]] void fail(const std::string& what, const std::string& query,
                       const std::string& document) {
  std::fprintf(stderr, "%s\n  query:    %s\n  document: %s\n", what.c_str(), query.c_str(),
               document.c_str());
  std::abort();
}

class QueryGen {
 public:
  explicit QueryGen(FuzzedDataProvider& fdp) : fdp_(fdp) {}

  // One to three stages of one or two comma-separated terms. Commas only at
  // the top of a stage: object values and comparison operands do not take them.
  std::string query(int depth) {
    std::string out;
    const int stages = fdp_.ConsumeIntegralInRange<int>(1, 3);
    for (int s = 0; s < stages; ++s) {
      if (s > 0) out += " | ";
      const int terms = fdp_.ConsumeIntegralInRange<int>(1, 2);
      for (int t = 0; t < terms; ++t) {
        if (t > 0) out += ", ";
        out += term(depth);
      }
    }
    return out;
  }

 private:
  std::string index(int low, int high) { return std::to_string(fdp_.ConsumeIntegralInRange<int>(low, high)); }

  std::string path() {
    static constexpr std::string_view kFirst[] = {"a", "b"};
    static constexpr std::string_view kSecond[] = {"a", "b", "c"};
    switch (fdp_.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: return "." + std::string(pick(fdp_, kKeys));
      case 1: return "." + std::string(pick(fdp_, kFirst)) + "." + std::string(pick(fdp_, kSecond));
      case 2: return ".[" + index(-4, 4) + "]";
      case 3: return ".[]";
      case 4: {
        const std::string a = index(-3, 3), b = index(-3, 3);
        switch (fdp_.ConsumeIntegralInRange<int>(0, 2)) {
          case 0: return ".[" + a + ":" + b + "]";
          case 1: return ".[" + a + ":]";
          default: return ".[:" + b + "]";
        }
      }
      case 5: return "..";
      default: return ".";
    }
  }

  std::string condition(int depth) {
    static constexpr std::string_view kComparisons[] = {"==", "!=", "<", "<=", ">", ">="};
    switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 4 : 1)) {
      case 0: {
        std::string left = term(depth - 1);
        std::string op(pick(fdp_, kComparisons));
        return left + " " + op + " " + literal(fdp_);
      }
      case 1: return term(depth - 1);
      case 2: {
        std::string left = condition(depth - 1);
        return "(" + left + ") and (" + condition(depth - 1) + ")";
      }
      case 3: {
        std::string left = condition(depth - 1);
        return "(" + left + ") or (" + condition(depth - 1) + ")";
      }
      default: return "not (" + condition(depth - 1) + ")";
    }
  }

  std::string term(int depth) {
    switch (fdp_.ConsumeIntegralInRange<int>(0, depth > 0 ? 7 : 2)) {
      case 0: return path();
      case 1: return literal(fdp_);
      case 2: return std::string(pick_name(fdp_, query::kBuiltins));
      case 3: {
        const std::string name(pick_name(fdp_, query::kArgBuiltins));
        if (name == "flatten" || name == "limit") return name + "(" + index(-1, 3) + ")";
        return name + "(" + literal(fdp_) + ")";
      }
      case 4: {
        // Terms written side by side form a chain.
        static constexpr std::string_view kHeads[] = {"keys", "to_entries", "sort", ".[]",
                                                      ".a",   ".[0]",       "tojson"};
        std::string head;
        const size_t which = fdp_.ConsumeIntegralInRange<size_t>(0, std::size(kHeads));
        if (which == std::size(kHeads)) {
          head = "select(" + condition(depth - 1) + ")";
        } else {
          head = kHeads[which];
        }
        // A name needs a word boundary after it, so tails start with ".".
        static constexpr std::string_view kTails[] = {".[0]", ".a", ".[]", ".[1:]",
                                                      ".b.c", ".[-1]", ".."};
        return head + std::string(pick(fdp_, kTails));
      }
      case 5: {
        std::string out = "{";
        const int entries = fdp_.ConsumeIntegralInRange<int>(1, 3);
        for (int e = 0; e < entries; ++e) {
          if (e > 0) out += ", ";
          out += pick(fdp_, kKeys);
          out += ": ";
          out += term(depth - 1);
        }
        return out + "}";
      }
      case 6: return "select(" + condition(depth - 1) + ")";
      default: {
        static constexpr std::string_view kOperators[] = {"+", "-", "*", "/", "%"};
        std::string left = term(depth - 1);
        std::string op(pick(fdp_, kOperators));
        return left + " " + op + " " + term(depth - 1);
      }
    }
  }

  FuzzedDataProvider& fdp_;
};

// One run's outcome: the results as JSON text, or the fault that ended it.
struct Outcome {
  std::vector<std::string> results;
  std::optional<std::string> fault;
};

Outcome run(const query::Pipeline& pipeline, JsonParser& parser, const std::string& document,
            bool first, const std::string& query) {
  Outcome outcome;
  auto parsed = parser.parse_document(document);
  if (auto* error = std::get_if<JsonError>(&parsed)) {
    fail("generated document does not parse: " + error->message(), query, document);
  }
  try {
    engine::ResultList results =
        engine::evaluate(pipeline, engine::EvalValue::document(std::get<DocumentRef>(parsed)), first);
    for (const engine::EvalValue& result : results) {
      outcome.results.push_back(engine::to_json_text(result.get()));
      (void)engine::to_display_text(result.get());
    }
  } catch (const InternalFault& fault) {
    outcome.fault = fault.message;
  }
  parser.end_run();
  return outcome;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const std::string& item : items) out += (out.size() > 1 ? "," : "") + item;
  return out + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static JsonParser parser;
  FuzzedDataProvider fdp(data, size);
  const std::string query = QueryGen(fdp).query(3);
  const std::string document = json_document(fdp, 3);
  // TAMSEL_FUZZ_PRINT=1 pairs_fuzzer FILE shows the pair a finding stands for.
  static const bool print = std::getenv("TAMSEL_FUZZ_PRINT") != nullptr;
  if (print) std::fprintf(stderr, "query:    %s\ndocument: %s\n", query.c_str(), document.c_str());

  // A dozen chained reach millions of values over a 40-member object, which
  // takes a minute under the sanitizers.
  if (count_multipliers(query) > 10) return -1;

  auto compiled = query::compile_query(query);
  if (auto* error = std::get_if<query::CompileError>(&compiled)) {
    fail("grammar query does not compile: " + error->message, query, document);
  }
  const query::Pipeline& pipeline = std::get<query::Pipeline>(compiled);

  const Outcome full = run(pipeline, parser, document, false, query);
  const Outcome again = run(pipeline, parser, document, false, query);
  if (full.fault != again.fault || full.results != again.results) {
    fail("two runs differ: " + full.fault.value_or(joined(full.results)) + " != " +
             again.fault.value_or(joined(again.results)),
         query, document);
  }
  if (full.fault) return 0;

  const Outcome first = run(pipeline, parser, document, true, query);
  if (first.fault) fail("first-result run faults: " + *first.fault, query, document);
  const bool prefix = first.results.size() <= full.results.size() &&
                      std::equal(first.results.begin(), first.results.end(), full.results.begin());
  if (!prefix || first.results.empty() != full.results.empty()) {
    fail("first-result run " + joined(first.results) + " is no prefix of " + joined(full.results),
         query, document);
  }
  return 0;
}
