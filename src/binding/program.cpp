// TamselProgram: a compiled query, run over JSON text by input() and first().
#include <cstdlib>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/json_input.h"
#include "binding/notes.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "texts/parser_lease.h"
#include "binding/python_sink.h"
#include "runtime/call_runtime.h"
#include "binding/types.h"
#include "engine/needed_parts.h"
#include "value/json.h"

namespace tamsel::binding {
namespace {

// Writes the text of a run's argument into the parser's work buffer and
// stores its length; false with a Python exception set.
using LoadText = bool (*)(PyObject* arg, JsonParser& parser, size_t* size);

// input() and first() parse a copy of their text, as they always have (the
// projected reader alone reads it where it lies, building nothing on it).
bool load_input_text(PyObject* arg, JsonParser& parser, size_t* size) {
  return load_str_text(arg, parser, size, /*parse_in_place=*/false);
}

// The bytes methods take a `str` too, which cannot change while they run.
bool load_bytes(PyObject* arg, JsonParser& parser, size_t* size) {
  if (PyUnicode_Check(arg)) return load_str_text(arg, parser, size);
  return load_bytes_text(arg, "json_bytes", parser, size);
}

// Loads the text of `arg`, runs the program over it and converts the
// results: all of them into a new TamselVonkIter, or only the first (None
// when there is none) when `first_only`. Returns a new reference, or
// nullptr with an exception set.
PyObject* run(const ProgramState& program, PyObject* arg, LoadText load, const ResultForm& form,
              bool ours) {
  ResultObjects results;
  bool ran = false;
  // Outlives the guard: an exception's message may lie in its arena.
  runtime::CallRuntime call;
  run_guarded([&] {
    texts::ParserLease lease;
    size_t size = 0;
    if (!load(arg, lease.parser(), &size)) return;
    ran = run_document(*program.program, lease.parser(), size, form, results, call, ours);
  });
  if (!ran) return nullptr;
  if (form.first_only) {
    if (!results.first) Py_RETURN_NONE;
    return std::exchange(results.first, nullptr);
  }
  return new_iter(std::exchange(results.all, {}));
}

// One method: its full name for error texts, its parameter, how its argument
// is checked and loaded, whether it stops at the first result, and whether
// it lets go of the interpreter lock for a large text. input() and first()
// take their one argument and nothing else, and hold the lock throughout;
// the bytes methods take the options of the results' form, and copy a text
// that could change before they let go (a bytes object or a str cannot).
struct RunMethod {
  const char* full_name;
  const char* param;
  bool (*check)(const char* param, PyObject* arg);
  LoadText load;
  bool first_only;
  bool takes_options;
  bool ours;  // not input() or first(): see run_document
  // For a method that takes only a str, the one that takes bytes as well.
  const char* bytes_method;
};

constexpr RunMethod kInput{"TamselProgram.input()", "json_text", check_str_argument,
                           load_input_text, false, false, false, "input_bytes"};
constexpr RunMethod kFirst{"TamselProgram.first()", "json_text", check_str_argument,
                           load_input_text, true, false, false, "first_bytes"};
constexpr RunMethod kInputBytes{"TamselProgram.input_bytes()", "json_bytes",
                                check_str_or_bytes_argument, load_bytes, false, true, true,
                                nullptr};
constexpr RunMethod kFirstBytes{"TamselProgram.first_bytes()", "json_bytes",
                                check_str_or_bytes_argument, load_bytes, true, true, true,
                                nullptr};

// Reads as_json and indent into `form`; false with an exception set.
bool read_form_options(std::span<const KeywordOption> options, ResultForm* form) {
  if (PyObject* as_json = options[0].value) {
    const int truth = PyObject_IsTrue(as_json);
    if (truth < 0) return false;
    form->as_json = truth;
  }
  bool skip_bad = false;
  return read_result_options(form->first_only, form->as_json, nullptr,
                             options[1].value ? options[1].value : Py_None, form, &skip_bad);
}

template <const RunMethod& method>
PyObject* program_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  KeywordOption options[] = {{"as_json"}, {"indent"}};
  std::span<KeywordOption> taken;
  if (method.takes_options) taken = options;
  PyObject* arg = find_argument(method.full_name, method.param, args, nargs, kwnames, taken);
  if (!arg) return nullptr;
  if (!method.check(method.param, arg)) {
    if (method.bytes_method && PyObject_CheckBuffer(arg))
      add_note(std::string("use `") + method.bytes_method +
               "()` for UTF-8 bytes: it takes bytes, bytearray, memoryview and str");
    return nullptr;
  }
  ResultForm form;
  form.first_only = method.first_only;
  if (method.takes_options && !read_form_options(options, &form)) return nullptr;
  ProgramState& program = program_state(self);
  SharedBorrow borrow(program.borrow);
  if (!borrow.held()) return nullptr;
  return run(program, arg, method.load, form, method.ours);
}

// Pickling and copying rebuild the program from its query text.
PyObject* program_reduce(PyObject* self, PyObject*) {
  PyRef module(PyImport_ImportModule("tamsel_vonk"));
  if (!module) return nullptr;
  PyRef compile(PyObject_GetAttrString(module.get(), "compile"));
  if (!compile) return nullptr;
  return Py_BuildValue("(O(O))", compile.get(), program_state(self).query.get());
}

PyObject* program_repr(PyObject* self) {
  return PyUnicode_FromFormat("tamsel_vonk.compile(%R)", program_state(self).query.get());
}

void program_dealloc(PyObject* self) {
  program_state(self).~ProgramState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <const RunMethod& method>
PyCFunction run_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_run<method>));
}

// input() and first() have exactly the documentation strings their callers
// know: the signature alone.
PyMethodDef program_methods[] = {
    {"input", run_function<kInput>(), METH_FASTCALL | METH_KEYWORDS,
     "input($self, json_text)\n--\n\n"},
    {"first", run_function<kFirst>(), METH_FASTCALL | METH_KEYWORDS,
     "first($self, json_text)\n--\n\n"},
    {"input_bytes", run_function<kInputBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "input_bytes($self, json_bytes, *, as_json=False, indent=None)\n--\n\n"
     "Runs the query over one JSON document, as input() does, and returns a\n"
     "TamselVonkIter over every result. The text is UTF-8 in any contiguous\n"
     "bytes-like object (bytes, bytearray, memoryview, mmap), or a str.\n"
     "\n"
     "as_json=True gives each result as the bytes of its JSON text, as tojson\n"
     "writes it; indent lays that text out over lines: None (compact), a number\n"
     "of spaces from 0 to 32, or a str of up to 32 characters.\n"
     "\n"
     "A text of 16 KiB or more is parsed and run without the interpreter lock.\n"
     "Bytes that are not UTF-8, or a text that is not one JSON value, raise\n"
     "ValueError; an internal fault raises PanicException."},
    {"first_bytes", run_function<kFirstBytes>(), METH_FASTCALL | METH_KEYWORDS,
     "first_bytes($self, json_bytes, *, as_json=False, indent=None)\n--\n\n"
     "Runs the query over one JSON document, as first() does, and returns its\n"
     "first result, or None when there is none (or when it is null). The text\n"
     "is UTF-8 in any contiguous bytes-like object, or a str.\n"
     "\n"
     "as_json and indent give the result as the bytes of its JSON text; they,\n"
     "the interpreter lock and the errors are as for input_bytes()."},
    {"stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "stream($self, source, *, lines=False, per_text=False, first=False, errors='raise',\n"
     "       as_json=False, indent=None, threads=1, decompress=True, elements=None)\n--\n\n"
     "Runs the query over every JSON text of source, in order, and returns a\n"
     "TamselStream over the results, read and run a batch of about a MiB of text\n"
     "at a time.\n"
     "\n"
     "source: a bytes-like object or a str that holds the texts (a str is never\n"
     "  a file name), a binary file object, or a path (pathlib.Path). Texts are\n"
     "  separated by white space or written back to back.\n"
     "lines: every line that is not blank is one text.\n"
     "per_text: one list of results per text, instead of the results flat.\n"
     "first: at most the first result of each text.\n"
     "errors: 'raise': a bad text raises TamselTextError (a ValueError), or\n"
     "  PanicException for an internal fault, once the results before it are\n"
     "  out; 'skip': its exception goes to the stream's `skipped` list, or with\n"
     "  per_text in the text's place.\n"
     "as_json, indent: results as the bytes of their JSON text, as for\n"
     "  input_bytes().\n"
     "threads: parse and run pieces of about a MiB on this many threads of the\n"
     "  stream's own (1 to 256); the results are those of one thread.\n"
     "decompress: a source that starts as gzip or zstd data does is decompressed\n"
     "  as it is read, on a thread of its own; a broken archive raises ValueError.\n"
     "elements: the source is one JSON array, and each of its elements is a text\n"
     "  (True), or the array sits in objects at a path of keys ('.items', or a\n"
     "  list of keys), whose other members are checked but not run. An array\n"
     "  that is not whole raises ValueError naming the byte, after the results\n"
     "  before it, whatever `errors` says."},
    {"batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_batch)),
     METH_VARARGS | METH_KEYWORDS,
     "batch($self, texts, *, first=False, errors='raise', as_json=False, indent=None,\n"
     "      threads=1)\n--\n\n"
     "Runs the query over each of texts, an iterable of separate JSON documents\n"
     "(each a str or a bytes-like object), and returns a list with one entry per\n"
     "document: the list of its results, or with first=True its first result or\n"
     "None.\n"
     "\n"
     "A bad document raises TamselTextError (a ValueError), or PanicException for\n"
     "an internal fault; with errors='skip', that exception is its entry instead.\n"
     "as_json, indent and threads are those of stream()."},
    {"table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_table)),
     METH_VARARGS | METH_KEYWORDS,
     "table($self, source, *, columns=None, lines=False, errors='raise', threads=1,\n"
     "      schema=None, mismatch='raise', batch_rows=None, decompress=True,\n"
     "      elements=None)\n--\n\n"
     "Runs the query over every text of source and returns a TamselTable: its\n"
     "results as rows of Arrow columns, read by pyarrow, polars, DuckDB and\n"
     "pandas without a Python object per value.\n"
     "\n"
     "Each result of the query is a row. columns maps each column's name to a\n"
     "query run on the row: its first result is the value, or null when it has\n"
     "none, so a missing field never loses a row. With columns=None the rows\n"
     "are objects, and their members are the columns.\n"
     "\n"
     "source: what stream() takes, an iterable of documents (as batch() takes;\n"
     "  None is a row of nulls), or an Arrow string column (anything with\n"
     "  __arrow_c_stream__ or __arrow_c_array__ of strings), a document a value.\n"
     "lines, errors, threads, decompress, elements: as for stream() (elements\n"
     "  only for a source that stream() takes).\n"
     "schema: an Arrow schema (a pyarrow.schema) whose fields give the columns'\n"
     "  types; without one, they are inferred from the first batch.\n"
     "mismatch: 'raise': a value that does not fit its column's type raises\n"
     "  ValueError naming the column and the row; 'null': it becomes null.\n"
     "batch_rows: rows a record batch; None for a batch a piece of input."},
    {"__reduce__", program_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(program_repr)},
    {Py_tp_methods, program_methods},
    {0, nullptr},
};

PyType_Spec program_spec = {
    "tamsel_vonk.TamselProgram",
    sizeof(ProgramObject),
    0,
    Py_TPFLAGS_DEFAULT,
    program_slots,
};

}  // namespace

bool whole_documents_forced() {
  const char* value = std::getenv("TAMSEL_VONK_WHOLE_DOCUMENT");
  return value && *value && std::string_view(value) != "0";
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* program_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&program_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_program(query::Pipeline pipeline, PyObject* query) {
  PyTypeObject* type = program_type();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  ProgramState& program = *new (&program_state(self)) ProgramState();
  // A str subclass may carry state of its own; the program keeps plain text.
  program.query = PyRef(PyUnicode_CheckExact(query) ? (Py_INCREF(query), query)
                                                    : PyUnicode_FromObject(query));
  if (!program.query) {
    Py_DECREF(self);
    return nullptr;
  }
  bool ok = run_guarded([&] {
    auto compiled = std::make_shared<texts::Program>();
    compiled->set_pipeline(std::move(pipeline));
    Projection needed = engine::needed_parts(compiled->pipeline);
    if (!needed.is_whole() && !whole_documents_forced())
      compiled->reading = std::make_unique<ReadingPlan>(std::move(needed));
    program.program = std::move(compiled);
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

}  // namespace tamsel::binding
