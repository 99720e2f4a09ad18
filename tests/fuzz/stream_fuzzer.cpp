// libFuzzer harness, differential: a stream of JSON texts run as a stream
// runs it must give, text by text, what each text gives alone.
//
// The reference splits the whole stream at once by the framing rules alone
// (every guess refuted) and parses each text alone, whole. The stream under
// test comes in windows of a few bytes to a few hundred, grown as a file
// source grows them; its texts are read as the stream reads them: from an
// indexed stretch where it can, else from a guessed line confirmed by its
// parse, else by the framing rules, through the projection of a query. Each
// text must have the same number, the same offset and the same outcome: the
// same parse error, or the same results (as JSON text) and fault.
//
// A stream is the input's bytes as they stand, or generated texts joined by
// white space or nothing, now and then one byte broken; the query is one of
// a few that read parts of a document.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "engine/needed_parts.h"
#include "engine/render.h"
#include "generators.h"
#include "parser/parser.h"
#include "value/fault.h"
#include "value/indexed_stretch.h"
#include "value/json.h"
#include "value/reading_plan.h"
#include "value/text_splitter.h"

namespace {

using namespace tamsel;
using namespace tamsel::fuzz;

constexpr std::string_view kQueries[] = {
    ".a", ".[0]", ".a.b", "select(.a == 1) | .b", ".[1], .a", ".c.[0].a", "select(.b) | .a",
};
constexpr std::string_view kSeparators[] = {"", " ", "\n", "\r\n", "\t", "\n\n"};

struct Outcome {
  uint64_t index = 0;
  uint64_t offset = 0;
  std::string text;
  bool operator==(const Outcome&) const = default;
};

std::string results_of(DocumentRef root, const query::Pipeline& pipeline) {
  std::string out;
  try {
    for (const engine::EvalValue& result :
         engine::evaluate(pipeline, engine::EvalValue::document(root), false))
      out += engine::to_json_text(result.view()) + "\n";
  } catch (const InternalFault& fault) {
    out += "fault: " + fault.message;
  }
  return out;
}

// Parses `text` alone, as every text of a stream is parsed when no stretch
// reads it; nullopt for a parse error, whose message goes to `error`.
std::optional<DocumentRef> parse_alone(JsonParser& parser, std::string_view text,
                                       ReadingPlan* plan, std::string* error) {
  if (auto size_error = JsonParser::size_error(text.size())) {
    *error = size_error->message();
    return std::nullopt;
  }
  std::memcpy(parser.work_buffer(text.size()), text.data(), text.size());
  auto parsed = parser.parse_work_buffer(text.size(), plan);
  if (auto* failed = std::get_if<JsonError>(&parsed)) {
    *error = failed->message();
    return std::nullopt;
  }
  return std::get<DocumentRef>(parsed);
}

std::vector<Outcome> reference(std::string_view stream, bool lines,
                               const query::Pipeline& pipeline) {
  static JsonParser parser;
  TextSplitter splitter(lines);
  splitter.set_window(stream, true);
  std::vector<Outcome> outcomes;
  TextSplitter::Text text;
  while (splitter.next(&text) == TextSplitter::Step::kText) {
    if (text.guess) {
      splitter.refute();
      continue;
    }
    std::string error;
    const auto root = parse_alone(parser, text.bytes, nullptr, &error);
    outcomes.push_back({text.index, text.offset,
                        root ? results_of(*root, pipeline) : "error: " + error});
    splitter.take();
  }
  return outcomes;
}

std::vector<Outcome> streamed(std::string_view stream, bool lines, size_t step,
                              const query::Pipeline& pipeline, ReadingPlan& plan) {
  static JsonParser parser;
  TextSplitter splitter(lines);
  IndexedStretch stretch;
  // The window, with room after it that a reader may look into.
  std::vector<char> buffer;
  size_t given = 0;
  auto slide = [&] {
    const size_t passed = splitter.hand_over();
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(passed));
    buffer.resize(buffer.size() - 64);
    const size_t more = std::min(step + buffer.size(), stream.size() - given);
    buffer.insert(buffer.end(), stream.begin() + given, stream.begin() + given + more);
    given += more;
    const size_t size = buffer.size();
    buffer.resize(size + 64, '\x7f');
    splitter.set_window(std::string_view(buffer.data(), size), given == stream.size());
    stretch.forget();
  };
  buffer.resize(64);
  slide();
  std::vector<Outcome> outcomes;
  uint64_t refused = UINT64_MAX;
  for (;;) {
    TextSplitter::Text text;
    size_t first = 0;
    if (splitter.start(&text, &first) == TextSplitter::Step::kText && text.offset != refused) {
      const std::string_view window(buffer.data(), buffer.size() - 64);
      if (auto read = stretch.read(parser, plan, window, true, lines, splitter.passed(), first)) {
        splitter.take_until(read->end);
        outcomes.push_back({text.index, text.offset, results_of(read->document, pipeline)});
        continue;
      }
      refused = text.offset;
    }
    const TextSplitter::Step step_taken = splitter.next(&text);
    if (step_taken == TextSplitter::Step::kEnd) break;
    if (step_taken == TextSplitter::Step::kNeedMore) {
      slide();
      continue;
    }
    std::string error;
    const auto root = parse_alone(parser, text.bytes, &plan, &error);
    if (text.guess && !root) {
      splitter.refute();
      continue;
    }
    outcomes.push_back({text.index, text.offset,
                        root ? results_of(*root, pipeline) : "error: " + error});
    splitter.take();
  }
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool lines = fdp.ConsumeBool();
  const size_t step = fdp.ConsumeIntegralInRange<size_t>(1, 300);
  const std::string_view query = pick(fdp, kQueries);
  std::string stream;
  if (fdp.ConsumeBool()) {
    const int count = fdp.ConsumeIntegralInRange<int>(0, 12);
    for (int i = 0; i < count && fdp.remaining_bytes() > 0; ++i) {
      stream += json_document(fdp, 3);
      stream += pick(fdp, kSeparators);
    }
    if (!stream.empty() && fdp.ConsumeBool()) {
      const size_t at = fdp.ConsumeIntegralInRange<size_t>(0, stream.size() - 1);
      stream[at] = static_cast<char>(fdp.ConsumeIntegral<uint8_t>());
    }
  } else {
    stream = fdp.ConsumeRemainingBytesAsString();
  }
  auto compiled = query::compile_query(std::string(query));
  if (std::holds_alternative<query::CompileError>(compiled)) std::abort();
  const query::Pipeline& pipeline = std::get<query::Pipeline>(compiled);
  ReadingPlan plan(engine::needed_parts(pipeline));

  const std::vector<Outcome> expected = reference(stream, lines, pipeline);
  const std::vector<Outcome> got = streamed(stream, lines, step, pipeline, plan);
  if (got != expected) {
    std::fprintf(stderr, "the stream gives other texts or outcomes\n  query: %s, lines %d, step %zu\n"
                 "  stream: %s\n", std::string(query).c_str(), lines, step, escaped(stream).c_str());
    for (size_t i = 0; i < std::max(got.size(), expected.size()); ++i) {
      auto show = [](const std::vector<Outcome>& outcomes, size_t i) {
        return i < outcomes.size() ? std::to_string(outcomes[i].index) + " @" +
                                         std::to_string(outcomes[i].offset) + ": " +
                                         escaped(outcomes[i].text)
                                   : std::string("(none)");
      };
      std::fprintf(stderr, "  text %zu\n    alone:    %s\n    streamed: %s\n", i,
                   show(expected, i).c_str(), show(got, i).c_str());
    }
    std::abort();
  }
  return 0;
}
