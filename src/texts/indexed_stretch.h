// A stream's texts read one after another from a stretch of its window that
// one pass of simdjson's first stage has indexed (see indexed_texts.h), for
// a program that reads documents for a projection.
//
// A stretch runs from a text's first byte to the last line break within
// kStretchBytes after it. A text is read from it when its value is exactly
// the text that the stream's framing (text_splitter.h) finds there, and the
// projected reader takes it; a text that is not read so is split and parsed
// alone by the caller, which decides how it fails. So the two ways give the
// same documents, and every error comes from the text alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "value/document_ref.h"
#include "value/indexed_texts.h"
#include "value/json.h"
#include "value/reading_plan.h"

namespace tamsel::texts {

class IndexedStretch {
 public:
  static constexpr size_t kStretchBytes = size_t{256} << 10;

  struct Read {
    DocumentRef document;  // in the parser, until it parses again
    size_t end;            // in the window: where the splitter takes the text to
    size_t size;           // of the text, for its run's budget
  };

  // Reads the text whose first byte that is not white space lies at window
  // position `first`, and whose own first byte (the start of its line, in
  // JSON Lines) at `start`. `padded`: the window may be read 64 bytes past
  // its end. nullopt when the text is not read this way.
  std::optional<Read> read(JsonParser& parser, ReadingPlan& plan, std::string_view window,
                           bool padded, bool lines, size_t start, size_t first);

  // The window slid: what was indexed in it is gone.
  void forget();

 private:
  bool index_from(std::string_view window, bool padded, size_t first);

  IndexedTexts texts_;
  bool valid_ = false;
  size_t begin_ = 0;  // of the stretch, in the window
  size_t end_ = 0;
  uint32_t next_ = 0;  // the structural character where the next text may start
  // Texts starting before this are not indexed: the stretch there could not be.
  size_t none_before_ = 0;
};

}  // namespace tamsel::texts
