#include "binding/convert.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "binding/py_ref.h"
#include "runtime/bounds.h"
#include "unicode/utf8_transcode.h"
#include "value/object_map.h"
#include "value/text_walk.h"

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
// position after its closing word, where the next value starts.
constexpr uint64_t kPayload = simdjson::internal::JSON_VALUE_MASK;
constexpr uint32_t kCountSaturated = simdjson::internal::JSON_COUNT_MASK;

char type_of(uint64_t word) { return static_cast<char>(word >> 56); }
bool opens_container(uint64_t word) { return type_of(word) == '[' || type_of(word) == '{'; }

uint64_t number_after(const uint64_t* at) {
  uint64_t bits;
  std::memcpy(&bits, at + 1, sizeof bits);
  return bits;
}

}  // namespace

struct Converter::Tape {
  explicit Tape(const simdjson::dom::document& doc)
      : words(doc.tape.get()), strings(doc.string_buf.get()) {}
  const uint64_t* words;
  const uint8_t* strings;

  std::string_view string(uint64_t word) const {
    const uint8_t* at = strings + (word & kPayload);
    uint32_t length;
    std::memcpy(&length, at, sizeof length);
    return std::string_view(reinterpret_cast<const char*>(at + sizeof length), length);
  }
  // Where the value after the one at `at` starts.
  const uint64_t* next(const uint64_t* at) const {
    switch (type_of(*at)) {
      case '[':
      case '{': return words + static_cast<uint32_t>(*at);
      case 'l':
      case 'u':
      case 'd': return at + 2;
      default: return at + 1;
    }
  }
  // The elements or members of the container at `at`.
  size_t count(const uint64_t* at) const {
    const size_t count = (*at >> 32) & kCountSaturated;
    if (count < kCountSaturated) return count;
    // Saturated: counted by stepping over them.
    const bool object = type_of(*at) == '{';
    const uint64_t* const end = next(at) - 1;  // the closing word
    size_t counted = 0;
    for (const uint64_t* p = at + 1; p < end; ++counted) p = next(object ? p + 1 : p);
    return counted;
  }
};

void Converter::settle() {
  if (!collector_paused_) collector_paused_.emplace();
  const size_t bytes = std::exchange(owed_bytes_, 0);
  const size_t work = std::exchange(owed_work_, 0);
  runtime::charge_or_throw(bytes);
  runtime::note_work(work);
}

PyObject* Converter::new_string(std::string_view text) {
  made(text.size(), 1 + text.size() / runtime::kTextBytesPerUnit);
  return new_str(text);
}

PyObject* Converter::key_of(std::string_view text, bool* borrowed) {
  *borrowed = false;
  if (!share_keys_ || text.size() > KeyCache::kLongestKey) return new_string(text);
  if (!lease_) lease_.emplace();
  KeyCache* cache = lease_->cache();
  if (!cache) return new_string(text);
  KeyCache::Slot& slot = cache->slot(text);
  if (KeyCache::holds(slot, text)) {
    *borrowed = true;
    return slot.str;
  }
  PyObject* key = new_string(text);
  if (key && PyUnicode_IS_ASCII(key)) KeyCache::put(slot, key, text);
  return key;
}

PyObject* Converter::built_list(const View& array) {
  made(8 * array.size());
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
  made(32 * object.size());
  PyRef dict(new_dict(object.size()));
  if (!dict) return nullptr;
  for (const View::Member& member : object.members())
    if (!set_member(dict.get(), member.key, member.value)) return nullptr;
  return dict.release();
}

PyObject* Converter::object_of(const engine::PathRecord& record, const View* values) {
  made(32 * record.size());
  PyRef dict(new_dict(record.size()));
  if (!dict) return nullptr;
  for (size_t i = 0; i < record.size(); ++i)
    if (!set_member(dict.get(), record.key(i), values[i])) return nullptr;
  return dict.release();
}

PyObject* Converter::entries_of(const View& object) {
  made(8 * object.size());
  PyRef list(PyList_New(static_cast<Py_ssize_t>(object.size())));
  if (!list) return nullptr;
  // Shared, the two names are taken from the cache once for the whole list,
  // and held: making a value may take their slots.
  PyRef names[2];
  if (share_keys_) {
    const std::string_view texts[2] = {"key", "value"};
    for (int i = 0; i < 2; ++i) {
      bool borrowed;
      PyObject* name = key_of(texts[i], &borrowed);
      if (!name) return nullptr;
      names[i] = borrowed ? PyRef::borrow(name) : PyRef(name);
    }
  }
  Py_ssize_t i = 0;
  for (const View::Member& member : object.members()) {
    made(32 * 2);
    PyRef entry(new_dict(2));
    if (!entry) return nullptr;  // the list releases what it holds so far
    // The key is a value here, and a value is never shared: a str of its own.
    const Value key =
        Value::string_view(member.key.data(), static_cast<uint32_t>(member.key.size()));
    const bool set = names[0] ? set_member(entry.get(), names[0].get(), key) &&
                                    set_member(entry.get(), names[1].get(), member.value)
                              : set_member(entry.get(), "key", key) &&
                                    set_member(entry.get(), "value", member.value);
    if (!set) return nullptr;
    PyList_SET_ITEM(list.get(), i++, entry.release());
  }
  return list.release();
}

bool Converter::set_member(PyObject* dict, PyObject* key, const View& member) {
  PyRef value(object_of(member));
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

bool Converter::set_member(PyObject* dict, std::string_view key_text, const View& member) {
  PyRef value(object_of(member));
  if (!value) return false;
  bool borrowed;
  PyObject* str = key_of(key_text, &borrowed);
  const Key key(str, borrowed);
  return key.get() && PyDict_SetItem(dict, key.get(), value.get()) == 0;
}

// The scalar at `at`; inlined into the loops over members, which meet
// mostly scalars.
[[gnu::always_inline]] inline PyObject* Converter::document_scalar(const Tape& tape,
                                                                   const uint64_t* at) {
  const uint64_t word = *at;
  switch (type_of(word)) {
    case '"': return new_string(tape.string(word));
    case 'l': made_scalar(); return PyLong_FromLongLong(static_cast<int64_t>(number_after(at)));
    case 'u': made_scalar(); return PyLong_FromUnsignedLongLong(number_after(at));
    case 'd': made_scalar(); return PyFloat_FromDouble(std::bit_cast<double>(number_after(at)));
    case 't': counted(); Py_RETURN_TRUE;
    case 'f': counted(); Py_RETURN_FALSE;
    default: counted(); Py_RETURN_NONE;  // 'n'
  }
}

PyObject* Converter::document_list(const Tape& tape, const uint64_t* at) {
  const size_t count = tape.count(at);
  made(8 * count);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  const uint64_t* element = at + 1;
  for (size_t i = 0; i < count; ++i) {
    PyObject* item = opens_container(*element) ? document_value(tape, element)
                                               : document_scalar(tape, element);
    if (!item) return nullptr;  // the list releases what it holds so far
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    element = tape.next(element);
  }
  return list.release();
}

PyObject* Converter::document_dict(const Tape& tape, const uint64_t* at) {
  const size_t count = tape.count(at);
  made(32 * count);
  PyRef dict(new_dict(count));
  if (!dict) return nullptr;
  const uint64_t* member = at + 1;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view key_text = tape.string(*member++);
    PyRef value(opens_container(*member) ? document_value(tape, member)
                                         : document_scalar(tape, member));
    if (!value) return nullptr;
    bool borrowed;
    PyObject* str = key_of(key_text, &borrowed);
    const Key key(str, borrowed);
    if (!key.get() || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    member = tape.next(member);
  }
  return dict.release();
}

PyObject* Converter::document_value(const Tape& tape, const uint64_t* at) {
  switch (type_of(*at)) {
    case '[': return document_list(tape, at);
    case '{': return document_dict(tape, at);
    default: return document_scalar(tape, at);
  }
}

PyObject* Converter::object_of(const View& v) {
  if (v.in_document()) {
    const auto ref = std::bit_cast<simdjson::internal::tape_ref>(v.document_ref());
    const Tape tape(*ref.doc);
    return document_value(tape, tape.words + ref.json_index);
  }

  switch (v.kind()) {
    case Kind::Null: counted(); Py_RETURN_NONE;
    case Kind::Bool:
      counted();
      if (v.as_bool()) Py_RETURN_TRUE;
      Py_RETURN_FALSE;
    case Kind::I64: made_scalar(); return PyLong_FromLongLong(v.as_i64());
    case Kind::U64: made_scalar(); return PyLong_FromUnsignedLongLong(v.as_u64());
    case Kind::F64: made_scalar(); return PyFloat_FromDouble(v.as_f64());
    case Kind::String: return new_string(v.as_string());
    case Kind::Array: return built_list(v);
    case Kind::Object: return built_dict(v);
  }
  Py_RETURN_NONE;
}

// The objects of a walked text, made in text order: each value is pushed
// on a stack of new references, and a container, at its end, takes its
// elements or members off the top, into a list or dict made at its size.
// Whatever the stack still holds when the walk ends early is released.
class Converter::TextBuilder {
 public:
  explicit TextBuilder(Converter& converter) : converter_(converter) {}
  ~TextBuilder() {
    for (PyObject* object : stack_) Py_DECREF(object);
  }
  TextBuilder(const TextBuilder&) = delete;
  TextBuilder& operator=(const TextBuilder&) = delete;

  bool string(std::string_view text) { return push(converter_.new_string(text)); }
  bool key(std::string_view text) {
    bool borrowed;
    PyObject* key = converter_.key_of(text, &borrowed);
    if (key && borrowed) Py_INCREF(key);  // the cache's slot may be taken before its dict is made
    return push(key);
  }
  bool number(json_tokens::Number number) {
    converter_.made_scalar();
    switch (number.type) {
      case 'l': return push(PyLong_FromLongLong(static_cast<int64_t>(number.bits)));
      case 'u': return push(PyLong_FromUnsignedLongLong(number.bits));
      default: return push(PyFloat_FromDouble(std::bit_cast<double>(number.bits)));
    }
  }
  bool literal(char type) {
    converter_.counted();
    PyObject* object = type == 't' ? Py_True : type == 'f' ? Py_False : Py_None;
    Py_INCREF(object);
    return push(object);
  }
  bool close(bool object, uint32_t count) {
    return object ? close_dict(count) : close_list(count);
  }

  // The text's one value, as a new reference.
  PyObject* release() {
    PyObject* value = stack_.back();
    stack_.pop_back();
    return value;
  }

 private:
  bool push(PyObject* object) {
    if (!object) return false;
    try {
      stack_.push_back(object);
    } catch (...) {
      Py_DECREF(object);
      throw;
    }
    return true;
  }
  bool close_list(uint32_t count) {
    converter_.made(8 * size_t{count});
    PyObject* list = PyList_New(count);
    if (!list) return false;
    PyObject** const items = stack_.data() + (stack_.size() - count);
    if (count) {
      std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, items, count * sizeof *items);
    }
    stack_.resize(stack_.size() - count);
    return push(list);
  }
  bool close_dict(uint32_t count) {
    converter_.made(32 * size_t{count});
    PyObject* dict = new_dict(count);
    if (!dict) return false;
    PyObject** const members = stack_.data() + (stack_.size() - 2 * size_t{count});
    for (size_t i = 0; i < 2 * size_t{count}; i += 2) {
      if (PyDict_SetItem(dict, members[i], members[i + 1]) < 0) {
        Py_DECREF(dict);
        return false;
      }
    }
    for (size_t i = 0; i < 2 * size_t{count}; ++i) Py_DECREF(members[i]);
    stack_.resize(stack_.size() - 2 * size_t{count});
    return push(dict);
  }

  Converter& converter_;
  std::vector<PyObject*> stack_;
};

Walk Converter::object_of_text(const StructuralIndex& index, PyObject** object) {
  TextBuilder builder(*this);
  const Walk walk = walk_text(index, builder, scratch_);
  if (walk == Walk::kTaken) *object = builder.release();
  return walk;
}

PyObject* Converter::object_of(ResultTape::Reader& reader) {
  switch (reader.tag()) {
    case ResultTape::kNull: counted(); Py_RETURN_NONE;
    case ResultTape::kFalse: counted(); Py_RETURN_FALSE;
    case ResultTape::kTrue: counted(); Py_RETURN_TRUE;
    case ResultTape::kI64:
      made_scalar();
      return PyLong_FromLongLong(static_cast<int64_t>(reader.number()));
    case ResultTape::kU64: made_scalar(); return PyLong_FromUnsignedLongLong(reader.number());
    case ResultTape::kF64: made_scalar(); return PyFloat_FromDouble(reader.f64());
    case ResultTape::kString: return new_string(reader.string());
    case ResultTape::kText: {
      const std::string_view text = reader.string();
      made(text.size());
      return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    case ResultTape::kArray: {
      const uint32_t count = reader.count();
      made(8 * size_t{count});
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
      made(32 * size_t{count});
      PyRef dict(new_dict(count));
      if (!dict) return nullptr;
      for (uint32_t i = 0; i < count; ++i) {
        // The key is taken after its value is made: making the value may
        // put another key in the cache slot of this one, which would
        // release a key borrowed before.
        const std::string_view key_text = reader.string();
        PyRef value(object_of(reader));
        if (!value) return nullptr;
        bool borrowed;
        PyObject* str = key_of(key_text, &borrowed);
        const Key key(str, borrowed);
        if (!key.get() || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return dict.release();
    }
  }
  Py_RETURN_NONE;
}

}  // namespace tamsel::binding
