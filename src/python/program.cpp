// TamselProgram: a compiled query, run over JSON text by input() and first().
#include <memory>
#include <new>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/evaluator.h"
#include "python/arguments.h"
#include "python/borrow.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/types.h"
#include "value/json.h"
#include "value/json_ref.h"

namespace tamsel::python {
namespace {

struct ProgramObject {
  PyObject_HEAD
  query::Pipeline* pipeline;
  // Parser buffers kept between runs. A run that starts while another run of
  // the same program is still converting (a finaliser or another thread
  // calling back in during object creation) parses with a parser of its own,
  // so the document the first run is reading is never overwritten.
  JsonParser* parser;
  bool parser_busy;
  BorrowFlag* borrow;
};

ProgramObject* as_program(PyObject* self) { return reinterpret_cast<ProgramObject*>(self); }

// The program's cached parser for the length of one run, or a private one.
class ParserLease {
 public:
  explicit ParserLease(ProgramObject* program) : program_(program) {
    if (!program->parser_busy) {
      if (!program->parser) program->parser = new JsonParser();
      program->parser_busy = true;
      parser_ = program->parser;
    } else {
      own_ = std::make_unique<JsonParser>();
      parser_ = own_.get();
    }
  }
  ~ParserLease() {
    if (!own_) {
      program_->parser->release_large_buffers();
      program_->parser_busy = false;
    }
  }
  JsonParser& parser() { return *parser_; }

 private:
  ProgramObject* program_;
  JsonParser* parser_ = nullptr;
  std::unique_ptr<JsonParser> own_;
};

// Parses `text`, runs the program over it and converts the results: all of
// them into a new TamselVonkIter, or only the first (None when there is none)
// when `first_only`. Returns a new reference, or nullptr with an exception set.
// The results, the document and the parser's buffers are released on every
// path, in that order.
PyObject* run(ProgramObject* program, std::string_view text, bool first_only) {
  PyObject* outcome = nullptr;
  run_guarded([&] {
    ParserLease lease(program);
    auto parsed = lease.parser().parse_document(text);
    if (auto* error = std::get_if<JsonError>(&parsed)) {
      raise_value_error(error->message());
      return;
    }
    engine::ResultList results = engine::evaluate(
        *program->pipeline, engine::EvalValue::document(std::get<JsonRef>(parsed)), first_only);
    if (first_only) {
      if (results.empty()) {
        Py_INCREF(Py_None);
        outcome = Py_None;
      } else if (!(outcome = to_python(results.front()))) {
        raise_panic_from_pending();
      }
      return;
    }
    std::vector<PyObject*> items;
    items.reserve(results.size());
    for (const engine::EvalValue& result : results) {
      PyObject* item = to_python(result);
      if (!item) {
        for (PyObject* done : items) Py_DECREF(done);
        raise_panic_from_pending();
        return;
      }
      items.push_back(item);
    }
    outcome = new_iter(std::move(items));
  });
  return outcome;
}

PyObject* program_input(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::string_view text;
  if (!parse_text_argument("TamselProgram.input()", "json_text", args, nargs, kwnames, &text))
    return nullptr;
  SharedBorrow borrow(*as_program(self)->borrow);
  if (!borrow.held()) return nullptr;
  return run(as_program(self), text, false);
}

PyObject* program_first(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::string_view text;
  if (!parse_text_argument("TamselProgram.first()", "json_text", args, nargs, kwnames, &text))
    return nullptr;
  SharedBorrow borrow(*as_program(self)->borrow);
  if (!borrow.held()) return nullptr;
  return run(as_program(self), text, true);
}

void program_dealloc(PyObject* self) {
  ProgramObject* program = as_program(self);
  delete program->pipeline;
  delete program->parser;
  delete program->borrow;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef program_methods[] = {
    {"input", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_input)),
     METH_FASTCALL | METH_KEYWORDS, "input($self, json_text)\n--\n\n"},
    {"first", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(program_first)),
     METH_FASTCALL | METH_KEYWORDS, "first($self, json_text)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot program_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(program_dealloc)},
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

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

PyTypeObject* program_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyType_FromSpec(&program_spec);
  return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* new_program(query::Pipeline pipeline) {
  PyTypeObject* type = program_type();
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  ProgramObject* program = as_program(self);
  program->pipeline = nullptr;
  program->parser = nullptr;
  program->parser_busy = false;
  program->borrow = nullptr;
  bool ok = run_guarded([&] {
    program->borrow = new BorrowFlag();
    program->pipeline = new query::Pipeline(std::move(pipeline));
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

}  // namespace tamsel::python
