// The parsers that runs borrow. Each run borrows one for its whole length,
// so runs on several threads at once, or a run made from inside another (by
// a finaliser or a signal handler), never share one. A parser that comes
// back is kept for the next run, up to one a core (at most
// kMaxKeptParsers), so the buffers kept between calls grow with the number
// of threads that run at once, not with the number of programs or threads.
#pragma once

#include <cstddef>
#include <memory>

#include "tamsel_limits.h"
#include "value/json.h"

namespace tamsel::texts {

class ParserLease {
 public:
  ParserLease();
  ~ParserLease();
  ParserLease(const ParserLease&) = delete;
  ParserLease& operator=(const ParserLease&) = delete;

  JsonParser& parser() { return *parser_; }

 private:
  std::unique_ptr<JsonParser> parser_;
};

}  // namespace tamsel::texts
