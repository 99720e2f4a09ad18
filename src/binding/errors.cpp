#include "binding/errors.h"

#include <initializer_list>

#include "binding/notes.h"
#include "binding/py_ref.h"

namespace tamsel::binding {

namespace {

// A new exception class derived from `base`, with class attributes `names`
// set to None, so that every instance has them; nullptr with an exception
// set.
PyObject* new_exception_type(const char* name, const char* doc, PyObject* base,
                             std::initializer_list<const char*> names) {
  PyRef attributes(PyDict_New());
  if (!attributes) return nullptr;
  for (const char* attribute : names) {
    if (PyDict_SetItemString(attributes.get(), attribute, Py_None) < 0) return nullptr;
  }
  return PyErr_NewExceptionWithDoc(name, doc, base, attributes.get());
}

}  // namespace

PyObject* panic_exception_type() {
  // Kept for the life of the process, like the module object itself.
  static PyObject* type = nullptr;
  if (!type) {
    type = new_exception_type(
        "tamsel_vonk.PanicException",
        "An internal fault ended the call, such as an integer remainder by zero.\n"
        "\n"
        "The program that raised it stays usable. It derives from BaseException, so\n"
        "`except Exception` lets it pass: catch it by name. Raised for one text of\n"
        "stream() or batch(), it carries index, offset, line and message as\n"
        "TamselTextError does; raised by any other call, they are None.",
        PyExc_BaseException, {"index", "offset", "line", "message"});
  }
  return type;
}

PyObject* text_error_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = new_exception_type(
        "tamsel_vonk.TamselTextError",
        "A text of stream() or batch() that is not one JSON value (a ValueError).\n"
        "\n"
        "Its message is \"text {index} at byte {offset} (line {line}): {message}\" in a\n"
        "stream and \"text {index}: {message}\" in a batch, and its attributes hold the\n"
        "parts: index (the text's number, from 0), offset and line (where it starts in\n"
        "the stream's source, in bytes and from line 1; None in a batch) and message\n"
        "(what input() says of the text alone).",
        PyExc_ValueError, {"offset", "line"});
  }
  return type;
}

void raise_value_error(const std::string& message) {
  // Messages can hold a NUL character ("Syntax at character 0 ('\0')").
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (!type) return;
  PyErr_SetString(type, message.empty() ? "internal fault" : message.c_str());
}

void raise_failure(runtime::Failure failure, const std::string& message) {
  switch (failure) {
    case runtime::Failure::kFault: raise_panic(message); return;
    // The poll's exception (KeyboardInterrupt) is already pending.
    case runtime::Failure::kInterrupted: return;
    case runtime::Failure::kNoMemory: PyErr_NoMemory(); return;
  }
}

void raise_panic_from_pending() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  // The cause is named by its class, then its text when it has one:
  // "MemoryError", "OverflowError: int too large".
  std::string cause = "?";
  if (type && PyType_Check(type)) cause = reinterpret_cast<PyTypeObject*>(type)->tp_name;
  PyRef text(value ? PyObject_Str(value) : nullptr);
  Py_ssize_t size = 0;
  const char* message = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (message && size > 0) cause += std::string(": ") + std::string(message, size);
  PyErr_Clear();
  raise_panic("could not create a Python object: " + cause);
}

namespace {

bool set_number(PyObject* error, const char* name, uint64_t value) {
  PyRef number(PyLong_FromUnsignedLongLong(value));
  return number && PyObject_SetAttrString(error, name, number.get()) == 0;
}

}  // namespace

namespace {

// A new exception of class `type` for the bad text at `place`, whose own
// error said `message`.
PyObject* text_error(PyObject* type, PyObject* message, const TextPlace& place) {
  PyRef text(place.in_stream
                 ? PyUnicode_FromFormat("text %llu at byte %llu (line %llu): %U",
                                        static_cast<unsigned long long>(place.index),
                                        static_cast<unsigned long long>(place.offset),
                                        static_cast<unsigned long long>(place.line), message)
                 : PyUnicode_FromFormat("text %llu: %U",
                                        static_cast<unsigned long long>(place.index), message));
  if (!text) return nullptr;
  PyRef error(PyObject_CallOneArg(type, text.get()));
  if (!error) return nullptr;
  if (PyObject_SetAttrString(error.get(), "message", message) < 0 ||
      !set_number(error.get(), "index", place.index))
    return nullptr;
  if (place.in_stream &&
      (!set_number(error.get(), "offset", place.offset) ||
       !set_number(error.get(), "line", place.line)))
    return nullptr;
  return error.release();
}

}  // namespace

void raise_outcome(const texts::TextOutcome& outcome, bool ours) {
  using Kind = texts::TextOutcome::Kind;
  switch (outcome.kind) {
    case Kind::kRan: return;
    case Kind::kMalformed:
      raise_value_error(outcome.message);
      if (!outcome.note.empty()) add_note(outcome.note);
      return;
    case Kind::kFault: raise_panic(outcome.message); return;
    case Kind::kStopped:
      raise_failure(outcome.stopped_by, {});
      // A stop asked for by the module itself leaves nothing pending.
      if (!PyErr_Occurred()) PyErr_NoMemory();
      return;
    case Kind::kRefused:
      if (!ours) raise_panic_from_pending();
      return;
  }
}

PyObject* new_text_error(const texts::TextOutcome& outcome, const TextPlace& place) {
  const bool fault = outcome.kind == texts::TextOutcome::Kind::kFault;
  PyObject* type = fault ? panic_exception_type() : text_error_type();
  if (!type) return nullptr;
  const std::string& message = outcome.message;
  const std::string& text = fault && message.empty() ? std::string("internal fault") : message;
  PyRef owned(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!owned) return nullptr;
  PyObject* error = text_error(type, owned.get(), place);
  if (error && !outcome.note.empty()) add_note_to(error, outcome.note);
  return error;
}

}  // namespace tamsel::binding
