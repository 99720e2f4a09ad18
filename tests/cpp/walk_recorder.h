// The calls a walk of a text makes (text_walk.h), written down, and the
// same for simdjson's parse of it, so that the two can be compared.
#pragma once

#include <simdjson.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "value/json_tokens.h"

namespace tamsel::test {

// Each call of the walk as a word: "s3:abc", "k1:a", "l5", "d<bits>",
// "t", "]2", "}1". The call numbered `fail_at` fails.
struct Recorder {
  std::string calls;
  int fail_at = -1;
  int made = 0;

  bool record(char kind, std::string_view rest = {}) {
    calls += kind;
    calls += rest;
    calls += ' ';
    return made++ != fail_at;
  }
  bool text(char kind, std::string_view s) {
    std::string word = std::to_string(s.size());
    word += ':';
    word += s;
    return record(kind, word);
  }
  bool string(std::string_view s) { return text('s', s); }
  bool key(std::string_view s) { return text('k', s); }
  bool number(json_tokens::Number n) { return record(n.type, std::to_string(n.bits)); }
  bool literal(char type) { return record(type); }
  bool close(bool object, uint32_t count) {
    return record(object ? '}' : ']', std::to_string(count));
  }
};

// The same words for simdjson's parse of a text.
inline void record(simdjson::dom::element e, Recorder& out) {
  switch (e.type()) {
    case simdjson::dom::element_type::ARRAY: {
      uint32_t count = 0;
      const simdjson::dom::array array = e.get_array().value_unsafe();
      for (simdjson::dom::element child : array) record(child, out), ++count;
      out.close(false, count);
      break;
    }
    case simdjson::dom::element_type::OBJECT: {
      uint32_t count = 0;
      const simdjson::dom::object object = e.get_object().value_unsafe();
      for (simdjson::dom::key_value_pair member : object) {
        out.key(member.key);
        record(member.value, out);
        ++count;
      }
      out.close(true, count);
      break;
    }
    case simdjson::dom::element_type::STRING: out.string(e.get_string().value_unsafe()); break;
    case simdjson::dom::element_type::INT64:
      out.number({'l', static_cast<uint64_t>(e.get_int64().value_unsafe())});
      break;
    case simdjson::dom::element_type::UINT64: out.number({'u', e.get_uint64().value_unsafe()}); break;
    case simdjson::dom::element_type::DOUBLE:
      out.number({'d', std::bit_cast<uint64_t>(e.get_double().value_unsafe())});
      break;
    case simdjson::dom::element_type::BOOL: out.literal(e.get_bool().value_unsafe() ? 't' : 'f'); break;
    case simdjson::dom::element_type::NULL_VALUE: out.literal('n'); break;
  }
}

}  // namespace tamsel::test
