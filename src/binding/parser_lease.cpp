#include "binding/parser_lease.h"

namespace tamsel::binding {
namespace {

// Made on first use and kept for the life of the process, like the class
// objects. Only touched with the interpreter lock held.
JsonParser* shared_parser = nullptr;
bool shared_parser_lent = false;

}  // namespace

ParserLease::ParserLease() {
  if (shared_parser_lent) {
    private_ = std::make_unique<JsonParser>();
    parser_ = private_.get();
    return;
  }
  if (!shared_parser) shared_parser = new JsonParser();
  shared_parser_lent = true;
  parser_ = shared_parser;
}

ParserLease::~ParserLease() {
  if (private_) return;
  shared_parser->end_run();
  shared_parser_lent = false;
}

}  // namespace tamsel::binding
