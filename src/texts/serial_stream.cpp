#include "texts/serial_stream.h"

#include "tamsel_limits.h"
#include "texts/parser_lease.h"

namespace tamsel::texts {
namespace {

// About this much text is run before the stream hands out what it made.
constexpr size_t kRunBytes = size_t{1} << 20;

Window window_of(const StreamSource& source) {
  if (source.reader) return Window(*source.reader);
  return Window(source.memory, source.padded);
}

}  // namespace

SerialStream::SerialStream(std::shared_ptr<const Program> program, const StreamOptions& options,
                           StreamSource source)
    : program_(std::move(program)),
      options_(options),
      window_(window_of(source)),
      framing_(options.lines, stretch_, true,
               options.elements ? &*options.elements : nullptr) {}

void SerialStream::refuse_long_text() {
  TextSplitter& splitter = framing_.splitter;
  const size_t size = window_.bytes().size() - splitter.passed();
  TextRecord place(splitter.taken(), window_.offset() + splitter.passed());
  place.line = splitter.line_of(place.offset);
  results_.add_unrun(std::move(place), too_long(size), 0);
}

TextStream::Step SerialStream::next(Waiting& waiting, const TextResults** results, Stop* stop) {
  results_.clear();
  *results = &results_;
  switch (then_) {
    case Then::kGoOn: break;
    case Then::kEnd: return Step::kEnd;
    case Then::kReadFailed: then_ = Then::kEnd; return Step::kReadFailed;
  }
  TextSplitter& splitter = framing_.splitter;
  if (!window_set_) {
    if (!window_.in_memory()) {
      const Reader::Read read = window_.read_more(0, waiting);
      if (read == Reader::Read::kStopped) return Step::kStopped;
      if (read == Reader::Read::kFailed) {
        then_ = Then::kEnd;
        return Step::kReadFailed;
      }
      work_.read += window_.bytes().size();
    }
    splitter.set_window(window_.bytes(), window_.at_end());
    window_set_ = true;
  }
  // The arena of every text of the run.
  runtime::CallRuntime call;
  ParserLease lease;
  for (;;) {
    const std::string_view window = window_.bytes();
    const WindowRun run{{*program_, options_.form, options_.poll, options_.origin},
                        options_.stop_at_bad, kRunBytes - static_cast<size_t>(results_.bytes)};
    WindowStep step;
    {
      // Nothing else can change the window's bytes: the stream's own
      // memory, or a buffer of the window's.
      const bool long_enough = window.size() - splitter.passed() >= kLetGoFrom;
      if (long_enough) waiting.let_go();
      step = run_window(run, framing_, window, window_.padded(), lease.parser(), call, results_);
      waiting.take_back();
    }
    if (step == WindowStep::kStopped) {
      *stop = results_.stop;
      return Step::kStopped;
    }
    if (step == WindowStep::kEnd || step == WindowStep::kBadText) then_ = Then::kEnd;
    if (step == WindowStep::kBroken) {
      // The texts before it are handed out first.
      broken_ = splitter.broken();
      then_ = Then::kReadFailed;
    }
    if (step != WindowStep::kNeedMore) break;
    if (results_.bytes >= kRunBytes) break;
    // A source that gives what it has (a pipe) hands out what is made
    // before it waits for more.
    if (!results_.texts.empty() && window_.may_wait()) break;
    if (window.size() - splitter.passed() > kMaxInputSize) {
      // A text that no parse would take: it ends the stream, since its end
      // is not worth reading on for.
      refuse_long_text();
      then_ = Then::kEnd;
      break;
    }
    const size_t before = window.size() - splitter.passed();
    const Reader::Read read = window_.read_more(splitter.hand_over(), waiting);
    if (read == Reader::Read::kStopped) return Step::kStopped;
    if (read == Reader::Read::kFailed) {
      // The texts the bytes read so far hold are handed out first.
      then_ = Then::kReadFailed;
      break;
    }
    // A source that never waits (a device) is read on and on: a stop is
    // looked for between its reads.
    if (waiting.stop_requested()) return Step::kStopped;
    work_.read += window_.bytes().size() - before;
    work_.most_held = std::max<uint64_t>(work_.most_held, window_.most_held());
    splitter.set_window(window_.bytes(), window_.at_end());
    stretch_.forget();
  }
  work_.run += results_.bytes;
  work_.parsed += results_.parsed;
  if (results_.texts.empty() && then_ != Then::kGoOn) return next(waiting, results, stop);
  return Step::kTexts;
}

}  // namespace tamsel::texts
