#include "texts/evaluate.h"

namespace tamsel::texts {

engine::ResultList evaluate_text(const Program& program, DocumentRef document, size_t size,
                                 bool first_only, runtime::CallRuntime& call,
                                 runtime::CallBounds::Poll poll) {
  // What the run builds from here on is charged to it; the poll may stop it.
  call.bound(runtime::CallBounds::budget_for(size), poll);
  const runtime::ArenaInUse in_use = call.evaluating();
  return engine::evaluate(program.pipeline, engine::EvalValue::document(document), first_only);
}

size_t handed_count(const engine::ResultList& found, const ResultForm& form) {
  return form.first_only && !found.empty() ? 1 : found.size();
}

size_t expected_text_size(const engine::ResultList& found, size_t count, size_t size,
                          const ResultForm& form) {
  // A lone container result (the whole document, as often as not) takes
  // about as much text as the document, a little more laid out. Room not
  // written to costs no memory.
  const bool lone_container =
      count == 1 && (found[0].kind() == Kind::Array || found[0].kind() == Kind::Object);
  return lone_container ? size + (form.pretty ? size / 2 : 0) + 64 : 0;
}

}  // namespace tamsel::texts
