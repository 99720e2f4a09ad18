#include "python/convert.h"

#include <cstring>
#include <string_view>

#include "python/py_ref.h"
#include "value/object_map.h"

namespace tamsel::python {
namespace {

bool is_ascii(std::string_view s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size(), i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < n; ++i)
    if (p[i] & 0x80) return false;
  return true;
}

// New reference to a str holding `s` (valid UTF-8).
PyObject* to_python_str(std::string_view s) {
  if (is_ascii(s)) {
    // ASCII text is its own compact one-byte representation: copy it in.
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return str;
  }
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
}

PyObject* to_python_list(const Array& elements) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(elements.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const Value& element : elements) {
    PyObject* item = to_python(element);
    if (!item) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

// An empty dict with room for `n` members, so inserting them never resizes.
PyObject* new_dict(size_t n) { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }

PyObject* to_python_dict(const ObjectMap& map) {
  PyRef dict(new_dict(map.size()));
  if (!dict) return nullptr;
  for (const ObjectMap::Entry& entry : map) {
    PyRef value(to_python(entry.value));
    if (!value) return nullptr;
    PyRef key(to_python_str(entry.key.as_string()));
    if (!key) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* to_python_list(simdjson::dom::array elements) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(json_element_count(elements))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (JsonRef element : elements) {
    PyObject* item = to_python(element);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

PyObject* to_python_dict(simdjson::dom::object members) {
  PyRef dict(new_dict(json_element_count(members)));
  if (!dict) return nullptr;
  for (simdjson::dom::key_value_pair member : members) {
    PyRef value(to_python(member.value));
    if (!value) return nullptr;
    PyRef key(to_python_str(member.key));
    if (!key) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* to_python(JsonRef ref) {
  using simdjson::dom::element_type;
  switch (ref.type()) {
    case element_type::ARRAY: return to_python_list(json_array(ref));
    case element_type::OBJECT: return to_python_dict(json_object(ref));
    case element_type::INT64: return PyLong_FromLongLong(ref.get_int64().value_unsafe());
    case element_type::UINT64: return PyLong_FromUnsignedLongLong(ref.get_uint64().value_unsafe());
    case element_type::DOUBLE: return PyFloat_FromDouble(ref.get_double().value_unsafe());
    case element_type::STRING: return to_python_str(ref.get_string().value_unsafe());
    case element_type::BOOL:
      if (ref.get_bool().value_unsafe()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case element_type::NULL_VALUE: break;
  }
  Py_RETURN_NONE;
}

PyObject* to_python(const engine::EvalValue& result) {
  if (result.is_document()) return to_python(result.json());
  return to_python(result.get());
}

PyObject* to_python(const Value& v) {
  // A part of the document that a built value holds is read off the tape.
  if (v.is_document_part()) return to_python(part_ref(v));
  switch (v.kind()) {
    case Kind::Null: Py_RETURN_NONE;
    case Kind::Bool:
      if (v.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case Kind::I64: return PyLong_FromLongLong(v.as_i64());
    case Kind::U64: return PyLong_FromUnsignedLongLong(v.as_u64());
    case Kind::F64: return PyFloat_FromDouble(v.as_f64());
    case Kind::String: return to_python_str(v.as_string());
    case Kind::Array: return to_python_list(v.as_array());
    case Kind::Object: return to_python_dict(v.as_object());
  }
  Py_RETURN_NONE;
}

}  // namespace tamsel::python
