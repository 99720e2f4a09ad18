// The steps every run of a text shares, whether its results become Python
// objects at once or are kept as values first (text_batch.h).
#pragma once

#include <cstddef>

#include "engine/evaluator.h"
#include "runtime/call_runtime.h"
#include "texts/program.h"
#include "texts/result_form.h"
#include "value/document_ref.h"

namespace tamsel::texts {

// Evaluates `program` over `document`, from a text of `size` bytes, with
// the arena of `call` serving and a budget for that size, polling `poll`.
engine::ResultList evaluate_text(const Program& program, DocumentRef document, size_t size,
                                 bool first_only, runtime::CallRuntime& call,
                                 runtime::CallBounds::Poll poll);
// How many of the results found are handed on.
size_t handed_count(const engine::ResultList& found, const ResultForm& form);
// The room to take at once for their JSON text.
size_t expected_text_size(const engine::ResultList& found, size_t count, size_t size,
                          const ResultForm& form);

}  // namespace tamsel::texts
