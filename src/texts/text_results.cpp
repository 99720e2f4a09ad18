#include "texts/text_results.h"

#include <utility>

namespace tamsel::texts {
namespace {

// The results of one text, onto the tape: values whole, or JSON texts.
class TapeSink final : public ResultSink {
 public:
  explicit TapeSink(ResultTape& tape) : tape_(tape), kept_(tape.size()) {}

  void expect(size_t, size_t text_room) override {
    if (text_room) tape_.text().reserve(tape_.size() + text_room);
  }
  bool take(const View& value) override {
    tape_.append(value);
    ++count_;
    return true;
  }
  bool takes_records() const override { return true; }
  bool take_record(const engine::PathRecord& record, const View* values) override {
    runtime::note_work();
    tape_.begin_object(record.size());
    for (size_t i = 0; i < record.size(); ++i) tape_.append_member(record.key(i), values[i]);
    ++count_;
    return true;
  }
  bool take_entries(const View& object) override {
    tape_.append_entries(object);
    ++count_;
    return true;
  }
  std::string& text() override {
    tape_.begin_text();
    return tape_.text();
  }
  bool end_text() override {
    tape_.end_text();
    ++count_;
    return true;
  }
  void drop() override {
    tape_.text().resize(kept_);
    count_ = 0;
  }
  uint32_t count() const { return count_; }

 private:
  ResultTape& tape_;
  const size_t kept_;
  uint32_t count_ = 0;
};

template <class Text>
bool file(TextResults& results, const RunRules& rules, Text text, size_t size,
          runtime::CallRuntime& call, TextRecord place) {
  results.parsed += size;
  TextOutcome outcome;
  if (const auto& stores = rules.program.stores) {
    if (!results.store) results.store = stores->make();
    outcome = run_text(rules, text, size, call, results.store->next_text());
    place.results = results.store->taken();
  } else {
    TapeSink sink(results.tape);
    outcome = run_text(rules, text, size, call, sink);
    place.results = sink.count();
  }
  if (outcome.kind == TextOutcome::Kind::kStopped) {
    results.stopped = true;
    results.stop = Stop{outcome.stopped_by, {}};
    return false;
  }
  place.outcome = std::move(outcome);
  results.bytes += size;
  results.texts.push_back(std::move(place));
  return true;
}

}  // namespace

bool TextResults::add(const RunRules& rules, JsonParser& parser, size_t size,
                      runtime::CallRuntime& call, TextRecord place) {
  return file<JsonParser&>(*this, rules, parser, size, call, std::move(place));
}

bool TextResults::add(const RunRules& rules, DocumentRef document, size_t size,
                      runtime::CallRuntime& call, TextRecord place) {
  return file<DocumentRef>(*this, rules, document, size, call, std::move(place));
}

void TextResults::add_unrun(TextRecord place, TextOutcome outcome, size_t size) {
  place.outcome = std::move(outcome);
  bytes += size;
  texts.push_back(std::move(place));
}

}  // namespace tamsel::texts
