// The Python objects of what a run of texts made (text_batch.h), made on
// the caller's thread with the interpreter lock held.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/text_run.h"
#include "texts/text_batch.h"

namespace tamsel::binding {

using texts::TextBatch;
using texts::TextRecord;

// Hands the texts of `batch` to `take`, in order: each text's record with
// its results as new references (`results`, which `take` empties as it
// takes them over), or for a text that did not run, its exception placed as
// `place(record)` says (`error`, a new reference). `take` returns false to
// stop, with an exception set. Returns false with an exception set when it
// stopped or could not make an object; the results a text was given and
// did not take are released. Call it inside run_guarded, with bounds open
// for the conversion's budget and poll.
template <class Place, class Take>
bool hand_out(const TextBatch& batch, Place&& place, Take&& take) {
  ResultTape::Reader reader(batch.tape);
  OwnedObjects results;
  for (const TextRecord& record : batch.texts) {
    if (record.kind != TextRecord::Kind::kRan) {
      PyObject* error = new_text_error(record.kind == TextRecord::Kind::kFault, record.message,
                                       place(record), record.note);
      if (!error || !take(record, results.objects, error)) return false;
      continue;
    }
    results.objects.reserve(record.results);
    for (uint32_t i = 0; i < record.results; ++i) {
      // An object the interpreter cannot make leaves its own exception.
      PyObject* item = to_python(reader);
      if (!item) return false;
      results.objects.push_back(item);
    }
    if (!take(record, results.objects, nullptr)) return false;
    results.clear();
  }
  return true;
}

}  // namespace tamsel::binding
