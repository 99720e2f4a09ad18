// Texts that are separate documents in memory, a list's items or the
// values of an Arrow string column, run as a stream's are: a group of about
// a MiB of them at a time, on the caller's thread or on threads of their
// own, each group into a TextResults of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "texts/text_stream.h"
#include "texts/worker_pool.h"

namespace tamsel::table {

// The texts of a group, copied back to back: one never changes under a
// run that has let go of what guards its source.
struct DocumentGroup {
  std::string bytes;
  std::vector<std::pair<size_t, size_t>> texts;  // offset and size in `bytes`
  uint64_t first = 0;                            // the number of the first

  void add(std::string_view text) {
    texts.emplace_back(bytes.size(), text.size());
    bytes.append(text);
  }
};

class DocumentFeed {
 public:
  enum class Fed { kGroup, kEnd, kFailed };
  virtual ~DocumentFeed() = default;
  // Fills `group` (empty) with the next texts, about `bytes` of them, and
  // at least one unless the source has ended (kEnd) or failed (kFailed:
  // the feed keeps why). Called with what the stream's Waiting guards held.
  virtual Fed next(DocumentGroup& group, size_t bytes) = 0;
};

class DocumentStream final : public texts::TextStream {
 public:
  // Reads the texts from `feed`, which the caller keeps for the stream's life.
  DocumentStream(std::shared_ptr<const texts::Program> program, size_t threads,
                 const texts::StreamOptions& options, DocumentFeed& feed);
  ~DocumentStream() override;

  Step next(texts::Waiting& waiting, const texts::TextResults** results,
            texts::Stop* stop) override;
  const texts::StreamWork& work() const override { return work_; }
  bool usable() const override { return !pool_ || pool_->usable(); }

 private:
  struct Queued {
    DocumentGroup group;
    texts::TextResults results;
    texts::WorkerPool::Slot* slot = nullptr;
  };
  // Feeds the next group into the queue (and on a thread, starts it).
  DocumentFeed::Fed feed_one();
  void run(Queued& queued, JsonParser& parser, runtime::CallRuntime& call,
           runtime::CallBounds::Poll poll);

  const std::shared_ptr<const texts::Program> program_;
  const texts::StreamOptions options_;
  DocumentFeed& feed_;
  const size_t in_flight_;
  std::deque<std::unique_ptr<Queued>> queued_;
  std::unique_ptr<Queued> handed_;
  uint64_t next_text_ = 0;
  bool fed_all_ = false;
  bool failed_ = false;
  bool ended_ = false;
  texts::StreamWork work_;
  std::optional<texts::ParserLease> lease_;
  // Declared last, so that it stops and joins its threads first.
  std::optional<texts::WorkerPool> pool_;
};

}  // namespace tamsel::table
