#include "texts/source_stream.h"

#include <optional>
#include <utility>

namespace tamsel::texts {

SourceStream::SourceStream(std::unique_ptr<DecodingReader> reader,
                           std::unique_ptr<TextStream> inner, bool check_for_binary)
    : reader_(std::move(reader)), inner_(std::move(inner)), judging_(check_for_binary) {}

SourceStream::Verdict SourceStream::judge(const TextResults& results) {
  for (const TextRecord& record : results.texts) {
    if (record.offset >= kFirstBytes) return binary_texts_ > 0 ? Verdict::kBinary : Verdict::kText;
    // Random bytes hold a small JSON text now and then (a digit between
    // two white space bytes): one that runs after two binary ones is no
    // sign of text.
    if (!record.outcome.bad_text()) return binary_texts_ >= 2 ? Verdict::kBinary : Verdict::kText;
    if (!record.outcome.binary) continue;
    if (binary_texts_++ == 0) first_binary_ = record;
  }
  return Verdict::kUndecided;
}

TextStream::Step SourceStream::not_text(const TextResults** out) {
  TextRecord first = std::move(*first_binary_);
  held_.clear();
  std::string& note = first.outcome.note;
  if (!note.empty()) note.push_back('\n');
  note.append("the first kilobyte of the source holds no JSON text, only bad texts like this "
              "one, which starts with a byte that is not text: the source is not JSON, so the "
              "stream ends here rather than skip each of its texts");
  held_.texts.push_back(std::move(first));
  judging_ = false;
  *out = &held_;
  return Step::kNotText;
}

TextStream::Step SourceStream::next(Waiting& waiting, const TextResults** results, Stop* stop) {
  if (after_held_) {
    *results = std::exchange(after_held_, nullptr);
    return Step::kTexts;
  }
  if (after_held_step_) return *std::exchange(after_held_step_, std::nullopt);
  if (!judging_) return inner_->next(waiting, results, stop);
  for (;;) {
    const TextResults* made = nullptr;
    const Step step = inner_->next(waiting, &made, stop);
    if (step != Step::kTexts) {
      // Nothing but bad texts, some binary, then the end (or a read that failed).
      if (first_binary_ && step != Step::kStopped) return not_text(results);
      judging_ = false;
      if (held_.texts.empty() || step == Step::kStopped) {
        *results = made;
        return step;
      }
      // The bad texts held come out before the stream's end.
      *results = &held_;
      after_held_step_ = step;
      return Step::kTexts;
    }
    switch (judge(*made)) {
      case Verdict::kBinary: return not_text(results);
      case Verdict::kText:
        judging_ = false;
        if (held_.texts.empty()) {
          *results = made;
        } else {
          *results = &held_;
          after_held_ = made;
        }
        return Step::kTexts;
      case Verdict::kUndecided:
        // Bad texts carry no results: their records are all there is.
        for (const TextRecord& record : made->texts) held_.texts.push_back(record);
        held_.bytes += made->bytes;
        held_.parsed += made->parsed;
        break;
    }
  }
}

const StreamWork& SourceStream::work() const {
  work_ = inner_->work();
  if (reader_) work_.decompressed = reader_->decompressed();
  return work_;
}

bool SourceStream::usable() const { return inner_->usable() && (!reader_ || reader_->usable()); }

std::string_view SourceStream::broken() const {
  // A broken archive comes first: the text it gave before is cut short.
  if (reader_ && !reader_->broken().empty()) return reader_->broken();
  return inner_->broken();
}

}  // namespace tamsel::texts
