// Texts run with no Python object touched: the part of the stream and batch
// methods that goes without the interpreter lock, on the caller's thread or
// on threads of the module's own. What the texts make is kept as values,
// results on a tape and errors as texts, until the caller's thread makes
// Python objects of them (batch_objects.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/call_runtime.h"
#include "texts/program.h"
#include "texts/result_form.h"
#include "texts/stop.h"
#include "value/document_ref.h"
#include "value/json.h"
#include "value/json_hint.h"
#include "value/result_tape.h"

namespace tamsel::texts {

// What became of one text.
struct TextRecord {
  enum class Kind : uint8_t {
    kRan,
    kMalformed,  // not one JSON value: ValueError
    kFault,      // an internal fault ended its run: PanicException
  };
  TextRecord() = default;
  TextRecord(uint64_t index, uint64_t offset) : index(index), offset(offset) {}

  Kind kind = Kind::kRan;
  uint64_t index = 0;   // its number among the texts of the source
  uint64_t offset = 0;  // where it starts, as the runner counts
  uint64_t line = 0;    // in a stream, the line it starts on, for a text that did not run
  uint32_t results = 0;  // how many results it put on the tape, in order
  std::string message;   // for a text that did not run
  std::string note;      // help beside a JSON error's message, if any
};

// What a run of texts made, in order.
struct TextBatch {
  std::vector<TextRecord> texts;
  ResultTape tape;
  // Bytes of the texts run, and bytes given to a parse (a line guessed to
  // be a text and refuted is parsed again, with the text found instead).
  uint64_t bytes = 0;
  uint64_t parsed = 0;
  // Something other than a text stopped the run: the poll (whose reason
  // is recorded where the poll keeps it) or the system's memory.
  bool stopped = false;
  Stop stop;

  void clear() {
    texts.clear();
    tape.clear();
    bytes = 0;
    parsed = 0;
    stopped = false;
  }
};

// How each text of a run is run: the program, the form of its results, the
// poll of its bounds (which may stop a large text's parse too), and where
// its texts come from, for the hint beside a JSON error.
struct RunRules {
  const Program& program;
  const ResultForm& form;
  runtime::CallBounds::Poll poll;
  TextOrigin origin = TextOrigin::kDocument;
};

// Runs the program over the `size` bytes of text that `parser` holds (in
// its work buffer, or lent), or over a `document` parsed already, inside
// `call`, and adds the text's record (`record` filled in with its place)
// and results to `batch`. False when the run stopped (batch.stopped set),
// with nothing added.
bool run_quietly(const RunRules& rules, JsonParser& parser, size_t size,
                 runtime::CallRuntime& call, TextRecord record, TextBatch& batch);
bool run_quietly(const RunRules& rules, DocumentRef document, size_t size,
                 runtime::CallRuntime& call, TextRecord record, TextBatch& batch);

}  // namespace tamsel::texts
