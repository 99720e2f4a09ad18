// One JSON text through a program: parsed, evaluated, and its results made
// Python objects. Every run method comes here, once per text.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "binding/program.h"
#include "engine/evaluator.h"
#include "runtime/call_runtime.h"
#include "value/document_ref.h"
#include "value/json.h"

namespace tamsel::binding {

// What a run hands back for each result.
struct ResultForm {
  // Stop at the first result, as first() does.
  bool first_only = false;
  // The bytes of the result's JSON text, as tojson writes it, rather than a
  // Python object; laid out over lines, a level indented by `indent`, when
  // `pretty`.
  bool as_json = false;
  bool pretty = false;
  std::string indent;
};

enum class TextOutcome {
  kRan,
  // The text is not one JSON value (ValueError set), or its run ended in
  // an internal fault (PanicException set).
  kBadText,
  // Anything else stopped it, with its exception set: KeyboardInterrupt
  // from the poll, MemoryError.
  kStopped,
};

// Texts from this size up are parsed and evaluated with the interpreter
// lock released, where the caller allows it. Two threads calling on texts
// of 28 KiB ran 1.9 times as fast as one, of 12 KiB 1.2 times, of 3 KiB no
// faster; while another thread runs Python code, each hand-over may also
// wait for the lock to come back.
inline constexpr size_t kReleaseLockFrom = size_t{16} << 10;

// Runs `program` over the `size` bytes of text that `parser` holds (written
// to its work buffer or lent) and appends the results to `results`, as
// strong references. On any outcome but kRan, nothing is appended. With
// `may_release_lock`, a text of kReleaseLockFrom bytes or more is parsed and
// evaluated without the interpreter lock: the caller must then make sure
// nothing changes the text meanwhile.
//
// The run's values come from the arena of `call`, which a caller running
// many texts keeps for all of them; each text has its own budget in it.
// `call` must outlive the handling of the exception a run leaves, whose
// message may lie in its arena. Call it with a CollectorPause held, so
// that conversion stays linear.
TextOutcome run_text(ProgramObject& program, JsonParser& parser, size_t size,
                     const ResultForm& form, std::vector<PyObject*>& results,
                     runtime::CallRuntime& call, bool may_release_lock = false);

// The steps every run of a text shares, whether it makes Python objects at
// once (run_text) or keeps its results as values first (text_batch.h):
//
// evaluates the program over `document`, from a text of `size` bytes, with
// the arena of `call` serving and a budget for that size, polling `poll`;
engine::ResultList evaluate_text(const ProgramObject& program, DocumentRef document, size_t size,
                                 bool first_only, runtime::CallRuntime& call,
                                 runtime::CallBounds::Poll poll);
// how many of the results found are handed on;
size_t handed_count(const engine::ResultList& found, const ResultForm& form);
// and the room to take at once for their JSON text.
size_t expected_text_size(const engine::ResultList& found, size_t count, size_t size,
                          const ResultForm& form);

// Keeps the interpreter's cyclic garbage collector from running while runs
// convert their results: each collection it would start there walks every
// container made so far, which turns converting millions of lists and
// dicts quadratic. None of them can be garbage yet. (Python 3.9 has no C
// switch for it; there the collector runs as it would.)
class CollectorPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
#endif
};

// Python objects owned until handed on; released on every other path.
struct OwnedObjects {
  std::vector<PyObject*> objects;
  OwnedObjects() = default;
  OwnedObjects(const OwnedObjects&) = delete;
  OwnedObjects& operator=(const OwnedObjects&) = delete;
  ~OwnedObjects() { clear(); }
  void clear() {
    for (PyObject* object : objects) Py_XDECREF(object);
    objects.clear();
  }
};

}  // namespace tamsel::binding
