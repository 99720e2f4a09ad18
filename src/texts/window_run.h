// The texts of a stream's window run one after another, with no Python
// object touched: found by the stream's framing, read from an indexed
// stretch where the program reads for a projection, and each run as
// text_results.h files it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "texts/program.h"
#include "texts/text_results.h"
#include "runtime/call_runtime.h"
#include "texts/indexed_stretch.h"
#include "value/json.h"
#include "texts/text_splitter.h"

namespace tamsel::texts {

// Where a stream stands among its texts, kept from one window to the next,
// and the stretch of the window it reads from (whose buffers a thread that
// runs many pieces keeps for all of them).
struct StreamFraming {
  StreamFraming(bool lines, IndexedStretch& stretch, bool at_stream_start = true,
                const ElementPath* elements = nullptr)
      : splitter(lines, at_stream_start, elements), stretch(stretch), lines(lines) {}

  TextSplitter splitter;
  IndexedStretch& stretch;
  // The offset of a text the stretch did not read, which goes to the
  // splitter instead.
  uint64_t refused_text = UINT64_MAX;
  const bool lines;
};

enum class WindowStep {
  kFull,      // about `most_bytes` of texts ran
  kNeedMore,  // the next text may go on past the window: it must grow
  kEnd,       // the stream's texts are all run
  kBadText,   // a bad text ran, and the caller stops at one
  kStopped,   // the poll or the system's memory stopped the run (results.stopped)
  kBroken,    // the array of elements is broken: the splitter's broken()
};

// Runs texts from the framing's place in `window` (the splitter's window;
// `padded` as for IndexedStretch::read), adding what they make to `results`,
// until one of the steps above. Records carry the stream's offsets, and a
// bad text's line in `line`.
struct WindowRun {
  RunRules rules;
  bool stop_at_bad;
  size_t most_bytes;
};
WindowStep run_window(const WindowRun& run, StreamFraming& framing, std::string_view window,
                      bool padded, JsonParser& parser, runtime::CallRuntime& call,
                      TextResults& results);

}  // namespace tamsel::texts
