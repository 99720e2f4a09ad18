#include "texts/text_run.h"

#include <optional>
#include <utility>
#include <variant>

#if defined(__GLIBC__)
#include <malloc.h>  // malloc_trim
#endif

#include "engine/evaluator.h"
#include "engine/render.h"
#include "texts/stop.h"

namespace tamsel::texts {
namespace {

// A run that built a lot leaves the allocator holding the freed memory;
// past this much it is handed back to the system when the run ends.
constexpr int64_t kTrimAfter = int64_t{256} << 20;

void release_free_memory_after(int64_t peak) {
#if defined(__GLIBC__)
  if (peak > kTrimAfter) malloc_trim(0);
#else
  (void)peak;
#endif
}

// What the last stage made of one of its inputs.
enum class Made { kNothing, kTaken, kRefused };

// The results of a program whose last stage the sink makes (a record, or
// to_entries): the stages before it evaluated, then `make(View)` for each
// of their outputs, which hands the sink what the last stage makes of it.
template <class Make>
bool last_stage_into(const RunRules& rules, DocumentRef document, runtime::CallRuntime& call,
                     ResultSink& sink, Make&& make) {
  const query::Pipeline& pipeline = rules.program.pipeline;
  if (pipeline.size() == 1) {
    sink.expect(1, 0);  // at most
    return make(View(document)) != Made::kRefused && sink.finish();
  }
  engine::ResultList inputs;
  {
    const runtime::ArenaInUse in_use = call.evaluating();
    inputs = engine::evaluate(pipeline, pipeline.size() - 1, engine::EvalValue::document(document),
                              false);
  }
  sink.expect(inputs.size(), 0);  // at most
  for (const engine::EvalValue& input : inputs) {
    const Made made = make(input.view());
    if (made == Made::kRefused) return false;
    if (made == Made::kTaken && rules.form.first_only) break;
  }
  return sink.finish();
}

// A record of each input whose member paths all lead somewhere.
bool records_into(const RunRules& rules, DocumentRef document, runtime::CallRuntime& call,
                  ResultSink& sink) {
  const engine::PathRecord& record = *rules.program.record;
  engine::PathRecord::Values values;
  return last_stage_into(rules, document, call, sink, [&](const View& input) {
    if (!record.follow(input, values)) return Made::kNothing;
    return sink.take_record(record, values.data()) ? Made::kTaken : Made::kRefused;
  });
}

// The entries of each input that is an object.
bool entries_into(const RunRules& rules, DocumentRef document, runtime::CallRuntime& call,
                  ResultSink& sink) {
  return last_stage_into(rules, document, call, sink, [&](const View& input) {
    if (input.kind() != Kind::Object) return Made::kNothing;
    return sink.take_entries(input) ? Made::kTaken : Made::kRefused;
  });
}

// Hands the `count` results, the view of each given by `result(i)`, on to
// the sink as the form says: false when the sink refused one.
template <class Result>
bool hand_on(const ResultForm& form, size_t count, Result&& result, size_t size,
             ResultSink& sink) {
  // A lone container result (the whole document, as often as not) takes
  // about as much text as the document, a little more laid out. Room not
  // written to costs no memory.
  const bool lone_container =
      count == 1 && (result(0).kind() == Kind::Array || result(0).kind() == Kind::Object);
  sink.expect(count, form.as_json && lone_container ? size + (form.pretty ? size / 2 : 0) + 64 : 0);
  for (size_t i = 0; i < count; ++i) {
    if (!form.as_json) {
      if (!sink.take(result(i))) return false;
      continue;
    }
    std::string& text = sink.text();
    if (form.pretty) {
      engine::append_pretty_json_text(text, result(i), form.indent);
    } else {
      engine::append_json_text(text, result(i));
    }
    if (!sink.end_text()) return false;
  }
  return sink.finish();
}

// Evaluates the program over `document`, with the arena of `call` serving
// and a budget for the text's size, and hands the results on as the form
// says: false when the sink refused one.
bool evaluate_into(const RunRules& rules, DocumentRef document, size_t size,
                   runtime::CallRuntime& call, ResultSink& sink) {
  // What the run builds from here on is charged to it; the poll may stop it.
  call.bound(runtime::CallBounds::budget_for(size), rules.poll);
  const Program& program = rules.program;
  const ResultForm& form = rules.form;
  if (program.path) {
    const std::optional<View> part = program.path->follow(View(document));
    return hand_on(form, part ? 1 : 0, [&](size_t) -> const View& { return *part; }, size, sink);
  }
  if (!form.as_json && sink.takes_records()) {
    if (program.record) return records_into(rules, document, call, sink);
    if (program.entries) return entries_into(rules, document, call, sink);
  }
  engine::ResultList found;
  {
    const runtime::ArenaInUse in_use = call.evaluating();
    found = engine::evaluate(program.pipeline, engine::EvalValue::document(document),
                             form.first_only);
  }
  const size_t count = form.first_only && !found.empty() ? 1 : found.size();
  return hand_on(form, count, [&](size_t i) { return found[i].view(); }, size, sink);
}

// What became of a run that threw: a fault, or a stop.
TextOutcome threw() {
  Stop stop = current_stop();
  TextOutcome outcome;
  if (stop.failure == runtime::Failure::kFault) {
    outcome.kind = TextOutcome::Kind::kFault;
    outcome.message = std::move(stop.message);
  } else {
    outcome.kind = TextOutcome::Kind::kStopped;
    outcome.stopped_by = stop.failure;
  }
  return outcome;
}

// The outcome of `work`, made where the caller keeps it (an outcome made
// and then moved costs a small call a few percent).
template <class Work>
TextOutcome outcome_of(Work& work) {
  try {
    return work();
  } catch (...) {
    return threw();
  }
}

// Runs `work` (which parses and evaluates, or returns a JSON error's
// outcome), and tells what became of the text.
template <class Work>
TextOutcome run_guarded(runtime::CallRuntime& call, ResultSink& sink, Work&& work) {
  TextOutcome outcome = outcome_of(work);
  if (!outcome.ran()) sink.drop();
  release_free_memory_after(call.peak());
  call.unbound();
  return outcome;
}

TextOutcome refused() {
  TextOutcome outcome;
  outcome.kind = TextOutcome::Kind::kRefused;
  return outcome;
}

bool is_identity(const query::Pipeline& pipeline) {
  return pipeline.size() == 1 && std::holds_alternative<query::Identity>(pipeline[0].node);
}

// The identity program's result made by the sink from the text's
// structural index, when the sink can and the text is one the walk takes;
// nullopt leaves the text to the parse. Not for a text parsed apart, whose
// first stage alone could outlast the poll.
std::optional<TextOutcome> run_walked(const RunRules& rules, JsonParser& parser, size_t size,
                                      runtime::CallRuntime& call, ResultSink& sink) {
  if (rules.form.as_json || !sink.takes_texts() || !is_identity(rules.program.pipeline) ||
      (rules.parse_apart && size >= JsonParser::kParsedApartFrom))
    return std::nullopt;
  const std::optional<StructuralIndex> index = parser.index_work_buffer(size);
  if (!index) return std::nullopt;
  call.bound(runtime::CallBounds::budget_for(size), rules.poll);
  sink.expect(1, 0);
  switch (sink.take_text(*index)) {
    case Walk::kTaken: return sink.finish() ? TextOutcome() : refused();
    case Walk::kFailed: return refused();
    case Walk::kNotTaken: break;
  }
  call.unbound();
  return std::nullopt;
}

}  // namespace

TextOutcome run_text(const RunRules& rules, JsonParser& parser, size_t size,
                     runtime::CallRuntime& call, ResultSink& sink) {
  return run_guarded(call, sink, [&] {
    if (auto walked = run_walked(rules, parser, size, call, sink)) return std::move(*walked);
    auto parsed = parser.parse_work_buffer(size, rules.program.reading.get(),
                                           rules.parse_apart ? rules.poll : nullptr);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      TextOutcome outcome;
      outcome.kind = TextOutcome::Kind::kMalformed;
      outcome.message = error->message();
      outcome.note = json_hint(parser.last_text(), *error, rules.origin);
      outcome.binary = looks_binary(parser.last_text());
      return outcome;
    }
    if (!evaluate_into(rules, std::get<DocumentRef>(parsed), size, call, sink)) return refused();
    return TextOutcome();
  });
}

TextOutcome too_long(uint64_t size) {
  TextOutcome outcome;
  outcome.kind = TextOutcome::Kind::kMalformed;
  outcome.message = JsonParser::size_error(size)->message();
  return outcome;
}

TextOutcome run_text(const RunRules& rules, DocumentRef document, size_t size,
                     runtime::CallRuntime& call, ResultSink& sink) {
  return run_guarded(call, sink, [&] {
    if (!evaluate_into(rules, document, size, call, sink)) return refused();
    return TextOutcome();
  });
}

}  // namespace tamsel::texts
