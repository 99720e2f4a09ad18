#include "binding/convert.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "binding/py_ref.h"
#include "runtime/bounds.h"
#include "unicode/utf8_transcode.h"
#include "value/object_map.h"

namespace tamsel::binding {
namespace {

// New reference to a str holding `s` (valid UTF-8), made at its final
// width and filled in place.
PyObject* new_str(std::string_view s) {
  const utf8::UnitsNeeded needed = utf8::units_needed(s);
  const auto length = static_cast<Py_ssize_t>(needed.count);
  if (needed.ascii) {
    // ASCII text is its own compact one-byte representation: copy it in.
    PyObject* str = PyUnicode_New(length, 127);
    if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return str;
  }
  constexpr Py_UCS4 kWidest[] = {0, 0xFF, 0xFFFF, 0, 0x10FFFF};
  PyObject* str = PyUnicode_New(length, kWidest[needed.width]);
  if (!str) return nullptr;
  switch (needed.width) {
    case 1: utf8::decode_latin1(s, PyUnicode_1BYTE_DATA(str)); break;
    case 2: utf8::decode_ucs2(s, reinterpret_cast<uint16_t*>(PyUnicode_2BYTE_DATA(str))); break;
    default: utf8::decode_ucs4(s, reinterpret_cast<uint32_t*>(PyUnicode_4BYTE_DATA(str))); break;
  }
  return str;
}

// An empty dict with room for `n` members, so inserting them never resizes
// (a tenth faster for objects of a dozen members). The interpreter offers
// that only privately; from 3.14, which no test here has run, a plain dict.
#if PY_VERSION_HEX < 0x030E0000
PyObject* new_dict(size_t n) { return _PyDict_NewPresized(static_cast<Py_ssize_t>(n)); }
#else
PyObject* new_dict(size_t) { return PyDict_New(); }
#endif

// A dict member's key, owned or borrowed from the key cache.
class Key {
 public:
  Key(PyObject* str, bool borrowed) : str_(str), borrowed_(borrowed) {}
  ~Key() {
    if (!borrowed_) Py_XDECREF(str_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  PyObject* get() const { return str_; }

 private:
  PyObject* str_;
  bool borrowed_;
};

// The parsed document's tape, read in place: each value a word with its
// type in the top byte (a number's value in the word after it), strings in
// the string buffer as a 32-bit length and their bytes. An array or object
// word holds its member count (saturated at kCountSaturated) and the
// position after its closing word.
constexpr uint64_t kPayload = simdjson::internal::JSON_VALUE_MASK;
constexpr uint32_t kCountSaturated = simdjson::internal::JSON_COUNT_MASK;

const simdjson::dom::document& document_of(DocumentRef ref, size_t* at) {
  const auto tape = std::bit_cast<simdjson::internal::tape_ref>(ref);
  *at = tape.json_index;
  return *tape.doc;
}

std::string_view tape_string(const simdjson::dom::document& doc, uint64_t word) {
  const uint8_t* at = doc.string_buf.get() + (word & kPayload);
  uint32_t length;
  std::memcpy(&length, at, sizeof length);
  return std::string_view(reinterpret_cast<const char*>(at + sizeof length), length);
}

uint64_t tape_number(const simdjson::dom::document& doc, size_t at) {
  uint64_t bits;
  std::memcpy(&bits, &doc.tape[at + 1], sizeof bits);
  return bits;
}

// The members of the container at `at` whose count the tape saturated,
// counted by stepping over them.
size_t counted_members(const simdjson::dom::document& doc, size_t at, bool object) {
  const size_t end = static_cast<uint32_t>(doc.tape[at]) - 1;  // its closing word
  size_t count = 0;
  for (size_t i = at + 1; i < end; ++count) {
    if (object) ++i;  // the key
    i = simdjson::internal::tape_ref(&doc, i).after_element();
  }
  return count;
}

}  // namespace

void Converter::settle() {
  const size_t bytes = std::exchange(owed_bytes_, 0);
  const size_t work = std::exchange(owed_work_, 0);
  runtime::charge_or_throw(bytes);
  runtime::note_work(work);
}

PyObject* Converter::new_string(std::string_view text) {
  charge(text.size());
  count_work(1 + text.size() / runtime::kTextBytesPerUnit);
  return new_str(text);
}

PyObject* Converter::key_of(std::string_view text, bool* borrowed) {
  *borrowed = false;
  if (!share_keys_ || text.size() > KeyCache::kLongestKey) return new_string(text);
  if (!lease_) lease_.emplace();
  KeyCache* cache = lease_->cache();
  if (!cache) return new_string(text);
  PyObject*& slot = cache->slot(text);
  if (slot && KeyCache::holds(slot, text)) {
    *borrowed = true;
    return slot;
  }
  PyObject* key = new_string(text);
  if (key && PyUnicode_IS_ASCII(key)) {
    Py_INCREF(key);
    Py_XSETREF(slot, key);
  }
  return key;
}

PyObject* Converter::built_list(const View& array) {
  charge(8 * array.size());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(array.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (View element : array.elements()) {
    PyObject* item = object_of(element);
    if (!item) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

PyObject* Converter::built_dict(const View& object) {
  charge(32 * object.size());
  PyRef dict(new_dict(object.size()));
  if (!dict) return nullptr;
  for (const View::Member& member : object.members()) {
    PyRef value(object_of(member.value));
    if (!value) return nullptr;
    bool borrowed;
    PyObject* str = key_of(member.key, &borrowed);
    const Key key(str, borrowed);
    if (!key.get() || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* Converter::document_list(const simdjson::dom::document& doc, size_t& at) {
  const uint64_t word = doc.tape[at];
  size_t count = (word >> 32) & kCountSaturated;
  if (count == kCountSaturated) count = counted_members(doc, at, false);
  charge(8 * count);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  ++at;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = document_value(doc, at);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  ++at;  // the closing word
  return list.release();
}

PyObject* Converter::document_dict(const simdjson::dom::document& doc, size_t& at) {
  const uint64_t word = doc.tape[at];
  size_t count = (word >> 32) & kCountSaturated;
  if (count == kCountSaturated) count = counted_members(doc, at, true);
  charge(32 * count);
  PyRef dict(new_dict(count));
  if (!dict) return nullptr;
  ++at;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view key_text = tape_string(doc, doc.tape[at++]);
    PyRef value(document_value(doc, at));
    if (!value) return nullptr;
    bool borrowed;
    PyObject* str = key_of(key_text, &borrowed);
    const Key key(str, borrowed);
    if (!key.get() || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  ++at;  // the closing word
  return dict.release();
}

// The value at `at` on the tape, and `at` moved past it.
PyObject* Converter::document_value(const simdjson::dom::document& doc, size_t& at) {
  count_work();
  const uint64_t word = doc.tape[at];
  switch (static_cast<char>(word >> 56)) {
    case '"':
      ++at;
      return new_string(tape_string(doc, word));
    case 'l': {
      const auto i = static_cast<int64_t>(tape_number(doc, at));
      at += 2;
      charge(0);
      return PyLong_FromLongLong(i);
    }
    case 'u': {
      const uint64_t u = tape_number(doc, at);
      at += 2;
      charge(0);
      return PyLong_FromUnsignedLongLong(u);
    }
    case 'd': {
      const double d = std::bit_cast<double>(tape_number(doc, at));
      at += 2;
      charge(0);
      return PyFloat_FromDouble(d);
    }
    case '[': return document_list(doc, at);
    case '{': return document_dict(doc, at);
    case 't': ++at; Py_RETURN_TRUE;
    case 'f': ++at; Py_RETURN_FALSE;
    default: ++at; Py_RETURN_NONE;  // 'n'
  }
}

PyObject* Converter::object_of(const View& v) {
  if (v.in_document()) {
    size_t at = 0;
    const simdjson::dom::document& doc = document_of(v.document_ref(), &at);
    return document_value(doc, at);
  }
  count_work();
  switch (v.kind()) {
    case Kind::Null: Py_RETURN_NONE;
    case Kind::Bool:
      if (v.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case Kind::I64: charge(0); return PyLong_FromLongLong(v.as_i64());
    case Kind::U64: charge(0); return PyLong_FromUnsignedLongLong(v.as_u64());
    case Kind::F64: charge(0); return PyFloat_FromDouble(v.as_f64());
    case Kind::String: return new_string(v.as_string());
    case Kind::Array: return built_list(v);
    case Kind::Object: return built_dict(v);
  }
  Py_RETURN_NONE;
}

PyObject* Converter::object_of(ResultTape::Reader& reader) {
  count_work();
  switch (reader.tag()) {
    case ResultTape::kNull: Py_RETURN_NONE;
    case ResultTape::kFalse: Py_RETURN_FALSE;
    case ResultTape::kTrue: Py_RETURN_TRUE;
    case ResultTape::kI64:
      charge(0);
      return PyLong_FromLongLong(static_cast<int64_t>(reader.number()));
    case ResultTape::kU64: charge(0); return PyLong_FromUnsignedLongLong(reader.number());
    case ResultTape::kF64: charge(0); return PyFloat_FromDouble(reader.f64());
    case ResultTape::kString: return new_string(reader.string());
    case ResultTape::kText: {
      const std::string_view text = reader.string();
      charge(text.size());
      return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    case ResultTape::kArray: {
      const uint32_t count = reader.count();
      charge(8 * size_t{count});
      PyRef list(PyList_New(count));
      if (!list) return nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        PyObject* item = object_of(reader);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
      }
      return list.release();
    }
    case ResultTape::kObject: {
      const uint32_t count = reader.count();
      charge(32 * size_t{count});
      PyRef dict(new_dict(count));
      if (!dict) return nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        bool borrowed;
        PyObject* str = key_of(reader.string(), &borrowed);
        const Key key(str, borrowed);
        if (!key.get()) return nullptr;
        PyRef value(object_of(reader));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  }
  Py_RETURN_NONE;
}

}  // namespace tamsel::binding
