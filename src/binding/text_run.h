// One JSON text through a program: parsed, evaluated, and its results made
// Python objects. Every run method comes here, once per text.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "runtime/call_runtime.h"
#include "texts/program.h"
#include "texts/result_form.h"
#include "texts/waiting.h"
#include "value/json.h"

namespace tamsel::binding {

using texts::ResultForm;

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
// lock released, where the caller allows it.
inline constexpr size_t kReleaseLockFrom = texts::kLetGoFrom;

// Runs `program` over the `size` bytes of text that `parser` holds (written
// to its work buffer or lent) and appends the results to `results`, as
// strong references. On any outcome but kRan, nothing is appended.
//
// `ours`: the run is one of the module's own methods (the bytes methods),
// not input() or first(), which hold the lock throughout and report a
// Python object the interpreter cannot make as PanicException. Ours parse
// and evaluate a text of kReleaseLockFrom bytes or more without the
// interpreter lock (the caller must make sure nothing changes the text
// meanwhile), and leave the interpreter's own exception (MemoryError) for
// an object it cannot make, as Python code expects.
//
// The run's values come from the arena of `call`, which a caller running
// many texts keeps for all of them; each text has its own budget in it.
// `call` must outlive the handling of the exception a run leaves, whose
// message may lie in its arena. Call it with a CollectorPause held, so
// that conversion stays linear.
TextOutcome run_text(const texts::Program& program, JsonParser& parser, size_t size,
                     const ResultForm& form, std::vector<PyObject*>& results,
                     runtime::CallRuntime& call, bool ours = false);

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
