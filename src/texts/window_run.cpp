#include "texts/window_run.h"

#include <cstring>
#include <optional>
#include <variant>

namespace tamsel::texts {
namespace {

constexpr uint64_t kPollEveryBytes = uint64_t{256} << 10;

}  // namespace

WindowStep run_window(const WindowRun& run, StreamFraming& framing, std::string_view window,
                      bool padded, JsonParser& parser, runtime::CallRuntime& call,
                      TextResults& results) {
  TextSplitter& splitter = framing.splitter;
  const uint64_t bytes_at_start = results.bytes;
  // A text's own run polls only when it is long; many short ones poll here.
  uint64_t poll_at = results.bytes + kPollEveryBytes;
  // After each text filed: the step that ends the run, if one does.
  auto after_text = [&](const TextSplitter::Text& text) -> std::optional<WindowStep> {
    TextRecord& record = results.texts.back();
    if (!record.outcome.ran()) {
      record.line = splitter.line_of(text.offset);
      if (run.stop_at_bad) return WindowStep::kBadText;
    }
    if (results.bytes - bytes_at_start >= run.most_bytes) return WindowStep::kFull;
    if (results.bytes >= poll_at) {
      poll_at = results.bytes + kPollEveryBytes;
      if (run.rules.poll && run.rules.poll()) {
        results.stopped = true;
        results.stop = Stop{};
        return WindowStep::kStopped;
      }
    }
    return std::nullopt;
  };
  for (;;) {
    TextSplitter::Text text;
    size_t first = 0;
    ReadingPlan* plan = run.rules.program.reading.get();
    if (plan && splitter.start(&text, &first) == TextSplitter::Step::kText &&
        text.offset != framing.refused_text) {
      if (const auto read = framing.stretch.read(parser, *plan, window, padded, framing.lines,
                                                 splitter.passed(), first)) {
        splitter.take_until(read->end);
        if (!results.add(run.rules, read->document, read->size, call,
                       TextRecord(text.index, text.offset)))
          return WindowStep::kStopped;
        if (const auto step = after_text(text)) return *step;
        continue;
      }
      framing.refused_text = text.offset;
    }
    const TextSplitter::Step step = splitter.next(&text);
    if (step == TextSplitter::Step::kEnd) return WindowStep::kEnd;
    if (step == TextSplitter::Step::kNeedMore) return WindowStep::kNeedMore;
    if (step == TextSplitter::Step::kBroken) return WindowStep::kBroken;
    const size_t size = text.bytes.size();
    if (text.member) {
      // Checked as JSON, not run.
      if (const auto error = JsonParser::size_error(size)) {
        splitter.refuse_member(error->message());
        continue;
      }
      const auto parsed = parser.parse_document(text.bytes);
      results.parsed += size;
      const JsonError* error = std::get_if<JsonError>(&parsed);
      if (error) {
        splitter.refuse_member(error->message());
      } else {
        splitter.take();
      }
      parser.end_run();
      continue;
    }
    const TextRecord place(text.index, text.offset);
    if (JsonParser::size_error(size)) {
      if (text.guess) {
        // The line was not one text: find the text the framing rules give.
        splitter.refute();
        continue;
      }
      results.add_unrun(place, too_long(size), size);
    } else {
      std::memcpy(parser.work_buffer(size), text.bytes.data(), size);
      const size_t filed = results.texts.size();
      if (!results.add(run.rules, parser, size, call, place)) return WindowStep::kStopped;
      if (text.guess && !results.texts.back().outcome.ran()) {
        // The line was not one text (or failed as one): unfile it, and find
        // the text the framing rules give.
        results.texts.resize(filed);
        results.bytes -= size;
        splitter.refute();
        continue;
      }
    }
    splitter.take();
    if (const auto step = after_text(text)) return *step;
  }
}

}  // namespace tamsel::texts
