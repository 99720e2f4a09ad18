#include "binding/text_run.h"

#include <string_view>
#include <variant>

#if defined(__GLIBC__)
#include <malloc.h>  // malloc_trim
#endif

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/lock_release.h"
#include "engine/evaluator.h"
#include "engine/render.h"
#include "runtime/call_runtime.h"
#include "texts/evaluate.h"
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

// Makes the results' Python objects, with the lock held; false with an
// exception set.
bool convert_results(const engine::ResultList& found, size_t count,
                     std::vector<PyObject*>& results) {
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = to_python(found[i]);
    if (!item) return false;
    results.push_back(item);
  }
  return true;
}

// Renders the results' JSON texts, with the lock as `lock` has it, then
// makes their bytes objects with it held; false with an exception set.
bool render_results(const engine::ResultList& found, size_t count, const ResultForm& form,
                    size_t expected_size, std::vector<PyObject*>& results, LockRelease& lock) {
  std::string texts;
  texts.reserve(expected_size);
  std::vector<size_t> ends;
  ends.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (form.pretty) {
      engine::append_pretty_json_text(texts, found[i].view(), form.indent);
    } else {
      engine::append_json_text(texts, found[i].view());
    }
    ends.push_back(texts.size());
  }
  lock.take_back();
  size_t start = 0;
  for (const size_t end : ends) {
    PyObject* item =
        PyBytes_FromStringAndSize(texts.data() + start, static_cast<Py_ssize_t>(end - start));
    if (!item) return false;
    results.push_back(item);
    start = end;
  }
  return true;
}

// Evaluates the program over `document` (of a text of `size` bytes) and
// converts the results, inside `call`; a failure leaves its exception set.
// Evaluation (and rendering) run with the lock as `lock` has it; the
// conversion takes it back.
void evaluate_into(const texts::Program& program, DocumentRef document, size_t size,
                   const ResultForm& form, std::vector<PyObject*>& results,
                   runtime::CallRuntime& call, LockRelease& lock, bool ours) {
  const engine::ResultList found =
      texts::evaluate_text(program, document, size, form.first_only, call, signals_pending);
  const size_t count = texts::handed_count(found, form);
  results.reserve(results.size() + count);
  const size_t expected_size = texts::expected_text_size(found, count, size, form);
  const bool made = form.as_json
                        ? render_results(found, count, form, expected_size, results, lock)
                        : (lock.take_back(), convert_results(found, count, results));
  if (!made && !ours) raise_panic_from_pending();
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

TextOutcome run_text(const texts::Program& program, JsonParser& parser, size_t size,
                     const ResultForm& form, std::vector<PyObject*>& results,
                     runtime::CallRuntime& call, bool ours) {
  return run_guarded_text(results, call, [&](runtime::CallRuntime& call) {
    // Declared inside the guard: a failure takes the lock back as it
    // unwinds, before the guard raises.
    LockRelease lock;
    if (ours && size >= kReleaseLockFrom) lock.release();
    // Ours may stop a large text's parse at Ctrl-C; input() and first()
    // parse on this thread alone.
    auto parsed = parser.parse_work_buffer(size, program.reading.get(),
                                           ours ? signals_pending : nullptr);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      lock.take_back();
      raise_json_error(*error, parser.last_text());
      return;
    }
    evaluate_into(program, std::get<DocumentRef>(parsed), size, form, results, call, lock, ours);
  });
}

}  // namespace tamsel::binding
