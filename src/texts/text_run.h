// One JSON text through a program: parsed, evaluated, and its results handed
// to a sink. Every way of running texts comes here, once per text.
#pragma once

#include <cstddef>

#include "runtime/bounds.h"
#include "runtime/call_runtime.h"
#include "texts/program.h"
#include "texts/result_form.h"
#include "texts/result_sink.h"
#include "texts/text_outcome.h"
#include "value/document_ref.h"
#include "value/json.h"
#include "value/json_hint.h"

namespace tamsel::texts {

// How each text of a run is run: the program, the form of its results, the
// poll of its bounds, where its texts come from (for the hint beside a JSON
// error), and whether a large text may be parsed on a thread of its own,
// which the poll may then stop waiting for (json.h): not for input() and
// first(), which run on the calling thread alone.
struct RunRules {
  const Program& program;
  const ResultForm& form;
  runtime::CallBounds::Poll poll;
  TextOrigin origin = TextOrigin::kDocument;
  bool parse_apart = true;
};

// Runs the program over the `size` bytes of text that `parser` holds (in
// its work buffer, or lent), inside `call`, and hands the results to `sink`.
// The run's values come from the arena of `call`, which a caller running
// many texts keeps for all of them; each text has its own budget in it.
TextOutcome run_text(const RunRules& rules, JsonParser& parser, size_t size,
                     runtime::CallRuntime& call, ResultSink& sink);
// The same over a document parsed already, from a text of `size` bytes.
TextOutcome run_text(const RunRules& rules, DocumentRef document, size_t size,
                     runtime::CallRuntime& call, ResultSink& sink);

// The outcome of a text too long to parse at all (4 GiB or more).
TextOutcome too_long(uint64_t size);

}  // namespace tamsel::texts
