#include "table/document_stream.h"

#include <cstring>

#include "texts/text_run.h"

namespace tamsel::table {

DocumentStream::DocumentStream(std::shared_ptr<const texts::Program> program, size_t threads,
                               const texts::StreamOptions& options, DocumentFeed& feed)
    : program_(std::move(program)),
      options_(options),
      feed_(feed),
      in_flight_(threads > 1 ? 2 * threads : 1) {
  if (threads > 1) {
    pool_.emplace(threads);
  } else {
    lease_.emplace();
  }
}

DocumentStream::~DocumentStream() = default;

void DocumentStream::run(Queued& queued, JsonParser& parser, runtime::CallRuntime& call,
                         runtime::CallBounds::Poll poll) {
  const texts::RunRules rules{*program_, options_.form, poll};
  DocumentGroup& group = queued.group;
  texts::TextResults& results = queued.results;
  for (size_t i = 0; i < group.texts.size(); ++i) {
    const auto [offset, size] = group.texts[i];
    const texts::TextRecord place(group.first + i, 0);
    if (JsonParser::size_error(size)) {
      results.add_unrun(place, texts::too_long(size), size);
    } else {
      std::memcpy(parser.work_buffer(size), group.bytes.data() + offset, size);
      if (!results.add(rules, parser, size, call, place)) return;
    }
    if (options_.stop_at_bad && !results.texts.back().outcome.ran()) return;
  }
}

DocumentFeed::Fed DocumentStream::feed_one() {
  auto queued = std::make_unique<Queued>();
  queued->group.first = next_text_;
  const DocumentFeed::Fed fed = feed_.next(queued->group, options_.piece_bytes);
  if (fed != DocumentFeed::Fed::kGroup) return fed;
  next_text_ += queued->group.texts.size();
  work_.read += queued->group.bytes.size();
  work_.pieces += 1;
  Queued& q = *queued;
  queued_.push_back(std::move(queued));
  if (pool_) {
    q.slot = pool_->submit([this, &q](texts::WorkerPool::Worker& worker) {
      run(q, worker.parser, worker.call, texts::WorkerPool::stopping);
    });
  }
  return fed;
}

texts::TextStream::Step DocumentStream::next(texts::Waiting& waiting,
                                             const texts::TextResults** results,
                                             texts::Stop* stop) {
  handed_.reset();
  if (ended_) return Step::kEnd;
  while (!fed_all_ && queued_.size() < in_flight_) {
    const DocumentFeed::Fed fed = feed_one();
    if (fed == DocumentFeed::Fed::kGroup) continue;
    fed_all_ = true;
    failed_ = fed == DocumentFeed::Fed::kFailed;
  }
  if (queued_.empty()) {
    ended_ = true;
    return failed_ ? Step::kReadFailed : Step::kEnd;
  }
  Queued& front = *queued_.front();
  if (pool_) {
    if (!pool_->wait(front.slot, waiting)) {
      *stop = texts::Stop{};
      return Step::kStopped;
    }
    if (const auto& failure = pool_->failure(front.slot)) {
      *stop = *failure;
      ended_ = true;
      return Step::kStopped;
    }
    pool_->release(front.slot);
    front.slot = nullptr;
  } else {
    runtime::CallRuntime call;
    const bool long_enough = front.group.bytes.size() >= texts::kLetGoFrom;
    if (long_enough) waiting.let_go();
    run(front, lease_->parser(), call, options_.poll);
    waiting.take_back();
  }
  handed_ = std::move(queued_.front());
  queued_.pop_front();
  texts::TextResults& done = handed_->results;
  if (done.stopped) {
    *stop = done.stop;
    ended_ = true;
    return Step::kStopped;
  }
  work_.run += done.bytes;
  work_.parsed += done.parsed;
  if (options_.stop_at_bad) {
    for (const texts::TextRecord& record : done.texts)
      if (!record.outcome.ran()) ended_ = true;
  }
  *results = &done;
  return Step::kTexts;
}

}  // namespace tamsel::table
