#include "value/json.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "value/json_ref.h"
#include "value/json_scan.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;

// Buffers sized for inputs up to this are kept for the next parse (about five
// times the text: the padded copy, simdjson's tape and string storage);
// larger ones are dropped once the caller is done, so that a program that
// once read a huge document does not pin its memory.
constexpr size_t kKeepBuffersUpTo = size_t{4} << 20;

// A fresh parser gets exactly what its first text needs (a parser made for a
// single small text stays small); later growth doubles, within the kept size,
// so that a run of slowly growing documents does not reallocate every time.
size_t grown_capacity(size_t current, size_t needed) {
  if (current == 0 || needed > kKeepBuffersUpTo) return needed;
  return std::min(std::max(needed, current * 2), kKeepBuffersUpTo);
}

// A simdjson failure that the scanner could not place: name it as best we can.
JsonError fallback_error(simdjson::error_code code) {
  const char* kind = "InternalError(TapeError)";
  switch (code) {
    case simdjson::EMPTY: kind = "Syntax"; break;
    case simdjson::DEPTH_ERROR: kind = "NestingTooDeep"; break;
    case simdjson::NUMBER_ERROR: kind = "InvalidNumber"; break;
    case simdjson::UTF8_ERROR: kind = "InvalidUtf8"; break;
    case simdjson::T_ATOM_ERROR: kind = "ExpectedTrue"; break;
    case simdjson::F_ATOM_ERROR: kind = "ExpectedFalse"; break;
    case simdjson::N_ATOM_ERROR: kind = "ExpectedNull"; break;
    case simdjson::STRING_ERROR:
    case simdjson::UNCLOSED_STRING:
    case simdjson::UNESCAPED_CHARS: kind = "Syntax"; break;
    default: break;
  }
  return JsonError{kind, 0, false, 0};
}

// Checks what simdjson accepts but our rules refuse, in one pass over the
// tape (the parsed document in text order):
// - an empty container one level deeper than kMaxJsonDepth (simdjson counts
//   only non-empty containers against its limit);
// - a number that parsed to the double zero although its exponent runs on
//   after passing 2^32, which simdjson reads as zero and we refuse. Only zero
//   values can hide that, so only their literals are looked at, through one
//   forward cursor over the text's numbers.
std::optional<JsonError> check_tape(const dom::document& doc, std::string_view text) {
  const uint64_t* tape = doc.tape.get();
  const uint64_t end = tape[0] & simdjson::internal::JSON_VALUE_MASK;
  json_scan::NumberCursor cursor(text);
  uint64_t number_ordinal = 0;
  size_t depth = 0;
  for (uint64_t i = 1; i < end; ++i) {
    switch (static_cast<char>(tape[i] >> 56)) {
      case '[':
      case '{':
        if (++depth > kMaxJsonDepth) {
          auto error = json_scan::diagnose(text);
          return error ? error : fallback_error(simdjson::DEPTH_ERROR);
        }
        break;
      case ']':
      case '}':
        --depth;
        break;
      case 'l':
      case 'u':
        ++number_ordinal;
        ++i;  // the value word
        break;
      case 'd': {
        ++i;
        const uint64_t ordinal = number_ordinal++;
        if ((tape[i] << 1) == 0) {  // +0.0 or -0.0
          json_scan::NumberToken token;
          if (auto error = json_scan::scan_number(text, cursor.start_of(ordinal), &token))
            return error;
        }
        break;
      }
      default:
        break;
    }
  }
  return std::nullopt;
}

Value materialize_string(std::string_view s, bool view_strings) {
  return view_strings ? Value::string_view(s.data(), static_cast<uint32_t>(s.size()))
                      : Value::string(s);
}

}  // namespace

Value materialize(JsonRef ref, bool view_strings) {
  switch (ref.type()) {
    case dom::element_type::ARRAY: {
      dom::array array = ref.get_array().value_unsafe();
      Array elements;
      elements.reserve(json_element_count(array));
      for (dom::element child : array) elements.push_back(materialize(child, view_strings));
      return Value::array(std::move(elements));
    }
    case dom::element_type::OBJECT: {
      dom::object object = ref.get_object().value_unsafe();
      ObjectMap map = ObjectMap::with_capacity(json_element_count(object));
      for (dom::key_value_pair member : object) {
        Value key = materialize_string(member.key, view_strings);
        map.insert_unchecked(std::move(key), materialize(member.value, view_strings));
      }
      return Value::object(std::move(map));
    }
    case dom::element_type::STRING:
      return materialize_string(ref.get_string().value_unsafe(), view_strings);
    case dom::element_type::BOOL:
      return Value::boolean(ref.get_bool().value_unsafe());
    case dom::element_type::NULL_VALUE:
      return Value::null();
    case dom::element_type::INT64: {
      const int64_t i = ref.get_int64().value_unsafe();
      return i < 0 ? Value::i64(i) : Value::u64(static_cast<uint64_t>(i));
    }
    case dom::element_type::UINT64:
      return Value::u64(ref.get_uint64().value_unsafe());
    case dom::element_type::DOUBLE:
      return Value::f64(ref.get_double().value_unsafe());
  }
  return Value::null();
}

struct JsonParser::State {
  dom::parser parser;
  std::unique_ptr<char[]> buffer;  // the padded copy of the text
  size_t buffer_capacity = 0;
  size_t last_size = 0;

  void drop_buffers() {
    parser = dom::parser();
    buffer.reset();
    buffer_capacity = 0;
  }
};

JsonParser::JsonParser() : state_(std::make_unique<State>()) {}
JsonParser::~JsonParser() = default;

std::variant<JsonRef, JsonError> JsonParser::parse_document(std::string_view text) {
  if (auto error = json_scan::check_input_size(text.size())) return *error;
  State& s = *state_;
  // Strings of the previous result may point into the buffers until now.
  if (s.last_size > kKeepBuffersUpTo) s.drop_buffers();
  s.last_size = text.size();

  const size_t size = text.size();
  if (!s.buffer || s.buffer_capacity < size) {
    const size_t capacity = grown_capacity(s.buffer_capacity, size);
    s.buffer.reset();
    s.buffer_capacity = 0;
    s.buffer.reset(new char[capacity + simdjson::SIMDJSON_PADDING]);
    s.buffer_capacity = capacity;
  }
  std::memcpy(s.buffer.get(), text.data(), size);
  std::memset(s.buffer.get() + size, 0, simdjson::SIMDJSON_PADDING);
  // simdjson counts only non-empty containers against its limit, and refuses
  // one at the limit itself; an empty container one level deeper than ours
  // is caught by check_tape.
  constexpr size_t kParserDepth = kMaxJsonDepth + 1;
  if (s.parser.capacity() < size || s.parser.max_depth() != kParserDepth) {
    const size_t capacity = grown_capacity(s.parser.capacity(), size);
    if (s.parser.allocate(capacity, kParserDepth) != simdjson::SUCCESS) {
      s.drop_buffers();
      throw std::bad_alloc();
    }
  }

  const std::string_view copy(s.buffer.get(), text.size());
  dom::element root;
  const simdjson::error_code code =
      s.parser.parse(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), false).get(root);
  if (code != simdjson::SUCCESS) {
    if (code == simdjson::MEMALLOC) {
      s.drop_buffers();
      throw std::bad_alloc();
    }
    auto error = json_scan::diagnose(copy);
    return error ? std::move(*error) : fallback_error(code);
  }
  if (auto error = check_tape(s.parser.doc, copy)) return std::move(*error);
  return root;
}

void JsonParser::release_large_buffers() {
  State& s = *state_;
  if (s.last_size > kKeepBuffersUpTo) {
    s.drop_buffers();
    s.last_size = 0;
  }
}

std::variant<Value, JsonError> JsonParser::parse(std::string_view text, bool view_strings) {
  auto parsed = parse_document(text);
  if (auto* error = std::get_if<JsonError>(&parsed)) return std::move(*error);
  Value document = materialize(std::get<JsonRef>(parsed), view_strings);
  if (!view_strings) release_large_buffers();
  return document;
}

}  // namespace tamsel
