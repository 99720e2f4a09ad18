// The results of one document of a call (input(), first(), the bytes
// methods) made Python objects at once.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "binding/lock_release.h"
#include "runtime/call_runtime.h"
#include "texts/program.h"
#include "texts/result_form.h"
#include "texts/result_sink.h"
#include "texts/waiting.h"
#include "value/json.h"

namespace tamsel::binding {

using texts::ResultForm;

// Texts from this size up are parsed and evaluated with the interpreter
// lock released, where the method allows it.
inline constexpr size_t kReleaseLockFrom = texts::kLetGoFrom;

// The objects of a run's results, as new references: all of them in order,
// or for a run of the first result only (ResultForm::first_only), that one
// (nullptr when there is none), which spares a small call a list.
struct ResultObjects {
  std::vector<PyObject*> all;
  PyObject* first = nullptr;

  ResultObjects() = default;
  ResultObjects(const ResultObjects&) = delete;
  ResultObjects& operator=(const ResultObjects&) = delete;
  ~ResultObjects() {
    Py_XDECREF(first);
    for (PyObject* object : all) Py_XDECREF(object);
  }
};

// Runs the program over the `size` bytes of text that `parser` holds
// (written to its work buffer or lent) and puts the results in `objects`.
// False, with nothing added, with the exception of what became of the text
// set.
//
// `ours`: the call is one of the module's own methods (the bytes methods),
// not input() or first(), which hold the lock throughout, on the calling
// thread alone, and report a Python object the interpreter cannot make as
// PanicException. Ours parse and evaluate a text of kReleaseLockFrom bytes
// or more without the interpreter lock (the caller must make sure nothing
// changes the text meanwhile), may parse a large one on a thread of its
// own, and leave the interpreter's own exception (MemoryError) for an
// object it cannot make, as Python code expects. Ours share the str objects
// of short keys (convert.h); input() and first() create every object anew.
//
// The run's values come from the arena of `call`, which must outlive the
// handling of the exception a run leaves, whose message may lie in it.
// Its conversion pauses the collector once it has made many objects
// (convert.h): a small result never pays for the pause.
bool run_document(const texts::Program& program, JsonParser& parser, size_t size,
                  const ResultForm& form, ResultObjects& objects,
                  runtime::CallRuntime& call, bool ours);

}  // namespace tamsel::binding
