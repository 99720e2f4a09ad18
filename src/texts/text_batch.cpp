#include "texts/text_batch.h"

#include <variant>

#include "engine/render.h"
#include "texts/evaluate.h"

namespace tamsel::texts {
namespace {

// Writes the results `found` as `form` asks; their number is the record's.
void write_results(const engine::ResultList& found, size_t size, const ResultForm& form,
                   TextRecord& record, ResultTape& tape) {
  const size_t count = handed_count(found, form);
  if (form.as_json) tape.text().reserve(tape.size() + expected_text_size(found, count, size, form));
  for (size_t i = 0; i < count; ++i) {
    if (!form.as_json) {
      tape.append(found[i].view());
      continue;
    }
    tape.begin_text();
    if (form.pretty) {
      engine::append_pretty_json_text(tape.text(), found[i].view(), form.indent);
    } else {
      engine::append_json_text(tape.text(), found[i].view());
    }
    tape.end_text();
  }
  record.results = static_cast<uint32_t>(count);
}

// Runs `work` (parse and evaluate one text into `record` and the tape) and
// files the record; false when the run stopped. Whatever a failed text
// wrote is taken off the tape.
template <class Work>
bool file_text(TextRecord& record, size_t size, runtime::CallRuntime& call, TextBatch& batch,
               Work&& work) {
  const size_t tape_kept = batch.tape.size();
  bool stopped = false;
  try {
    work();
  } catch (...) {
    batch.tape.text().resize(tape_kept);
    record.results = 0;
    Stop stop = current_stop();
    if (stop.failure == runtime::Failure::kFault) {
      record.kind = TextRecord::Kind::kFault;
      record.message = std::move(stop.message);
    } else {
      batch.stopped = true;
      batch.stop = std::move(stop);
      stopped = true;
    }
  }
  call.unbound();
  if (stopped) return false;
  batch.bytes += size;
  batch.texts.push_back(std::move(record));
  return true;
}

}  // namespace

bool run_quietly(const RunRules& rules, JsonParser& parser, size_t size,
                 runtime::CallRuntime& call, TextRecord record, TextBatch& batch) {
  batch.parsed += size;
  return file_text(record, size, call, batch, [&] {
    auto parsed = parser.parse_work_buffer(size, rules.program.reading.get(), rules.poll);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      record.kind = TextRecord::Kind::kMalformed;
      record.message = error->message();
      record.note = json_hint(parser.last_text(), *error, rules.origin);
      return;
    }
    const engine::ResultList found = evaluate_text(rules.program, std::get<DocumentRef>(parsed),
                                                   size, rules.form.first_only, call, rules.poll);
    write_results(found, size, rules.form, record, batch.tape);
  });
}

bool run_quietly(const RunRules& rules, DocumentRef document, size_t size,
                 runtime::CallRuntime& call, TextRecord record, TextBatch& batch) {
  batch.parsed += size;
  return file_text(record, size, call, batch, [&] {
    const engine::ResultList found =
        evaluate_text(rules.program, document, size, rules.form.first_only, call, rules.poll);
    write_results(found, size, rules.form, record, batch.tape);
  });
}

}  // namespace tamsel::texts
