// Reads a JSON text for a query that observes only some of it: every byte
// is checked against the grammar, but only the parts a Projection names are
// decoded and written to the tape; the rest is passed over without
// converting a number or unescaping a string.
#pragma once

#include <cstddef>
#include <memory>

#include "value/projection.h"

namespace simdjson::dom {
class parser;
}

namespace tamsel {

// Fills a parser's document with the parts of a text that a projection
// needs, in simdjson's tape format, so that its root reads them in place.
// Keeps its working room between texts, so that a run of small documents
// allocates nothing.
class ProjectedTapeReader {
 public:
  ProjectedTapeReader();
  ~ProjectedTapeReader();
  ProjectedTapeReader(const ProjectedTapeReader&) = delete;
  ProjectedTapeReader& operator=(const ProjectedTapeReader&) = delete;

  // `text` is `size` bytes followed by a NUL byte, and may be read up to
  // simdjson's padding past its end (its bytes there need not be zero);
  // `parser` is allocated for at least `size` bytes, its document too. What
  // is read refers to the parser's storage only, never into `text`.
  //
  // Returns false when the text is not taken: it is invalid, or valid in a
  // way this reader leaves to the whole-document parse (very deep nesting,
  // numbers at the edge of their range, unusual escapes). The caller then
  // parses the whole document, which decides, so no invalid text is ever let
  // through and every error is the one the whole-document parse reports.
  bool read(simdjson::dom::parser& parser, const char* text, size_t size,
            const Projection& projection);

  struct Room;

 private:
  std::unique_ptr<Room> room_;
};

}  // namespace tamsel
