// Results written out flat, for another thread or a later moment to read:
// what a run of many texts made while no Python object could be touched,
// kept until the results' Python objects are made from it.
//
// Each value is a tag byte and its payload: numbers as 8 bytes, a string or
// JSON text as a 32-bit length and its bytes, an array or object as a 32-bit
// count and then its elements (an object's members as key and value). The
// tape is read back in the order it was written, by the thread that wrote
// it or by one that it was handed to.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "value/view.h"

namespace tamsel {

class ResultTape {
 public:
  enum Tag : uint8_t { kNull, kFalse, kTrue, kI64, kU64, kF64, kString, kArray, kObject, kText };

  // Writes `v` whole, strings copied.
  void append(View v);
  // Writes an object of `count` members, each then written by append_member.
  void begin_object(size_t count);
  void append_member(std::string_view key, View value);
  // Writes to_entries of `object`, an object: an array of {key, value}.
  void append_entries(View object);
  // Starts a JSON text, to be written to text() and closed by end_text().
  void begin_text();
  std::string& text() { return bytes_; }
  void end_text();

  size_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }

  // Reads values from the start.
  class Reader {
   public:
    explicit Reader(const ResultTape& tape) : at_(tape.bytes_.data()) {}
    Tag tag() { return static_cast<Tag>(*at_++); }
    uint64_t number() { return read<uint64_t>(); }
    double f64() { return read<double>(); }
    uint32_t count() { return read<uint32_t>(); }
    std::string_view string() {
      const uint32_t size = count();
      const std::string_view s(at_, size);
      at_ += size;
      return s;
    }

   private:
    template <class T>
    T read() {
      T value;
      std::memcpy(&value, at_, sizeof value);
      at_ += sizeof value;
      return value;
    }
    const char* at_;
  };

 private:
  void put_tag(Tag tag) { bytes_.push_back(static_cast<char>(tag)); }
  template <class T>
  void put(T value) {
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void put_count(size_t count);
  void put_string(std::string_view s);

  std::string bytes_;
  size_t text_start_ = 0;
};

}  // namespace tamsel
