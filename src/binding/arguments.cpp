#include "binding/arguments.h"

#include "binding/py_ref.h"
#include "tamsel_limits.h"

namespace tamsel::binding {
namespace {

// The type's qualified name ("bytes", "Outer.Inner"), as a new reference.
PyRef qualified_type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) {
    PyErr_Clear();
    name = PyRef(PyUnicode_FromString(Py_TYPE(obj)->tp_name));
  }
  return name;
}

}  // namespace

PyObject* find_argument(const char* full_name, const char* param, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, std::span<KeywordOption> options) {
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s takes 1 positional arguments but %zd were given", full_name,
                 nargs);
    return nullptr;
  }
  PyObject* arg = nargs == 1 ? args[0] : nullptr;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* kw = PyTuple_GET_ITEM(kwnames, i);
    KeywordOption* option = nullptr;
    for (KeywordOption& candidate : options) {
      if (PyUnicode_CompareWithASCIIString(kw, candidate.name) == 0) option = &candidate;
    }
    if (option) {
      option->value = args[nargs + i];
      continue;
    }
    int same = PyUnicode_CompareWithASCIIString(kw, param) == 0;
    if (!same) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", full_name, kw);
      return nullptr;
    }
    if (arg) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", full_name, param);
      return nullptr;
    }
    arg = args[nargs + i];
  }
  if (!arg) {
    PyErr_Format(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", full_name,
                 param);
    return nullptr;
  }
  return arg;
}

bool check_str_argument(const char* param, PyObject* arg) {
  if (PyUnicode_Check(arg)) return true;
  PyRef type_name = qualified_type_name(arg);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
               param, type_name.get());
  return false;
}

bool check_str_or_bytes_argument(const char* param, PyObject* arg) {
  if (PyUnicode_Check(arg) || PyObject_CheckBuffer(arg)) return true;
  PyRef type_name = qualified_type_name(arg);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError,
               "argument '%s': a str or a bytes-like object is required, not '%U'", param,
               type_name.get());
  return false;
}

namespace {

// The deepest indentation unit taken: enough for any layout people use,
// and small enough that indentation cannot dwarf the values it lays out.
constexpr Py_ssize_t kLongestIndent = 32;

bool read_errors_option(PyObject* errors, bool* skip) {
  if (PyUnicode_Check(errors)) {
    if (PyUnicode_CompareWithASCIIString(errors, "raise") == 0) {
      *skip = false;
      return true;
    }
    if (PyUnicode_CompareWithASCIIString(errors, "skip") == 0) {
      *skip = true;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'skip', not %R", errors);
  return false;
}

bool read_indent_option(PyObject* indent, ResultForm* form) {
  form->pretty = false;
  if (indent == Py_None) return true;
  if (!form->as_json) {
    PyErr_SetString(PyExc_ValueError, "indent lays out JSON text: it needs as_json=True");
    return false;
  }
  if (PyLong_Check(indent) && !PyBool_Check(indent)) {
    const long spaces = PyLong_AsLong(indent);
    if (spaces == -1 && PyErr_Occurred()) PyErr_Clear();
    if (spaces < 0 || spaces > kLongestIndent) {
      PyErr_Format(PyExc_ValueError, "indent must be 0 to %zd spaces, not %R", kLongestIndent,
                   indent);
      return false;
    }
    form->indent.assign(static_cast<size_t>(spaces), ' ');
  } else if (PyUnicode_Check(indent)) {
    if (PyUnicode_GetLength(indent) > kLongestIndent) {
      PyErr_Format(PyExc_ValueError, "indent must be at most %zd characters", kLongestIndent);
      return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(indent, &size);
    if (!text) return false;
    form->indent.assign(text, static_cast<size_t>(size));
  } else {
    PyErr_Format(PyExc_TypeError, "indent must be None, an int or a str, not '%s'",
                 Py_TYPE(indent)->tp_name);
    return false;
  }
  form->pretty = true;
  return true;
}

}  // namespace

bool read_result_options(int first, int as_json, PyObject* errors, PyObject* indent,
                         ResultForm* form, bool* skip_bad) {
  *skip_bad = false;
  if (errors && !read_errors_option(errors, skip_bad)) return false;
  form->first_only = first;
  form->as_json = as_json;
  return read_indent_option(indent, form);
}

bool read_threads_option(PyObject* threads, size_t* count) {
  *count = 1;
  if (!threads) return true;
  if (!PyLong_Check(threads) || PyBool_Check(threads)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int, not '%s'", Py_TYPE(threads)->tp_name);
    return false;
  }
  const long value = PyLong_AsLong(threads);
  if (value == -1 && PyErr_Occurred()) PyErr_Clear();
  if (value < 1 || value > static_cast<long>(kMaxThreads)) {
    PyErr_Format(PyExc_ValueError, "threads must be 1 to %zu, not %R", kMaxThreads, threads);
    return false;
  }
  *count = static_cast<size_t>(value);
  return true;
}

namespace {

// The UTF-8 of `text` (a str), or false with an exception set.
bool utf8_of(PyObject* text, std::string* out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool read_elements_option(PyObject* value, bool lines, std::optional<texts::ElementPath>* path) {
  path->reset();
  if (!value || value == Py_None || value == Py_False) return true;
  if (lines) {
    PyErr_SetString(PyExc_ValueError,
                    "elements and lines do not go together: the texts are either the elements "
                    "of one array or the lines of the source");
    return false;
  }
  if (value == Py_True) {
    path->emplace();
    return true;
  }
  if (PyUnicode_Check(value)) {
    std::string text;
    if (!utf8_of(value, &text)) return false;
    texts::ElementPath keys;
    if (!texts::parse_element_path(text, &keys)) {
      PyErr_Format(PyExc_ValueError,
                   "elements must be a path of keys such as '.items' or '.data.\"rows\"', "
                   "not %R",
                   value);
      return false;
    }
    *path = std::move(keys);
    return true;
  }
  if (PyList_Check(value) || PyTuple_Check(value)) {
    texts::ElementPath keys;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* key = PySequence_Fast_GET_ITEM(value, i);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "the keys of elements must be str, not '%s'",
                     Py_TYPE(key)->tp_name);
        return false;
      }
      keys.emplace_back();
      if (!utf8_of(key, &keys.back())) return false;
    }
    *path = std::move(keys);
    return true;
  }
  PyErr_Format(PyExc_TypeError,
               "elements must be True, a path of keys (str) or a list of keys, not '%s'",
               Py_TYPE(value)->tp_name);
  return false;
}

}  // namespace tamsel::binding
