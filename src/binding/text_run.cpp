#include "binding/text_run.h"

#include <string_view>
#include <variant>

#if defined(__GLIBC__)
#include <malloc.h>  // malloc_trim
#endif

#include "binding/convert.h"
#include "binding/errors.h"
#include "engine/evaluator.h"
#include "engine/render.h"
#include "runtime/call_runtime.h"
#include "value/document_ref.h"

namespace tamsel::binding {
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

// The poll of a run's bounds: runs the interpreter's signal handlers, and
// stops the run when one raised (KeyboardInterrupt for Ctrl-C).
bool signals_pending() { return PyErr_CheckSignals() < 0; }

// The JSON text of `result`; `expected_size` is room to take at once.
PyObject* json_bytes(const engine::EvalValue& result, const ResultForm& form,
                     size_t expected_size) {
  const std::string text =
      form.pretty ? engine::to_pretty_json_text(result.view(), form.indent, expected_size)
                  : engine::to_json_text(result.view(), expected_size);
  return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Evaluates the program over `document` (of a text of `size` bytes) and
// converts the results, inside `call`; a failure leaves its exception set.
void evaluate_into(ProgramObject& program, DocumentRef document, size_t size,
                   const ResultForm& form, std::vector<PyObject*>& results,
                   runtime::CallRuntime& call) {
  // What the run builds from here on is charged to it; the poll lets a
  // pending Ctrl-C end it.
  call.bound(runtime::CallBounds::budget_for(size), signals_pending);
  engine::ResultList found = [&] {
    const runtime::ArenaInUse in_use = call.evaluating();
    return engine::evaluate(*program.pipeline, engine::EvalValue::document(document),
                            form.first_only);
  }();
  const size_t count = form.first_only && !found.empty() ? 1 : found.size();
  results.reserve(results.size() + count);
  // A lone container result (the whole document, as often as not) takes
  // about as much text as the document, a little more laid out: room for
  // it is taken at once. Room not written to costs no memory.
  const bool lone_container =
      count == 1 && (found[0].kind() == Kind::Array || found[0].kind() == Kind::Object);
  const size_t expected_size = lone_container ? size + (form.pretty ? size / 2 : 0) + 64 : 0;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item =
        form.as_json ? json_bytes(found[i], form, expected_size) : to_python(found[i]);
    if (!item) {
      raise_panic_from_pending();
      return;
    }
    results.push_back(item);
  }
}

// Runs `work` (parse and evaluate) guarded, and tells how it ended; on any
// outcome but kRan, what it appended to `results` is released.
template <class Work>
TextOutcome run_guarded_text(std::vector<PyObject*>& results, runtime::CallRuntime& call,
                             Work&& work) {
  const size_t kept = results.size();
  const bool ran = run_guarded([&] { work(call); });
  release_free_memory_after(call.peak());
  call.unbound();
  if (ran && !PyErr_Occurred()) return TextOutcome::kRan;
  for (size_t i = kept; i < results.size(); ++i) Py_DECREF(results[i]);
  results.resize(kept);
  const bool bad = PyErr_ExceptionMatches(PyExc_ValueError) ||
                   PyErr_ExceptionMatches(panic_exception_type());
  return bad ? TextOutcome::kBadText : TextOutcome::kStopped;
}

}  // namespace

TextOutcome run_text(ProgramObject& program, JsonParser& parser, size_t size,
                     const ResultForm& form, std::vector<PyObject*>& results,
                     runtime::CallRuntime& call) {
  return run_guarded_text(results, call, [&](runtime::CallRuntime& call) {
    auto parsed = parser.parse_work_buffer(size, program.reading);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      raise_value_error(error->message());
      return;
    }
    evaluate_into(program, std::get<DocumentRef>(parsed), size, form, results, call);
  });
}

TextOutcome run_document(ProgramObject& program, DocumentRef document, size_t size,
                         const ResultForm& form, std::vector<PyObject*>& results,
                         runtime::CallRuntime& call) {
  return run_guarded_text(results, call, [&](runtime::CallRuntime& call) {
    evaluate_into(program, document, size, form, results, call);
  });
}

}  // namespace tamsel::binding
