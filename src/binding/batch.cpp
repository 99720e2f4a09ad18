// TamselProgram.batch(): one list of results for each of many separate
// documents, in one call.
#include <Python.h>

#include <vector>

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/json_input.h"
#include "binding/parser_lease.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/text_run.h"
#include "runtime/call_runtime.h"
#include "binding/types.h"

namespace tamsel::binding {
namespace {

// Loads document `index` of the batch into the parser, as input() or
// input_bytes() would load it; false with an exception set.
bool load_document(PyObject* item, Py_ssize_t index, JsonParser& parser, size_t* size) {
  if (PyUnicode_Check(item)) return load_str_text(item, parser, size);
  if (PyObject_CheckBuffer(item)) return load_bytes_text(item, "texts", parser, size);
  PyErr_Format(PyExc_TypeError,
               "argument 'texts': item %zd is '%s', not a str or a bytes-like object", index,
               Py_TYPE(item)->tp_name);
  return false;
}

// The entry of one document: its results as a list, or with `first_only`
// its first result or None. Takes over `results`.
PyObject* entry_of(std::vector<PyObject*>& results, bool first_only) {
  if (first_only) {
    if (results.empty()) Py_RETURN_NONE;
    PyObject* first = results.front();
    results.clear();
    return first;
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(results.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), results[i]);
  results.clear();
  return list;
}

}  // namespace

PyObject* program_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"texts", "first", "errors", "as_json", "indent", nullptr};
  PyObject* texts = nullptr;
  int first = 0, as_json = 0;
  PyObject* errors = nullptr;
  PyObject* indent = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pOpO:batch", const_cast<char**>(keywords),
                                   &texts, &first, &errors, &as_json, &indent))
    return nullptr;
  ResultForm form;
  bool skip_bad = false;
  if (!read_result_options(first, as_json, errors, indent, &form, &skip_bad)) return nullptr;
  if (PyUnicode_Check(texts) || PyBytes_Check(texts)) {
    // Iterating one document would run its characters or bytes.
    PyErr_Format(PyExc_TypeError,
                 "argument 'texts': an iterable of documents is required, not one '%s'",
                 Py_TYPE(texts)->tp_name);
    return nullptr;
  }
  PyRef documents(PySequence_Fast(texts, "argument 'texts': an iterable of documents is required"));
  if (!documents) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(documents.get());
  PyRef entries(PyList_New(count));
  if (!entries) return nullptr;

  ProgramObject& program = *as_program(self);
  SharedBorrow borrow(*program.borrow);
  if (!borrow.held()) return nullptr;
  bool ok = false;
  // Outlives the guard: an exception's message may lie in its arena.
  runtime::CallRuntime call;
  run_guarded([&] {
    ParserLease lease;
    const CollectorPause collector_paused;
    OwnedObjects results;
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(documents.get(), i);
      size_t size = 0;
      if (!load_document(item, i, lease.parser(), &size)) return;
      const TextOutcome outcome =
          run_text(program, lease.parser(), size, form, results.objects, call);
      PyObject* entry = nullptr;
      if (outcome == TextOutcome::kRan) {
        entry = entry_of(results.objects, form.first_only);
      } else if (outcome == TextOutcome::kBadText) {
        entry = take_text_error(TextPlace{static_cast<uint64_t>(i)});
        if (entry && !skip_bad) {
          PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(entry)), entry);
          Py_DECREF(entry);
          return;
        }
      }
      if (!entry) return;
      PyList_SET_ITEM(entries.get(), i, entry);
      if (PyErr_CheckSignals() < 0) return;
    }
    ok = true;
  });
  return ok ? entries.release() : nullptr;
}

}  // namespace tamsel::binding
