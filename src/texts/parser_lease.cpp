#include "texts/parser_lease.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace tamsel::texts {
namespace {

// The parsers no run holds, made on first use and kept for the life of the
// process, like the class objects. Calls take and give back leases with the
// interpreter lock held, the threads of a stream or batch without it. The
// mutex is held across fork(), so that a child never finds it taken by a
// thread it does not have.
class IdleParsers;
IdleParsers& idle_parsers();

class IdleParsers {
 public:
  IdleParsers() {
    pthread_atfork([] { idle_parsers().mutex_.lock(); },
                   [] { idle_parsers().mutex_.unlock(); },
                   [] { idle_parsers().mutex_.unlock(); });
  }

  std::unique_ptr<JsonParser> take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<JsonParser> parser(idle_.back());
        idle_.pop_back();
        return parser;
      }
    }
    return std::make_unique<JsonParser>();
  }

  void give_back(std::unique_ptr<JsonParser> parser) {
    parser->end_run();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() >= kept_) return;  // destroyed as `parser` ends
    if (idle_.capacity() == 0) idle_.reserve(kept_);
    idle_.push_back(parser.release());
  }

 private:
  const size_t kept_ = std::clamp<size_t>(std::thread::hardware_concurrency(), 1,
                                          kMaxKeptParsers);
  std::mutex mutex_;
  std::vector<JsonParser*> idle_;
};


IdleParsers& idle_parsers() {
  // Never destroyed: a thread may still give a parser back while the
  // process exits.
  static IdleParsers* pool = new IdleParsers();
  return *pool;
}

}  // namespace

ParserLease::ParserLease() : parser_(idle_parsers().take()) {}

ParserLease::~ParserLease() {
  try {
    idle_parsers().give_back(std::move(parser_));
  } catch (...) {
    // No room to keep it: it is simply destroyed.
  }
}

}  // namespace tamsel::texts
