// The process keeps one JsonParser, so the buffers held between calls do not
// grow with the number of programs. A run borrows it for its whole length;
// a run that starts while it is lent (a call made from inside another run,
// by a finaliser or another thread during object creation) parses with a
// private parser, so the document the first run reads is never overwritten.
#pragma once

#include <memory>

#include "value/json.h"

namespace tamsel::binding {

class ParserLease {
 public:
  ParserLease();
  ~ParserLease();
  ParserLease(const ParserLease&) = delete;
  ParserLease& operator=(const ParserLease&) = delete;

  JsonParser& parser() { return *parser_; }

 private:
  JsonParser* parser_ = nullptr;
  std::unique_ptr<JsonParser> private_;
};

}  // namespace tamsel::binding
