// The Python objects of what a run of many texts made (texts/
// text_results.h), made on the caller's thread with the interpreter lock
// held.
#pragma once

#include <Python.h>

#include <vector>

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "texts/text_results.h"

namespace tamsel::binding {

// Makes the objects of the texts of `results` and hands them to `take`, in
// order: each text's record with its results as new references (`objects`,
// which `take` empties as it takes them over), or for a bad text, its
// exception placed as `place(record)` says (`error`, a new reference).
// `take` returns false to stop, with an exception set. Returns false with
// an exception set when it stopped or could not make an object (whose
// exception is the interpreter's own); the objects a text was given and
// did not take are released. Short keys are shared (convert.h). Call it
// inside run_guarded, with bounds open for the conversion's budget and poll.
template <class Place, class Take>
bool make_objects(const texts::TextResults& results, Place&& place, Take&& take) {
  ResultTape::Reader reader(results.tape);
  Converter converter(Converter::Keys::kShared);
  OwnedObjects objects;
  for (const texts::TextRecord& record : results.texts) {
    if (!record.outcome.ran()) {
      PyObject* error = new_text_error(record.outcome, place(record));
      if (!error || !take(record, objects.objects, error)) return false;
      continue;
    }
    objects.objects.reserve(record.results);
    for (uint32_t i = 0; i < record.results; ++i) {
      PyObject* item = converter.object_of(reader);
      if (!item) return false;
      objects.objects.push_back(item);
    }
    if (!take(record, objects.objects, nullptr)) return false;
    objects.clear();
  }
  return true;
}

}  // namespace tamsel::binding
