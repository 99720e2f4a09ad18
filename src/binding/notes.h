// Notes beside an exception (PEP 678): a few lines of help that Python prints
// after the message, which stays exactly as it is.
#pragma once

#include <Python.h>

#include <string_view>

namespace tamsel::binding {

// Adds `note` to the exception object `error` (borrowed), through add_note()
// where Python has it (3.11 on) and by appending to its __notes__ list
// before. A note is help, not the error: if adding it fails, the exception
// goes on without it and no other exception is left set.
void add_note_to(PyObject* error, std::string_view note);

// The same for the exception that is set, which stays set.
void add_note(std::string_view note);

}  // namespace tamsel::binding
