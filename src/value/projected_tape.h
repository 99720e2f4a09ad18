// Reads a JSON text for a query that observes only some of it: every byte
// is checked against the grammar, but only the parts a Projection names are
// decoded and written to the tape; the rest is passed over without
// converting a number or unescaping a string.
#pragma once

#include <cstddef>
#include <memory>

#include "value/indexed_texts.h"
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

  // The same for the value that starts at the k-th structural character of
  // an indexed stretch of many texts, into a document allocated for at
  // least the stretch's size. The value may be followed by others: *next
  // receives the structural character after it. A value that the stretch
  // cuts short is not taken, like an invalid one.
  bool read_next(simdjson::dom::parser& parser, const IndexedTexts& texts, uint32_t k,
                 const Projection& projection, uint32_t* next);

  // Whether every escape of the text is one this reader decodes (the text
  // may be read up to simdjson's padding past its end).
  static bool escapes_taken(const char* text, size_t size);

  struct Room;

 private:
  std::unique_ptr<Room> room_;
};

}  // namespace tamsel
