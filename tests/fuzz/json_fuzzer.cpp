// libFuzzer harness for the JSON glue: arbitrary text through JsonParser, with
// strings as views and as owned copies. A document that parses must render as
// JSON text that parses again, and rendering must be stable from the second
// round on (the first may normalise, e.g. -0.0 to -0 to 0). Floats render
// positionally, so 1e22 comes back as an integer literal too large to parse:
// that one failure (InvalidNumber) ends the round trip without a finding.
// The walk of the identity's result (text_walk.h) takes only texts that
// parse, and finds in them each value simdjson's parse finds.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/evaluator.h"
#include "engine/render.h"
#include "parser/parser.h"
#include "value/json.h"
#include "value/text_walk.h"
#include "../cpp/walk_recorder.h"

namespace {

using namespace tamsel;

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
  std::fprintf(stderr, "%s\n  first:  %s\n  second: %s\n", what, a.c_str(), b.c_str());
  std::abort();
}

// The rendering of the parsed `text`, or nothing for a too-large integer.
std::optional<std::string> reparse_render(tamsel::JsonParser& parser, const std::string& text) {
  auto parsed = parser.parse(text);
  if (auto* error = std::get_if<JsonError>(&parsed)) {
    if (error->kind == "InvalidNumber") return std::nullopt;
    fail("rendered text does not parse", text, error->message());
  }
  return engine::to_json_text(std::get<Value>(parsed));
}

// The walk over `text`, as the calls that run it make it; for a text it
// takes, what it found and what simdjson's parse finds.
bool walk_takes(tamsel::JsonParser& parser, std::string_view text) {
  std::memcpy(parser.work_buffer(text.size()), text.data(), text.size());
  const auto index = parser.index_work_buffer(text.size());
  if (!index) return false;
  test::Recorder walked, parsed;
  static std::string scratch;
  if (walk_text(*index, walked, scratch) != Walk::kTaken) return false;
  simdjson::dom::parser reference;
  simdjson::dom::element root;
  if (reference.parse(text.data(), text.size()).get(root) != simdjson::SUCCESS)
    fail("the walk takes a text simdjson refuses", std::string(text), walked.calls);
  test::record(root, parsed);
  if (walked.calls != parsed.calls) fail("the walk finds other values", walked.calls, parsed.calls);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static JsonParser parser;
  static JsonParser second;
  static const query::Pipeline every_value =
      std::get<query::Pipeline>(query::compile_query(".. | tojson"));
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Documents always come from a Python str, so they are valid UTF-8.
  if (!simdjson::validate_utf8(text)) return -1;

  auto owned = second.parse(text, false);
  auto parsed = parser.parse(text);
  if (parsed.index() != owned.index()) fail("view and owned parses disagree", std::string(text), "");
  static JsonParser walker;
  const bool walked = walk_takes(walker, text);
  if (auto* error = std::get_if<JsonError>(&parsed)) {
    if (walked) fail("the walk takes a text the parse refuses", std::string(text), error->message());
    const std::string message = error->message();
    if (message != std::get<JsonError>(owned).message()) fail("messages differ", message, "");
    return 0;
  }
  const Value& document = std::get<Value>(parsed);
  const std::string once = engine::to_json_text(document);
  if (once != engine::to_json_text(std::get<Value>(owned))) fail("view and owned render differently", once, "");
  if (const auto twice = reparse_render(second, once)) {
    const auto thrice = reparse_render(second, *twice);
    if (!thrice || *twice != *thrice) fail("rendering is not stable", *twice, thrice.value_or("?"));
  }
  try {
    (void)engine::evaluate(every_value, engine::EvalValue::borrowed(document), false);
  } catch (const InternalFault&) {
  }
  return 0;
}
