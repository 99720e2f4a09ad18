#include "binding/notes.h"

#include "binding/py_ref.h"

namespace tamsel::binding {

void add_note_to(PyObject* error, std::string_view note) {
  PyRef text(
      PyUnicode_DecodeUTF8(note.data(), static_cast<Py_ssize_t>(note.size()), "replace"));
  if (!text) {
    PyErr_Clear();
    return;
  }
#if PY_VERSION_HEX >= 0x030B0000
  PyRef done(PyObject_CallMethod(error, "add_note", "O", text.get()));
  if (!done) PyErr_Clear();
#else
  // What add_note() does: the list is made on the first note, and a
  // __notes__ that is not a list is left alone.
  PyRef notes(PyObject_GetAttrString(error, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = PyRef(PyList_New(0));
    if (!notes || PyObject_SetAttrString(error, "__notes__", notes.get()) < 0) {
      PyErr_Clear();
      return;
    }
  }
  if (PyList_Check(notes.get()) && PyList_Append(notes.get(), text.get()) < 0) PyErr_Clear();
#endif
}

void add_note(std::string_view note) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value) {
    // The traceback is kept on the object too, as the interpreter does when
    // it normalizes an exception it raises.
    if (traceback) PyException_SetTraceback(value, traceback);
    add_note_to(value, note);
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace tamsel::binding
