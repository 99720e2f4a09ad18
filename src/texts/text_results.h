// What a run of many texts made, with no Python object touched: one record a
// text, and the results of those that ran on one tape, kept until the
// caller's thread makes Python objects of them (binding/result_objects.h).
// The stream and batch methods run their texts into these, on the caller's
// thread or on threads of the module's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/call_runtime.h"
#include "texts/result_store.h"
#include "texts/stop.h"
#include "texts/text_outcome.h"
#include "texts/text_run.h"
#include "value/result_tape.h"

namespace tamsel::texts {

// One text: where it lies, what became of it, how many results it put on
// the tape (in order).
struct TextRecord {
  TextRecord() = default;
  TextRecord(uint64_t index, uint64_t offset) : index(index), offset(offset) {}

  uint64_t index = 0;   // its number among the texts of the source
  uint64_t offset = 0;  // where it starts, as the runner counts
  uint64_t line = 0;    // in a stream, the line it starts on, for a bad text
  uint32_t results = 0;
  TextOutcome outcome;
};

struct TextResults {
  std::vector<TextRecord> texts;
  ResultTape tape;
  // Where the results go instead of the tape, for a program that carries
  // a maker of stores: made when the first text is filed.
  std::unique_ptr<ResultStore> store;
  // Bytes of the texts run, and bytes given to a parse (a line guessed to
  // be a text and refuted is parsed again, with the text found instead).
  uint64_t bytes = 0;
  uint64_t parsed = 0;
  // Something other than a text stopped the run: the poll (whose reason
  // is recorded where the poll keeps it) or the system's memory.
  bool stopped = false;
  Stop stop;

  // Runs a text (as run_text() does, held by `parser` or parsed already as
  // `document`) and files its record, `place` filled in; false when the run
  // stopped, with nothing filed.
  bool add(const RunRules& rules, JsonParser& parser, size_t size, runtime::CallRuntime& call,
           TextRecord place);
  bool add(const RunRules& rules, DocumentRef document, size_t size, runtime::CallRuntime& call,
           TextRecord place);
  // Files a text that was not run, as `outcome` says.
  void add_unrun(TextRecord place, TextOutcome outcome, size_t size);

  void clear() {
    texts.clear();
    tape.clear();
    if (store) store->clear();
    bytes = 0;
    parsed = 0;
    stopped = false;
  }
};

}  // namespace tamsel::texts
