#include "binding/convert.h"

#include <cstring>
#include <string_view>

#include "binding/py_ref.h"
#include "runtime/bounds.h"
#include "value/object_map.h"

namespace tamsel::binding {
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

PyObject* to_python_view(const View& v);

// The Python objects of a result are part of what the call builds: each is
// charged to the call's memory budget before it is made (an estimate of the
// interpreter's size for it: a header, and 8 bytes a list slot or 32 a dict
// member), and each object counts as work between polls for Ctrl-C. Both
// throw, which the references held on the way up release.
void charge_object(size_t payload) {
  constexpr size_t kObjectHeader = 48;
  runtime::charge_or_throw(kObjectHeader + payload);
}

PyObject* to_python_list(const View& array) {
  charge_object(8 * array.size());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(array.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (View element : array.elements()) {
    PyObject* item = to_python_view(element);
    if (!item) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

// An empty dict with room for `n` members, so inserting them never resizes
// (a tenth faster for objects of a dozen members). The interpreter offers
// that only privately; from 3.14, which no test here has run, a plain dict.
#if PY_VERSION_HEX < 0x030E0000
PyObject* new_dict(size_t n) { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }
#else
PyObject* new_dict(size_t) { return PyDict_New(); }
#endif

PyObject* to_python_dict(const View& object) {
  charge_object(32 * object.size());
  PyRef dict(new_dict(object.size()));
  if (!dict) return nullptr;
  for (const View::Member& member : object.members()) {
    PyRef value(to_python_view(member.value));
    if (!value) return nullptr;
    charge_object(member.key.size());
    PyRef key(to_python_str(member.key));
    if (!key) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* to_python_view(const View& v) {
  runtime::note_work();
  switch (v.kind()) {
    case Kind::Null: Py_RETURN_NONE;
    case Kind::Bool:
      if (v.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case Kind::I64: charge_object(0); return PyLong_FromLongLong(v.as_i64());
    case Kind::U64: charge_object(0); return PyLong_FromUnsignedLongLong(v.as_u64());
    case Kind::F64: charge_object(0); return PyFloat_FromDouble(v.as_f64());
    case Kind::String:
      charge_object(v.as_string().size());
      runtime::note_text_work(v.as_string().size());
      return to_python_str(v.as_string());
    case Kind::Array: return to_python_list(v);
    case Kind::Object: return to_python_dict(v);
  }
  Py_RETURN_NONE;
}

PyObject* from_tape(ResultTape::Reader& reader) {
  runtime::note_work();
  switch (reader.tag()) {
    case ResultTape::kNull: Py_RETURN_NONE;
    case ResultTape::kFalse: Py_RETURN_FALSE;
    case ResultTape::kTrue: Py_RETURN_TRUE;
    case ResultTape::kI64:
      charge_object(0);
      return PyLong_FromLongLong(static_cast<int64_t>(reader.number()));
    case ResultTape::kU64: charge_object(0); return PyLong_FromUnsignedLongLong(reader.number());
    case ResultTape::kF64: charge_object(0); return PyFloat_FromDouble(reader.f64());
    case ResultTape::kString: {
      const std::string_view s = reader.string();
      charge_object(s.size());
      runtime::note_text_work(s.size());
      return to_python_str(s);
    }
    case ResultTape::kText: {
      const std::string_view text = reader.string();
      charge_object(text.size());
      return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    case ResultTape::kArray: {
      const uint32_t count = reader.count();
      charge_object(8 * size_t{count});
      PyRef list(PyList_New(count));
      if (!list) return nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        PyObject* item = from_tape(reader);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
      }
      return list.release();
    }
    case ResultTape::kObject: {
      const uint32_t count = reader.count();
      charge_object(32 * size_t{count});
      PyRef dict(new_dict(count));
      if (!dict) return nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        const std::string_view key_text = reader.string();
        charge_object(key_text.size());
        PyRef key(to_python_str(key_text));
        if (!key) return nullptr;
        PyRef value(from_tape(reader));
        if (!value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* to_python(ResultTape::Reader& reader) { return from_tape(reader); }

PyObject* to_python(const View& v) { return to_python_view(v); }

}  // namespace tamsel::binding
