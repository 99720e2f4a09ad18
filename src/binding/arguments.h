// Argument checking: for the module's one-parameter functions, called with
// the fast calling convention, with the exact TypeError texts users see; and
// for the options of the methods that run many texts.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "texts/element_frame.h"
#include "texts/result_form.h"

namespace tamsel::binding {

using texts::ResultForm;

// A keyword-only option of a function besides its one argument: its name,
// and the value given (borrowed), if any.
struct KeywordOption {
  const char* name;
  PyObject* value = nullptr;
};

// Finds the single argument named `param` of the function `full_name` (for
// example "compile()" or "TamselProgram.input()") among positional `args`
// and keyword `kwnames`, and the values of its keyword-only `options`.
// Returns it as a borrowed reference, or nullptr with a TypeError set.
PyObject* find_argument(const char* full_name, const char* param, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames,
                        std::span<KeywordOption> options = {});

// Whether `arg` is a `str` (or a subclass); otherwise sets the TypeError
// for parameter `param` and returns false.
bool check_str_argument(const char* param, PyObject* arg);

// Whether `arg` is a `str` or offers the buffer protocol; otherwise sets the
// TypeError for parameter `param` and returns false.
bool check_str_or_bytes_argument(const char* param, PyObject* arg);

// The options of the methods that run many texts, as PyArg parsed them
// (`first` and `as_json` as 0 or 1; `errors` null when not given), into
// `form` and `skip_bad`: errors "raise" or "skip", and indent None, a number
// of spaces from 0 to 32 or a str of at most 32 characters, taken only with
// as_json. False with an exception set for a value they cannot take.
bool read_result_options(int first, int as_json, PyObject* errors, PyObject* indent,
                         ResultForm* form, bool* skip_bad);

// The `threads` option of the methods that run many texts (null when not
// given: 1): an int from 1 to kMaxThreads. False with an exception set.
bool read_threads_option(PyObject* threads, size_t* count);

// The `elements` option of the methods that read a stream (null when not
// given): None or False for none, True for the source's own array, a str
// path of keys such as ".items", or a list or tuple of keys (str); refused
// beside `lines`. False with an exception set.
bool read_elements_option(PyObject* value, bool lines, std::optional<texts::ElementPath>* path);

}  // namespace tamsel::binding
