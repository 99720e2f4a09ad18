// One way to read a JSON value wherever it lives: a built Value, or a part of
// the parsed input document read in place on simdjson's tape (directly, or
// held by a built value as a document part). Every operation that only reads
// its input is written once, against a View, and never builds a tree of the
// document part it reads.
//
// A View is as valid as what it reads: the Value it was made from, or the
// parsed document.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "value/document_ref.h"
#include "value/object_map.h"
#include "value/value.h"

namespace tamsel {

class View {
 public:
  // Implicit, so that a Value reads as itself wherever a View is taken.
  View(const Value& v)
      : value_(v.is_document_part() ? nullptr : &v), kind_(v.kind()), bits_(v.as_u64()) {
    if (value_ == nullptr) document_ = document_ref_of(v);
  }
  explicit View(DocumentRef ref);

  // Inside the parsed document (document_ref()), or a built Value (value())
  // otherwise.
  bool in_document() const { return value_ == nullptr; }
  DocumentRef document_ref() const { return document_; }
  const Value& value() const { return *value_; }

  Kind kind() const { return kind_; }
  bool is_number() const { return kind_ == Kind::I64 || kind_ == Kind::U64 || kind_ == Kind::F64; }
  bool is_container() const { return kind_ == Kind::Array || kind_ == Kind::Object; }

  // Payloads, each only for a view of that kind.
  bool as_bool() const { return bits_ != 0; }
  int64_t as_i64() const { return static_cast<int64_t>(bits_); }
  uint64_t as_u64() const { return bits_; }
  double as_f64() const { return std::bit_cast<double>(bits_); }
  // Any number as a double.
  double as_double() const {
    switch (kind_) {
      case Kind::I64: return static_cast<double>(as_i64());
      case Kind::U64: return static_cast<double>(as_u64());
      default: return as_f64();
    }
  }
  std::string_view as_string() const {
    return value_ ? value_->as_string() : document_.get_string().value_unsafe();
  }

  // Elements of an array or members of an object (repeated keys counted).
  size_t size() const;

  template <typename Built, typename Tape>
  class Range;
  struct Member;
  using Elements = Range<Value, simdjson::dom::array::iterator>;
  using Members = Range<ObjectMap::Entry, simdjson::dom::object::iterator>;
  // The elements of an array, in order; or from the one at `first` on.
  Elements elements() const;
  Elements elements_from(size_t first) const;
  // The element at `position`, which is inside the array.
  View element(size_t position) const;
  // The members of an object, in iteration order.
  Members members() const;
  // The value of the first member with `key`, if any (objects only).
  std::optional<View> member(std::string_view key) const;
  // The first and the last element (arrays only, not empty).
  View front() const;
  View back() const;

  // A Value that denotes the same: a deep copy of a built value (document
  // parts in it stay references), a document value for a part on the tape.
  Value to_value() const { return value_ ? value_->copy() : document_value(document_); }

 private:
  // What the ranges hand out for one item.
  static View item(const Value& element) { return View(element); }
  static View item(simdjson::dom::array::iterator element) { return View(*element); }
  static Member item(const ObjectMap::Entry& entry);
  static Member item(simdjson::dom::object::iterator member);

  const Value* value_ = nullptr;
  DocumentRef document_;
  Kind kind_;
  // The payload of a Bool or a number, read once: the bits of the bool,
  // integer or double.
  uint64_t bits_ = 0;
};

inline View::View(DocumentRef ref) : document_(ref) {
  using simdjson::dom::element_type;
  switch (ref.type()) {
    case element_type::ARRAY: kind_ = Kind::Array; return;
    case element_type::OBJECT: kind_ = Kind::Object; return;
    case element_type::STRING: kind_ = Kind::String; return;
    case element_type::NULL_VALUE: kind_ = Kind::Null; return;
    case element_type::BOOL:
      kind_ = Kind::Bool;
      bits_ = ref.get_bool().value_unsafe() ? 1 : 0;
      return;
    case element_type::INT64: {
      // Integers without a minus sign are U64, as kind_of() says.
      const int64_t i = ref.get_int64().value_unsafe();
      kind_ = i < 0 ? Kind::I64 : Kind::U64;
      bits_ = static_cast<uint64_t>(i);
      return;
    }
    case element_type::UINT64:
      kind_ = Kind::U64;
      bits_ = ref.get_uint64().value_unsafe();
      return;
    case element_type::DOUBLE:
      kind_ = Kind::F64;
      bits_ = std::bit_cast<uint64_t>(ref.get_double().value_unsafe());
      return;
  }
  kind_ = Kind::Null;
}

struct View::Member {
  std::string_view key;
  View value;
  // The key's Value in a built object; nullptr for a member on the tape,
  // whose key text lives as long as the document.
  const Value* key_value;
};

// The elements or members of a container, built or on the tape: `Built` is
// the built container's item type, `Tape` simdjson's iterator over the same.
template <typename Built, typename Tape>
class View::Range {
 public:
  class iterator {
   public:
    auto operator*() const { return in_document_ ? View::item(tape_) : View::item(*built_); }
    iterator& operator++() {
      if (in_document_) {
        ++tape_;
      } else {
        ++built_;
      }
      return *this;
    }
    bool operator!=(const iterator& o) const {
      return in_document_ ? tape_ != o.tape_ : built_ != o.built_;
    }

   private:
    friend class View;
    bool in_document_ = false;
    const Built* built_ = nullptr;
    Tape tape_;
  };
  iterator begin() const { return begin_; }
  iterator end() const { return end_; }

 private:
  friend class View;
  static Range of(const Built* first, const Built* last) {
    Range range;
    range.begin_.built_ = first;
    range.end_.built_ = last;
    return range;
  }
  static Range of(Tape first, Tape last) {
    Range range;
    range.begin_.in_document_ = range.end_.in_document_ = true;
    range.begin_.tape_ = first;
    range.end_.tape_ = last;
    return range;
  }
  iterator begin_, end_;
};

inline View::Member View::item(const ObjectMap::Entry& entry) {
  return Member{entry.key.as_string(), View(entry.value), &entry.key};
}

inline View::Member View::item(simdjson::dom::object::iterator member) {
  return Member{member.key(), View(member.value()), nullptr};
}

// A member's key as a Value of its own: a copy of a built key, a view of a
// key on the tape.
inline Value key_value(const View::Member& m) {
  if (m.key_value) return m.key_value->copy();
  return Value::string_view(m.key.data(), static_cast<uint32_t>(m.key.size()));
}

inline size_t View::size() const {
  if (value_) {
    return kind_ == Kind::Array ? value_->as_array().size() : value_->as_object().size();
  }
  return kind_ == Kind::Array ? document_element_count(document_array(document_))
                          : document_element_count(document_object(document_));
}

inline View::Elements View::elements() const {
  if (value_) {
    const Array& items = value_->as_array();
    return Elements::of(items.data(), items.data() + items.size());
  }
  simdjson::dom::array array = document_array(document_);
  return Elements::of(array.begin(), array.end());
}

inline View::Elements View::elements_from(size_t first) const {
  if (value_) {
    const Array& items = value_->as_array();
    return Elements::of(items.data() + std::min(first, items.size()), items.data() + items.size());
  }
  // The tape links forward only: walk to the first.
  simdjson::dom::array array = document_array(document_);
  auto start = array.begin(), end = array.end();
  for (; first > 0 && start != end; --first) ++start;
  return Elements::of(start, end);
}

inline View View::element(size_t position) const { return *elements_from(position).begin(); }

inline View::Members View::members() const {
  if (value_) {
    const ObjectMap& map = value_->as_object();
    return Members::of(map.begin(), map.end());
  }
  simdjson::dom::object object = document_object(document_);
  return Members::of(object.begin(), object.end());
}

// The view is made in the optional's own room: one made beside it and
// copied in is read back right after its last writes, which the processor
// is slow to serve, on the path of every field step.
inline std::optional<View> View::member(std::string_view key) const {
  if (value_) {
    const Value* v = value_->as_object().get(key);
    if (!v) return std::nullopt;
    return std::optional<View>(std::in_place, *v);
  }
  DocumentRef found;
  if (!document_member(document_, key, &found)) return std::nullopt;
  return std::optional<View>(std::in_place, found);
}

inline View View::front() const { return *elements().begin(); }

inline View View::back() const {
  if (value_) return View(value_->as_array().back());
  // The tape links forward only: walk to the last element.
  DocumentRef last;
  for (DocumentRef element : document_array(document_)) last = element;
  return View(last);
}

}  // namespace tamsel
