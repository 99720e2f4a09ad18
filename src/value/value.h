// The in-memory JSON value shared by every part of the system.
//
// A Value is 16 bytes whatever its kind: scalars are inline, strings are a
// pointer and a 32-bit byte length (owned, or a view into the parsed
// document's string storage), arrays and objects are one owning pointer away.
// A Value owns everything it points to except the bytes of a view and a
// document part (an array or object of the parsed input, held by reference).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamsel_limits.h"
#include "runtime/fault.h"

namespace tamsel {

enum class Kind : uint8_t { Null, Bool, I64, U64, F64, String, Array, Object };

class Value;
class ObjectMap;
using Array = std::vector<Value>;

class Value {
 public:
  Value() noexcept : kind_(Kind::Null), owns_(false), part_(false), len_(0), u_(0) {}
  ~Value() {
    if (owns_storage()) release();
  }
  Value(Value&& o) noexcept
      : kind_(o.kind_), owns_(o.owns_), part_(o.part_), len_(o.len_), u_(o.u_) {
    o.kind_ = Kind::Null;
    o.owns_ = false;
    o.part_ = false;
  }
  Value& operator=(Value&& o) noexcept {
    if (this != &o) {
      if (owns_storage()) release();
      kind_ = o.kind_, owns_ = o.owns_, part_ = o.part_, len_ = o.len_, u_ = o.u_;
      o.kind_ = Kind::Null;
      o.owns_ = false;
      o.part_ = false;
    }
    return *this;
  }
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;

  static Value null() { return Value(); }
  static Value boolean(bool b) { Value v; v.kind_ = Kind::Bool; v.b_ = b; return v; }
  static Value i64(int64_t i) { Value v; v.kind_ = Kind::I64; v.i_ = i; return v; }
  static Value u64(uint64_t u) { Value v; v.kind_ = Kind::U64; v.u_ = u; return v; }
  static Value f64(double d) { Value v; v.kind_ = Kind::F64; v.f_ = d; return v; }
  // A view of bytes that outlive the value: the parsed document's strings, or
  // text of the compiled query, both alive until the run's results are gone.
  static Value string_view(const char* data, uint32_t length) {
    Value v;
    v.kind_ = Kind::String;
    v.len_ = length;
    v.str_ = data;
    return v;
  }
  // An owned copy of `text`.
  static Value string(std::string_view text) {
    Value v;
    v.kind_ = Kind::String;
    v.len_ = checked_length(text.size());
    if (text.empty()) {
      v.str_ = "";
    } else {
      char* p = new char[text.size()];
      std::memcpy(p, text.data(), text.size());
      v.str_ = p;
      v.owns_ = true;
    }
    return v;
  }
  // An owned string of `length` bytes, all of them written by `fill(char*)`.
  template <typename Fill>
  static Value string_written(size_t length, Fill&& fill) {
    Value v;
    v.kind_ = Kind::String;
    v.len_ = checked_length(length);
    if (length == 0) {
      v.str_ = "";
      return v;
    }
    std::unique_ptr<char[]> p(new char[length]);
    fill(p.get());
    v.str_ = p.release();
    v.owns_ = true;
    return v;
  }
  static Value array(Array elements) {
    Value v;
    v.kind_ = Kind::Array;
    v.arr_ = new Array(std::move(elements));
    return v;
  }
  static Value object(ObjectMap map);
  // An empty object with room for `n` entries, to be filled through
  // as_object(): made where it stays, as a map filled first and moved in is
  // read back right after its last writes, which the processor is slow to
  // serve from its store buffer.
  static Value object_with_room(size_t n);
  // An array or object of the parsed input document, by reference: its
  // document and its position there (document_ref.h makes and reads these). It
  // is read through a View (value/view.h), never through as_array() or
  // as_object(); copying it copies the reference.
  static Value document_part(Kind kind, const void* document, uint32_t position) {
    Value v;
    v.kind_ = kind;
    v.part_ = true;
    v.len_ = position;
    v.doc_ = document;
    return v;
  }
  bool is_document_part() const { return part_; }
  const void* part_document() const { return doc_; }
  uint32_t part_position() const { return len_; }

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_number() const { return kind_ == Kind::I64 || kind_ == Kind::U64 || kind_ == Kind::F64; }
  bool as_bool() const { return b_; }
  int64_t as_i64() const { return i_; }
  uint64_t as_u64() const { return u_; }
  double as_f64() const { return f_; }
  std::string_view as_string() const { return {str_, len_}; }
  const Array& as_array() const { return *arr_; }
  Array& as_array() { return *arr_; }
  const ObjectMap& as_object() const { return *obj_; }
  ObjectMap& as_object() { return *obj_; }

  // Deep copy. A view stays a view of the same bytes.
  Value copy() const;

  // Strings longer than this cannot be represented; building one is an
  // internal fault of the running call.
  static uint32_t checked_length(size_t n) {
    if (n > kMaxStringLength) throw InternalFault("capacity overflow");
    return static_cast<uint32_t>(n);
  }

 private:
  // Scalars and views own nothing; only these need the out-of-line release.
  bool owns_storage() const {
    return owns_ || (!part_ && (kind_ == Kind::Array || kind_ == Kind::Object));
  }
  void release() noexcept;

  Kind kind_;
  bool owns_;  // a String whose bytes this value owns
  bool part_;  // a document part: doc_ and its position in len_
  uint32_t len_;
  union {
    bool b_;
    int64_t i_;
    uint64_t u_;
    double f_;
    const char* str_;
    Array* arr_;
    ObjectMap* obj_;
    const void* doc_;
  };
};

static_assert(sizeof(Value) == 16);

}  // namespace tamsel

#include "value/object_map.h"
