// TamselProgram.table() and the TamselTable it returns: the program's
// results as rows of Arrow columns, handed to pyarrow, polars, DuckDB and
// pandas through the Arrow PyCapsule interface. The rows and their columns
// are run and built in src/table; here are the arguments, the sources as
// Python gave them, the capsules, and the exceptions.
#include <Python.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "binding/arguments.h"
#include "binding/borrow.h"
#include "binding/errors.h"
#include "binding/interpreter_waiting.h"
#include "binding/lock_release.h"
#include "binding/notes.h"
#include "binding/pending_error.h"
#include "binding/program.h"
#include "binding/py_ref.h"
#include "binding/stream_input.h"
#include "binding/types.h"
#include "engine/needed_parts.h"
#include "parser/parser.h"
#include "parser/query_hint.h"
#include "table/arrow_input.h"
#include "table/batch_maker.h"
#include "table/document_stream.h"
#include "table/row_store.h"
#include "texts/text_stream.h"

namespace tamsel::binding {
namespace {

using table::BatchMaker;

// The documents of a list, a tuple or any other iterable, taken one at a
// time as the table runs: a str or a bytes-like object each, None for a row
// of nulls.
class IterableFeed final : public table::DocumentFeed {
 public:
  explicit IterableFeed(PyRef iterator) : iterator_(std::move(iterator)) {}

  Fed next(table::DocumentGroup& group, size_t bytes) override {
    if (failed_) return Fed::kFailed;
    if (!iterator_) return Fed::kEnd;
    while (group.bytes.size() < bytes) {
      PyRef item(PyIter_Next(iterator_.get()));
      if (!item) {
        if (PyErr_Occurred()) return fail(group);
        iterator_ = PyRef();
        break;
      }
      if (!stage(item.get(), group.first + group.texts.size(), group)) return fail(group);
    }
    return group.texts.empty() ? Fed::kEnd : Fed::kGroup;
  }

  // After kFailed: raises why.
  void raise() { error_.raise(); }
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(iterator_.get());
    return error_.traverse(visit, arg);
  }

 private:
  // The texts staged before the failure run first; the failure comes after.
  Fed fail(table::DocumentGroup& group) {
    error_.fetch();
    iterator_ = PyRef();
    failed_ = true;
    return group.texts.empty() ? Fed::kFailed : Fed::kGroup;
  }

  static bool stage(PyObject* item, uint64_t index, table::DocumentGroup& group) {
    if (item == Py_None) {
      group.add("null");
      return true;
    }
    if (PyUnicode_Check(item)) {
      // Encoded apart, so the str keeps no UTF-8 copy of its own.
      PyRef encoded(PyUnicode_AsUTF8String(item));
      if (!encoded) return false;
      group.add(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                 static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))));
      return true;
    }
    if (PyObject_CheckBuffer(item)) {
      Py_buffer view;
      if (PyObject_GetBuffer(item, &view, PyBUF_C_CONTIGUOUS) < 0) return false;
      group.add(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
      PyBuffer_Release(&view);
      return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "argument 'source': item %llu is '%s', not a str, a bytes-like object or None",
                 static_cast<unsigned long long>(index), Py_TYPE(item)->tp_name);
    return false;
  }

  PyRef iterator_;
  PendingError error_;
  bool failed_ = false;
};

// Everything a running table holds; gone once it has ended.
struct TableRun {
  ~TableRun() {
    // The threads stop before what they read goes; in a process made by
    // fork() they are not there to stop.
    if (engine && !engine->usable()) (void)engine.release();
    engine.reset();
    arrow_feed.reset();
    list_feed.reset();
    if (input) input->close();
  }

  std::unique_ptr<StreamInput> input;
  std::unique_ptr<IterableFeed> list_feed;
  std::unique_ptr<table::ArrowTextFeed> arrow_feed;
  std::unique_ptr<texts::TextStream> engine;
  std::optional<BatchMaker> maker;
  bool skip_bad = false;
  bool stream_source = false;
  // Raised once the batches made before it are handed out.
  PendingError error;
  bool source_done = false;
};

struct TableState {
  std::unique_ptr<TableRun> run;  // none once the table has ended
  PyRef skipped;                  // a list, once asked for or added to
  // Whether a batch has been handed out: a table is read once.
  bool consumed = false;
  BorrowFlag borrow;
};

struct TableObject {
  PyObject_HEAD
  TableState state;
};

TableState& table_state(PyObject* self) { return reinterpret_cast<TableObject*>(self)->state; }

// Adds `error` (taken over) to the table's skipped list; false with an
// exception set.
bool add_skipped(TableState& table, PyObject* error) {
  PyRef owned(error);
  if (!table.skipped) table.skipped = PyRef(PyList_New(0));
  return table.skipped && PyList_Append(table.skipped.get(), error) == 0;
}

// Takes what the engine's next texts made: the cells to the batch maker,
// bad texts to `skipped` or kept to raise.
bool take_results(TableState& table, const texts::TextResults& results) {
  TableRun& run = *table.run;
  for (const texts::TextRecord& record : results.texts) {
    if (record.outcome.ran()) continue;
    const TextPlace place = run.stream_source
                                ? TextPlace{record.index, true, record.offset, record.line}
                                : TextPlace{record.index};
    PyObject* error = new_text_error(record.outcome, place);
    if (!error) return false;
    if (run.skip_bad) {
      if (!add_skipped(table, error)) return false;
      continue;
    }
    run.error.keep(error);
    run.source_done = true;
    break;
  }
  if (auto* store = static_cast<table::RowStore*>(results.store.get())) {
    const bool taken = run_guarded([&] { run.maker->add(store->take_cells()); });
    if (!taken) return false;
  }
  return true;
}

// Runs the engine's next texts; false with an exception set when something
// other than a bad text stopped it.
bool run_next(TableState& table) {
  TableRun& run = *table.run;
  if (!run.engine->usable()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this table runs on threads of the process that made it: "
                    "a process made by fork() must make a table of its own");
    return false;
  }
  const texts::TextResults* results = nullptr;
  texts::Stop stop;
  texts::TextStream::Step step = texts::TextStream::Step::kEnd;
  const bool guarded = run_guarded([&] {
    InterpreterWaiting waiting;
    step = run.engine->next(waiting, &results, &stop);
  });
  if (!guarded) return false;
  switch (step) {
    case texts::TextStream::Step::kTexts:
      return take_results(table, *results) && PyErr_CheckSignals() >= 0;
    case texts::TextStream::Step::kEnd:
      run.source_done = true;
      return true;
    case texts::TextStream::Step::kReadFailed:
      if (const std::string_view broken = run.engine->broken(); !broken.empty()) {
        PyErr_SetString(PyExc_ValueError, std::string(broken).c_str());
      } else if (run.input) {
        run.input->raise_read_error();
      } else if (run.list_feed) {
        run.list_feed->raise();
      } else {
        PyErr_SetString(PyExc_OSError, run.arrow_feed->error().c_str());
      }
      run.error.fetch();
      run.source_done = true;
      return true;
    case texts::TextStream::Step::kNotText:
      // Raised whatever the policy for bad texts: the source holds none to skip.
      run.skip_bad = false;
      return take_results(table, *results);
    case texts::TextStream::Step::kStopped:
      raise_failure(stop.failure, stop.message);
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return false;
  }
  return true;
}

// Runs until a batch is ready or the source is done; false with an
// exception set.
bool fill(TableState& table) {
  TableRun& run = *table.run;
  while (!run.maker->ready(run.source_done) && !run.source_done) {
    if (!run_next(table)) return false;
  }
  return true;
}

// Makes the next batch into `out` (`out->release` null at the end); false
// with an exception set, after which the table has ended.
bool next_batch(TableState& table, ArrowArray* out, bool whole) {
  out->release = nullptr;
  TableRun* run = table.run.get();
  if (!run) return true;
  if (whole) {
    while (!run->source_done) {
      if (!run_next(table)) return false;
    }
  } else if (!fill(table)) {
    return false;
  }
  if (whole || run->maker->ready(run->source_done)) {
    if (!whole && run->maker->rows_waiting() == 0) return true;
    if (whole && run->error.held()) return run->error.raise();
    std::optional<std::string> misfit;
    const bool built = run_guarded([&] {
      LockRelease lock;
      // Large batches are built without the lock; no Python object is touched.
      if (run->maker->rows_waiting() >= 4096) lock.release();
      misfit = run->maker->make(out, whole);
    });
    if (!built) return false;
    if (misfit) {
      raise_value_error(*misfit);
      add_note("a value that does not fit its column's type: give table() a schema, or "
               "mismatch='null' to make it null");
      return false;
    }
    return true;
  }
  if (run->error.held()) return run->error.raise();
  return true;
}

// Fixes the table's schema, running its first batch's texts when it is
// to be inferred; false with an exception set.
bool settle_schema(TableState& table) {
  TableRun* run = table.run.get();
  if (!run) {
    PyErr_SetString(PyExc_RuntimeError, "this table is closed");
    return false;
  }
  if (run->maker->schema()) return true;
  if (!fill(table)) return false;
  run->maker->settle_schema();
  return true;
}

void end_table(TableState& table) { table.run.reset(); }

// --- The capsules of the PyCapsule interface.

void schema_capsule_free(PyObject* capsule) {
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
  if (schema && schema->release) schema->release(schema);
  delete schema;
}

void array_capsule_free(PyObject* capsule) {
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
  if (array && array->release) array->release(array);
  delete array;
}

void stream_capsule_free(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream && stream->release) stream->release(stream);
  delete stream;
}

PyObject* schema_capsule(const table::ColumnType& type) {
  auto* schema = new (std::nothrow) ArrowSchema();
  if (!schema) return PyErr_NoMemory();
  if (!run_guarded([&] { table::export_type(type, schema); })) {
    delete schema;
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_free);
  if (!capsule) {
    schema->release(schema);
    delete schema;
  }
  return capsule;
}

// What a stream handed to a consumer holds: the table, and its last error.
struct ExportedStream {
  PyObject* table;  // a strong reference
  std::string last_error;
  bool started = false;
};

// The stream's callbacks may come on any thread, with or without the
// interpreter lock: each takes it.
class InterpreterHeld {
 public:
  InterpreterHeld() : state_(PyGILState_Ensure()) {}
  ~InterpreterHeld() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// The pending exception as the error text of a stream's callback, and the
// errno-like code that tells the consumer its kind; clears it. Ctrl-C is
// raised again in the interpreter, as its signal would have been.
int stream_error(ExportedStream& exported) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  std::string text = type ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "error";
  if (const char* dot = std::strrchr(text.c_str(), '.')) text = dot + 1;
  if (value) {
    PyRef message(PyObject_Str(value));
    if (message) {
      if (const char* utf8 = PyUnicode_AsUTF8(message.get())) {
        text += ": ";
        text += utf8;
      }
    }
    PyErr_Clear();
    PyRef notes(PyObject_GetAttrString(value, "__notes__"));
    PyErr_Clear();
    if (notes && PyList_Check(notes.get())) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
        if (const char* note = PyUnicode_AsUTF8(PyList_GET_ITEM(notes.get(), i))) {
          text += "\n";
          text += note;
        }
        PyErr_Clear();
      }
    }
  }
  exported.last_error = std::move(text);
  if (type && PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt)) {
    PyErr_SetInterrupt();
    return EINTR;
  }
  if (type && PyErr_GivenExceptionMatches(type, PyExc_MemoryError)) return ENOMEM;
  if (type && PyErr_GivenExceptionMatches(type, PyExc_ValueError)) return EINVAL;
  return EIO;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  InterpreterHeld held;
  auto& exported = *static_cast<ExportedStream*>(stream->private_data);
  TableState& table = table_state(exported.table);
  ExclusiveBorrow borrow(table.borrow);
  if (!borrow.held() || !settle_schema(table)) return stream_error(exported);
  const bool done = run_guarded([&] { table::export_type(*table.run->maker->schema(), out); });
  return done ? 0 : stream_error(exported);
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  InterpreterHeld held;
  auto& exported = *static_cast<ExportedStream*>(stream->private_data);
  TableState& table = table_state(exported.table);
  ExclusiveBorrow borrow(table.borrow);
  if (!borrow.held()) return stream_error(exported);
  if (!exported.started && table.consumed) {
    PyErr_SetString(PyExc_RuntimeError, "this table has been read already: a table is read once");
    return stream_error(exported);
  }
  exported.started = true;
  table.consumed = true;
  if (!next_batch(table, out, false)) {
    end_table(table);
    return stream_error(exported);
  }
  if (!out->release) end_table(table);
  return 0;
}

const char* stream_last_error(ArrowArrayStream* stream) {
  auto& exported = *static_cast<ExportedStream*>(stream->private_data);
  return exported.last_error.empty() ? nullptr : exported.last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  InterpreterHeld held;
  auto* exported = static_cast<ExportedStream*>(stream->private_data);
  Py_DECREF(exported->table);
  delete exported;
  stream->release = nullptr;
}

// --- TamselTable's methods.

bool check_unread(TableState& table) {
  if (table.consumed) {
    PyErr_SetString(PyExc_RuntimeError, "this table has been read already: a table is read once");
    return false;
  }
  if (!table.run) {
    PyErr_SetString(PyExc_RuntimeError, "this table is closed");
    return false;
  }
  return true;
}

PyObject* table_arrow_schema(PyObject* self, PyObject*) {
  TableState& table = table_state(self);
  ExclusiveBorrow borrow(table.borrow);
  if (!borrow.held()) return nullptr;
  if (!check_unread(table) || !settle_schema(table)) return nullptr;
  return schema_capsule(*table.run->maker->schema());
}

// requested_schema is taken and left aside, as the interface lets a
// producer do: give table() a schema to choose the types.
bool read_requested_schema(PyObject* args, PyObject* kwargs, const char* name) {
  static const char* keywords[] = {"requested_schema", nullptr};
  PyObject* requested = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwargs, name, const_cast<char**>(keywords),
                                     &requested);
}

PyObject* table_arrow_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!read_requested_schema(args, kwargs, "|O:__arrow_c_stream__")) return nullptr;
  TableState& table = table_state(self);
  {
    ExclusiveBorrow borrow(table.borrow);
    if (!borrow.held()) return nullptr;
    // The first batch's texts run now, so that their errors are raised here.
    if (!check_unread(table) || !settle_schema(table)) return nullptr;
  }
  auto* stream = new (std::nothrow) ArrowArrayStream();
  auto* exported = new (std::nothrow) ExportedStream{self, {}};
  if (!stream || !exported) {
    delete stream;
    delete exported;
    return PyErr_NoMemory();
  }
  Py_INCREF(self);
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_last_error;
  stream->release = stream_release;
  stream->private_data = exported;
  PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", stream_capsule_free);
  if (!capsule) {
    stream->release(stream);
    delete stream;
  }
  return capsule;
}

PyObject* table_arrow_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!read_requested_schema(args, kwargs, "|O:__arrow_c_array__")) return nullptr;
  TableState& table = table_state(self);
  ExclusiveBorrow borrow(table.borrow);
  if (!borrow.held() || !check_unread(table)) return nullptr;
  table.consumed = true;
  auto array = std::make_unique<ArrowArray>();
  if (!next_batch(table, array.get(), true)) {
    end_table(table);
    return nullptr;
  }
  PyRef schema(schema_capsule(*table.run->maker->schema()));
  end_table(table);
  if (!schema) {
    array->release(array.get());
    return nullptr;
  }
  ArrowArray* raw = array.release();
  PyRef capsule(PyCapsule_New(raw, "arrow_array", array_capsule_free));
  if (!capsule) {
    raw->release(raw);
    delete raw;
    return nullptr;
  }
  return PyTuple_Pack(2, schema.get(), capsule.get());
}

PyObject* table_close(PyObject* self, PyObject*) {
  TableState& table = table_state(self);
  ExclusiveBorrow borrow(table.borrow);
  if (!borrow.held()) return nullptr;
  end_table(table);
  Py_RETURN_NONE;
}

PyObject* table_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* table_exit(PyObject* self, PyObject*) {
  PyRef closed(table_close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* table_get_skipped(PyObject* self, void*) {
  TableState& table = table_state(self);
  if (!table.skipped) {
    table.skipped = PyRef(PyList_New(0));
    if (!table.skipped) return nullptr;
  }
  return PyRef::borrow(table.skipped.get()).release();
}

int table_traverse(PyObject* self, visitproc visit, void* arg) {
  const TableState& table = table_state(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(table.skipped.get());
  if (const TableRun* run = table.run.get()) {
    if (const int visited = run->error.traverse(visit, arg)) return visited;
    if (run->input) {
      if (const int visited = run->input->traverse(visit, arg)) return visited;
    }
    if (run->list_feed) {
      if (const int visited = run->list_feed->traverse(visit, arg)) return visited;
    }
  }
  return 0;
}

int table_clear(PyObject* self) {
  TableState& table = table_state(self);
  end_table(table);
  table.skipped = PyRef();
  return 0;
}

void table_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  table_state(self).~TableState();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_arrow_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The table's rows as an Arrow stream of record batches (a PyCapsule), run\n"
     "and built as the consumer reads them. A table is read once."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_arrow_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "All of the table's rows as one Arrow struct array: the capsules of its\n"
     "schema and of the array. A table is read once."},
    {"__arrow_c_schema__", table_arrow_schema, METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\n"
     "The table's schema (a PyCapsule): the one given, or the one inferred from\n"
     "its first batch, whose texts are run for it."},
    {"close", table_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops the table and releases what it holds: its buffers, its threads, the\n"
     "file it opened from a path."},
    {"__enter__", table_enter, METH_NOARGS, nullptr},
    {"__exit__", table_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef table_getset[] = {
    {"skipped", table_get_skipped, nullptr,
     "The errors of the texts skipped so far (errors='skip'), in order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kTableDoc =
    "The results of one TamselProgram.table() call as rows of Arrow columns,\n"
    "for any reader of the Arrow PyCapsule interface: pyarrow.table(t),\n"
    "polars.DataFrame(t), pandas.DataFrame.from_arrow(t), duckdb.sql(... FROM t).\n"
    "\n"
    "Its texts run as the reader asks for batches, so memory holds a batch or\n"
    "two whatever the source's size. A table is read once. `skipped` lists the\n"
    "errors of the texts skipped (errors='skip'); close(), the end of a `with`\n"
    "block, or dropping the table releases what it holds.";

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTableDoc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(table_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(table_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(table_clear)},
    {Py_tp_methods, table_methods},
    {Py_tp_getset, table_getset},
    {0, nullptr},
};

PyType_Spec table_spec = {
    "tamsel_vonk.TamselTable",
    sizeof(TableObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    table_slots,
};

// --- Arguments.

// Compiles one query of the table; a syntax error raises as compile()'s
// does, with a note naming the column.
std::optional<query::Pipeline> compile_text(PyObject* text, const char* what) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) return std::nullopt;
  const std::string_view query(data, static_cast<size_t>(size));
  std::optional<query::Pipeline> pipeline;
  run_guarded([&] {
    auto compiled = query::compile_query(query);
    if (auto* error = std::get_if<query::CompileError>(&compiled)) {
      raise_value_error(error->message);
      for (const std::string& note : query::compile_notes(query, *error)) add_note(note);
      add_note(what);
      return;
    }
    pipeline = std::get<query::Pipeline>(std::move(compiled));
  });
  return pipeline;
}

// The columns option: names and queries, in order; false with an
// exception set.
bool read_columns(PyObject* columns, std::vector<std::string>* names,
                  std::vector<query::Pipeline>* pipelines) {
  if (columns == Py_None) return true;
  if (!PyDict_Check(columns)) {
    PyErr_Format(PyExc_TypeError,
                 "columns must be a dict of column names to queries, not '%s'",
                 Py_TYPE(columns)->tp_name);
    return false;
  }
  if (PyDict_GET_SIZE(columns) == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "columns is empty: name a column or more, or give None for the members "
                    "of the rows as columns");
    return false;
  }
  PyObject *key, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(columns, &position, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError,
                   "columns must map str names to str queries, not '%s' to '%s'",
                   Py_TYPE(key)->tp_name, Py_TYPE(value)->tp_name);
      return false;
    }
    const char* name = PyUnicode_AsUTF8(key);
    if (!name) return false;
    const std::string note = std::string("in the query of column '") + name + "'";
    auto pipeline = compile_text(value, note.c_str());
    if (!pipeline) return false;
    names->emplace_back(name);
    pipelines->push_back(std::move(*pipeline));
  }
  return true;
}

// The schema option: a struct type whose fields are the columns, ordered
// as `names` are (when given); nullopt and false with an exception set.
bool read_schema(PyObject* schema, const std::vector<std::string>& names,
                 std::optional<table::ColumnType>* out) {
  if (schema == Py_None) return true;
  PyRef capsule(PyObject_CallMethod(schema, "__arrow_c_schema__", nullptr));
  if (!capsule) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "schema must be an Arrow schema (an object with __arrow_c_schema__, such "
                   "as a pyarrow.schema), not '%s'",
                   Py_TYPE(schema)->tp_name);
    }
    return false;
  }
  auto* given = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
  if (!given) return false;
  std::string error;
  std::optional<table::ColumnType> type;
  if (!run_guarded([&] { type = table::import_type(*given, &error); })) return false;
  if (!type) {
    PyErr_SetString(PyExc_TypeError, ("schema: " + error).c_str());
    return false;
  }
  if (type->kind != table::TypeKind::kStruct) {
    PyErr_SetString(PyExc_TypeError, "schema must be a schema of fields (a struct type)");
    return false;
  }
  if (!names.empty()) {
    table::ColumnType ordered = *type;
    ordered.children.clear();
    for (const std::string& name : names) {
      const auto at = type->field(name);
      if (!at) {
        PyErr_Format(PyExc_ValueError, "schema has no field '%s', which columns names",
                     name.c_str());
        return false;
      }
      ordered.children.push_back(type->children[*at]);
    }
    for (const table::ColumnType& field : type->children) {
      bool named = false;
      for (const std::string& name : names) named |= name == field.name;
      if (!named) {
        PyErr_Format(PyExc_ValueError, "schema has a field '%s' that columns does not name",
                     field.name.c_str());
        return false;
      }
    }
    type = std::move(ordered);
  }
  *out = std::move(type);
  return true;
}

bool read_mismatch(PyObject* mismatch, table::Mismatch* out) {
  *out = table::Mismatch::kRaise;
  if (!mismatch) return true;
  if (PyUnicode_Check(mismatch)) {
    if (PyUnicode_CompareWithASCIIString(mismatch, "raise") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(mismatch, "null") == 0) {
      *out = table::Mismatch::kNull;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "mismatch must be 'raise' or 'null', not %R", mismatch);
  return false;
}

bool read_batch_rows(PyObject* rows, size_t* out) {
  *out = 0;
  if (!rows || rows == Py_None) return true;
  if (!PyLong_Check(rows) || PyBool_Check(rows)) {
    PyErr_Format(PyExc_TypeError, "batch_rows must be an int or None, not '%s'",
                 Py_TYPE(rows)->tp_name);
    return false;
  }
  const long long value = PyLong_AsLongLong(rows);
  if (value == -1 && PyErr_Occurred()) PyErr_Clear();
  if (value < 1) {
    PyErr_Format(PyExc_ValueError, "batch_rows must be 1 or more, not %R", rows);
    return false;
  }
  *out = static_cast<size_t>(value);
  return true;
}

// The table's own program: the row query (the program's) with the column
// queries, reading documents for what all of them need.
std::shared_ptr<const texts::Program> table_program(PyObject* self,
                                                    std::vector<query::Pipeline> columns) {
  auto row = compile_text(program_state(self).query.get(), "in the program's query");
  if (!row) return nullptr;
  std::shared_ptr<const texts::Program> made;
  run_guarded([&] {
    auto program = std::make_shared<texts::Program>();
    // What the rows need, then what the columns need of each row: the row
    // query with a comma of the columns after it, taken apart again after.
    const size_t column_count = columns.size();
    query::Pipeline combined = std::move(*row);
    if (!columns.empty()) combined.push_back(query::Filter{query::Comma{std::move(columns)}});
    Projection needed = engine::needed_parts(combined);
    auto shape = std::make_shared<table::TableShape>();
    if (column_count) {
      shape->columns = std::move(std::get<query::Comma>(combined.back().node).branches);
      combined.pop_back();
    }
    program->set_pipeline(std::move(combined));
    if (!needed.is_whole() && !whole_documents_forced())
      program->reading = std::make_unique<ReadingPlan>(std::move(needed));
    program->stores = std::make_shared<table::RowStoreMaker>(std::move(shape));
    made = std::move(program);
  });
  return made;
}

bool is_arrow_source(PyObject* source) {
  return PyObject_HasAttrString(source, "__arrow_c_stream__") ||
         PyObject_HasAttrString(source, "__arrow_c_array__");
}

bool is_stream_source(PyObject* source) {
  return PyUnicode_Check(source) || PyObject_CheckBuffer(source) ||
         PyObject_HasAttrString(source, "__fspath__") || PyObject_HasAttrString(source, "read");
}

// The Arrow stream of a caller's string column, taken over; false with an
// exception set.
bool arrow_stream_of(PyObject* source, ArrowArrayStream* out) {
  if (PyObject_HasAttrString(source, "__arrow_c_stream__")) {
    PyRef capsule(PyObject_CallMethod(source, "__arrow_c_stream__", nullptr));
    if (!capsule) return false;
    auto* stream = static_cast<ArrowArrayStream*>(
        PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (!stream) return false;
    *out = *stream;
    stream->release = nullptr;  // moved: the capsule's destructor leaves it be
    return true;
  }
  PyRef pair(PyObject_CallMethod(source, "__arrow_c_array__", nullptr));
  if (!pair) return false;
  if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "argument 'source': __arrow_c_array__ gave no pair of capsules");
    return false;
  }
  auto* schema = static_cast<ArrowSchema*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
  if (!schema) return false;
  auto* array = static_cast<ArrowArray*>(
      PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
  if (!array) return false;
  *out = table::stream_of_array(*schema, *array);
  schema->release = nullptr;
  array->release = nullptr;
  return true;
}

}  // namespace

PyTypeObject* table_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&table_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* program_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source",     "columns",    "lines",    "errors",
                                   "threads",    "schema",     "mismatch", "batch_rows",
                                   "decompress", "elements",   nullptr};
  PyObject* source = nullptr;
  PyObject* columns_arg = Py_None;
  int lines = 0;
  PyObject* errors = nullptr;
  PyObject* threads_arg = nullptr;
  PyObject* schema_arg = Py_None;
  PyObject* mismatch_arg = nullptr;
  PyObject* batch_rows_arg = nullptr;
  int decompress = 1;
  PyObject* elements_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OpOOOOOpO:table", const_cast<char**>(keywords),
                                   &source, &columns_arg, &lines, &errors, &threads_arg,
                                   &schema_arg, &mismatch_arg, &batch_rows_arg, &decompress,
                                   &elements_arg))
    return nullptr;
  ResultForm form;
  bool skip_bad = false;
  size_t threads = 1;
  table::BatchOptions options;
  std::vector<query::Pipeline> columns;
  std::optional<texts::ElementPath> elements;
  if (!read_result_options(0, 0, errors, Py_None, &form, &skip_bad) ||
      !read_threads_option(threads_arg, &threads) ||
      !read_mismatch(mismatch_arg, &options.mismatch) ||
      !read_batch_rows(batch_rows_arg, &options.batch_rows) ||
      !read_columns(columns_arg, &options.names, &columns) ||
      !read_schema(schema_arg, options.names, &options.schema) ||
      !read_elements_option(elements_arg, lines, &elements))
    return nullptr;
  if (elements && !is_stream_source(source)) {
    PyErr_SetString(PyExc_TypeError,
                    "elements reads a source that is one document (a str, bytes, a binary file "
                    "or a path), not documents given one by one");
    return nullptr;
  }
  std::shared_ptr<const texts::Program> program = table_program(self, std::move(columns));
  if (!program) return nullptr;
  PyTypeObject* type = table_type();
  if (!type) return nullptr;

  auto run = std::make_unique<TableRun>();
  run->skip_bad = skip_bad;
  texts::StreamOptions stream_options;
  stream_options.lines = lines;
  stream_options.form = form;
  stream_options.stop_at_bad = !skip_bad;
  stream_options.poll = signals_pending;
  stream_options.decompress = decompress;
  stream_options.elements = std::move(elements);
  if (const char* bytes = std::getenv("TAMSEL_VONK_PIECE_BYTES")) {
    if (const unsigned long long n = std::strtoull(bytes, nullptr, 10)) stream_options.piece_bytes = n;
  }
  const bool made = run_guarded([&] {
    if (is_arrow_source(source) && !is_stream_source(source)) {
      ArrowArrayStream stream{};
      if (!arrow_stream_of(source, &stream)) return;
      run->arrow_feed = std::make_unique<table::ArrowTextFeed>(stream);
      if (auto error = run->arrow_feed->open()) {
        PyErr_Format(PyExc_TypeError, "argument 'source': %s", error->c_str());
        return;
      }
      run->engine = std::make_unique<table::DocumentStream>(program, threads, stream_options,
                                                            *run->arrow_feed);
      return;
    }
    if (is_stream_source(source)) {
      run->stream_source = true;
      stream_options.origin =
          PyUnicode_Check(source) ? TextOrigin::kStreamOfStr : TextOrigin::kStream;
      run->input = StreamInput::open(source, "source", threads == 1);
      if (!run->input) return;
      run->engine = texts::make_text_stream(program, threads, stream_options, run->input->source());
      return;
    }
    PyRef iterator(PyObject_GetIter(source));
    if (!iterator) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument 'source': a str, a bytes-like object, a binary file, a path, an "
                   "iterable of documents or an Arrow string column is required, not '%s'",
                   Py_TYPE(source)->tp_name);
      return;
    }
    run->list_feed = std::make_unique<IterableFeed>(std::move(iterator));
    run->engine =
        std::make_unique<table::DocumentStream>(program, threads, stream_options, *run->list_feed);
  });
  if (!made || !run->engine) return nullptr;
  run->maker.emplace(std::move(options));

  PyObject* object = type->tp_alloc(type, 0);
  if (!object) return nullptr;
  new (&table_state(object)) TableState();
  table_state(object).run = std::move(run);
  return object;
}

}  // namespace tamsel::binding
