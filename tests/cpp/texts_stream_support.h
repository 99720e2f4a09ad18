// What the stream tests share: a compiled program, readers that stand for
// the sources a caller has, and a stream run to its end with what it made
// written out as text.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/needed_parts.h"
#include "parser/parser.h"
#include "texts/text_stream.h"
#include "value/result_tape.h"

namespace tamsel::texts {

// `query` compiled, read for what it needs unless `whole`.
inline std::shared_ptr<const Program> compiled(std::string_view query, bool whole = false) {
  auto compiled = query::compile_query(query);
  auto program = std::make_shared<Program>();
  program->set_pipeline(std::get<query::Pipeline>(std::move(compiled)));
  Projection needed = engine::needed_parts(program->pipeline);
  if (!needed.is_whole() && !whole) program->reading = std::make_unique<ReadingPlan>(needed);
  return program;
}

// Gives at most `most` bytes a read, as a file object over a pipe or a
// decompressor does; says it may wait after a short read when `waits`.
class ChunkedReader final : public Reader {
 public:
  ChunkedReader(std::string bytes, size_t most, bool waits = false)
      : bytes_(std::move(bytes)), most_(most), waits_(waits) {}
  Read read(char* into, size_t size, size_t* got, Waiting&) override {
    *got = std::min({size, most_, bytes_.size() - at_});
    std::memcpy(into, bytes_.data() + at_, *got);
    at_ += *got;
    short_ = *got < size;
    if (fail_at_ && at_ >= fail_at_ && *got == 0) return Read::kFailed;
    return Read::kOk;
  }
  bool may_wait() const override { return waits_ && short_; }
  bool free_threaded() const override { return any_thread_; }
  // Lets a stream read it from a thread of its own, as it reads a file.
  void read_on_any_thread() { any_thread_ = true; }
  // Fails the read after the first `at` bytes.
  void fail_after(size_t at) {
    fail_at_ = at;
    bytes_.resize(at);
  }

 private:
  std::string bytes_;
  size_t at_ = 0;
  const size_t most_;
  const bool waits_;
  bool short_ = false;
  size_t fail_at_ = 0;
  bool any_thread_ = false;
};

// What a stream gave, written out: each result's JSON text, and each bad
// text as "index@offset:line message", in order; and how it ended.
struct Outcome {
  std::vector<std::string> made;
  TextStream::Step end = TextStream::Step::kEnd;
  std::string broken;  // after kReadFailed
  StreamWork work;
  bool operator==(const Outcome& other) const {
    return made == other.made && end == other.end && broken == other.broken;
  }
};

inline void PrintTo(const Outcome& outcome, std::ostream* os) {
  for (const std::string& m : outcome.made) *os << m << " | ";
  *os << "end " << static_cast<int>(outcome.end) << " " << outcome.broken;
}

inline Outcome run_stream(std::shared_ptr<const Program> program, size_t threads,
                          StreamOptions options, StreamSource source) {
  options.form.as_json = true;
  Waiting waiting;
  auto stream = make_text_stream(std::move(program), threads, options, source);
  Outcome outcome;
  for (;;) {
    const TextResults* batch = nullptr;
    Stop stop;
    const TextStream::Step step = stream->next(waiting, &batch, &stop);
    if (step != TextStream::Step::kTexts) {
      outcome.end = step;
      if (step == TextStream::Step::kReadFailed) outcome.broken = stream->broken();
      break;
    }
    ResultTape::Reader reader(batch->tape);
    for (const TextRecord& record : batch->texts) {
      if (!record.outcome.ran()) {
        outcome.made.push_back(std::to_string(record.index) + "@" + std::to_string(record.offset) +
                               ":" + std::to_string(record.line) + " " + record.outcome.message);
        continue;
      }
      for (uint32_t i = 0; i < record.results; ++i) {
        EXPECT_EQ(reader.tag(), ResultTape::kText);
        outcome.made.push_back(std::string(reader.string()));
      }
    }
  }
  outcome.work = stream->work();
  return outcome;
}

}  // namespace tamsel::texts
