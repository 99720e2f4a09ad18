// libFuzzer harness, differential: a stream of JSON texts run as a stream
// runs it must give, text by text, what each text gives alone.
//
// The reference splits the whole stream at once by the framing rules alone
// (every guess refuted) and parses each text alone, whole. The stream under
// test is the module's own (texts/text_stream.h): read a few bytes to a few
// hundred at a time, or from memory, on one to three threads that cut it
// into pieces of a few bytes to a few hundred; its texts are read as the
// stream reads them: from an indexed stretch where it can, else from a
// guessed line confirmed by its parse, else by the framing rules, through
// the projection of a query. Each text must have the same number, the same
// offset and the same outcome: the same parse error, or the same results
// (as JSON text) and fault.
//
// A stream is the input's bytes as they stand, or generated texts joined by
// white space or nothing, now and then one byte broken; the query is one of
// a few that read parts of a document.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
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
#include "runtime/fault.h"
#include "texts/text_splitter.h"
#include "texts/text_stream.h"
#include "value/json.h"
#include "value/reading_plan.h"
#include "value/result_tape.h"

namespace {

using namespace tamsel;
using namespace tamsel::fuzz;
using texts::TextSplitter;

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

// Gives at most `step` bytes a read, as a pipe or a file object might.
class StepReader final : public texts::Reader {
 public:
  StepReader(std::string_view bytes, size_t step) : bytes_(bytes), step_(step) {}
  Read read(char* into, size_t size, size_t* got, texts::Waiting&) override {
    *got = std::min({size, step_, bytes_.size() - at_});
    std::memcpy(into, bytes_.data() + at_, *got);
    at_ += *got;
    return Read::kOk;
  }
  bool may_wait() const override { return false; }

 private:
  std::string_view bytes_;
  size_t step_;
  size_t at_ = 0;
};

// The stream as the module runs it: read `step` bytes at a time (or from
// memory), on `threads` threads cutting pieces of about `piece` bytes.
std::vector<Outcome> streamed(std::string_view stream, bool lines, size_t step, size_t threads,
                              size_t piece, std::shared_ptr<const texts::Program> program) {
  StepReader reader(stream, step);
  texts::StreamSource source;
  if (step > 250) {
    source.memory = stream;
  } else {
    source.reader = &reader;
  }
  texts::StreamOptions options;
  options.lines = lines;
  options.stop_at_bad = false;
  options.form.as_json = true;
  options.piece_bytes = piece;
  auto run = texts::make_text_stream(std::move(program), threads, options, source);
  texts::Waiting waiting;
  std::vector<Outcome> outcomes;
  for (;;) {
    const texts::TextResults* results = nullptr;
    texts::Stop stop;
    if (run->next(waiting, &results, &stop) != texts::TextStream::Step::kTexts) break;
    ResultTape::Reader tape(results->tape);
    for (const texts::TextRecord& record : results->texts) {
      std::string text;
      switch (record.outcome.kind) {
        case texts::TextOutcome::Kind::kRan:
          for (uint32_t i = 0; i < record.results; ++i) {
            tape.tag();
            text += std::string(tape.string()) + "\n";
          }
          break;
        case texts::TextOutcome::Kind::kFault: text = "fault: " + record.outcome.message; break;
        default: text = "error: " + record.outcome.message; break;
      }
      outcomes.push_back({record.index, record.offset, std::move(text)});
    }
  }
  return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool lines = fdp.ConsumeBool();
  const size_t step = fdp.ConsumeIntegralInRange<size_t>(1, 300);
  const size_t threads = fdp.ConsumeIntegralInRange<size_t>(1, 3);
  const size_t piece = fdp.ConsumeIntegralInRange<size_t>(1, 200);
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
  auto program = std::make_shared<texts::Program>();
  program->pipeline = std::get<query::Pipeline>(std::move(compiled));
  program->reading = std::make_unique<ReadingPlan>(engine::needed_parts(program->pipeline));

  const std::vector<Outcome> expected = reference(stream, lines, program->pipeline);
  const std::vector<Outcome> got = streamed(stream, lines, step, threads, piece, program);
  if (got != expected) {
    std::fprintf(stderr,
                 "the stream gives other texts or outcomes\n  query: %s, lines %d, step %zu, "
                 "threads %zu, piece %zu\n  stream: %s\n",
                 std::string(query).c_str(), lines, step, threads, piece, escaped(stream).c_str());
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
