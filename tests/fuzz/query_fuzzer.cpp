// libFuzzer harness: arbitrary query text through the parser, and every query
// that compiles through the evaluator and the renderer over a few documents.
// The only exception a run may throw is InternalFault (PanicException in
// Python); anything else, a crash or a sanitizer report is a finding.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "engine/render.h"
#include "parser/parser.h"
#include "parser/query_hint.h"
#include "value/json.h"
#include "multipliers.h"

namespace {

using namespace tamsel;

const char* const kDocuments[] = {
    R"({"a":[1,"x",{"b":null,"c":true}],"c":-2.5,"d":"h\u00e9llo \ud83d\ude00","e":[3,1,2],"n":0})",
    R"([3,-1,2.5,"s","",[],{},[1,[2,[3]]],{"k":"v","a":1},null,false,18446744073709551615,-9223372036854775808])",
    R"("a,b,,c")",
    R"({"k00":0,"k01":1,"k02":2,"k03":3,"k04":4,"k05":5,"k06":6,"k07":7,"k08":8,"k09":9,"k10":10,"k11":11,"k12":12,"k13":13,"k14":14,"k15":15,"k16":16,"k17":17,"k18":18,"k19":19,"k20":20,"k21":21,"k22":22,"k23":23,"k24":24,"k25":25,"k26":26,"k27":27,"k28":28,"k29":29,"k30":30,"k31":31,"k32":32,"k32":"dup"})",
};

struct Documents {
  // Owned strings (view_strings = false), so one parser serves them all.
  std::vector<Value> values;
  Documents() {
    JsonParser parser;
    for (const char* text : kDocuments) {
      auto parsed = parser.parse(text, false);
      if (!std::holds_alternative<Value>(parsed)) std::abort();
      values.push_back(std::move(std::get<Value>(parsed)));
    }
  }
};

void run(const query::Pipeline& pipeline, const Value& document, bool first) {
  try {
    engine::ResultList results =
        engine::evaluate(pipeline, engine::EvalValue::borrowed(document), first);
    for (const engine::EvalValue& result : results) {
      (void)engine::to_json_text(result.get());
      (void)engine::to_display_text(result.get());
    }
  } catch (const InternalFault&) {
    // The PanicException cases: a run may end this way.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Documents documents;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Query text always comes from a Python str, so it is valid UTF-8.
  if (!simdjson::validate_utf8(text)) return -1;
  // A handful chained already make millions of outputs over these documents.
  if (count_multipliers(text) > 5) return -1;
  auto compiled = query::compile_query(text);
  // The notes on a query that does not compile read all around the place
  // where it stopped.
  if (auto* error = std::get_if<query::CompileError>(&compiled))
    (void)query::compile_notes(text, *error);
  if (auto* pipeline = std::get_if<query::Pipeline>(&compiled)) {
    (void)query::dump(*pipeline);
    for (const Value& document : documents.values) {
      run(*pipeline, document, false);
      run(*pipeline, document, true);
    }
  }
  return 0;
}
