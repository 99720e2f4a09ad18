#include "value/json.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "value/json_scan.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;

// Buffers sized for inputs up to this are kept for the next parse; larger
// ones are dropped so that one huge document does not pin its memory (the
// parser's tape alone takes eight bytes per input byte).
constexpr size_t kKeepBuffersUpTo = size_t{16} << 20;

// A fresh parser gets exactly what its first text needs (a parser made for a
// single small text stays small); later growth doubles, within the kept size,
// so that a run of slowly growing documents does not reallocate every time.
size_t grown_capacity(size_t current, size_t needed) {
  if (current == 0 || needed > kKeepBuffersUpTo) return needed;
  return std::min(std::max(needed, current * 2), kKeepBuffersUpTo);
}

// simdjson stores container sizes in 24 bits and saturates above.
constexpr size_t kSaturatedCount = 0xFFFFFF;

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

// Turns simdjson's tree into Values, in text order. simdjson's number kinds
// differ from ours in two places, settled against the literal text:
// - "-0" comes back as the integer 0, but is our I64 0, not the U64 0;
// - a zero mantissa or a very negative exponent gives the double 0 however
//   many exponent digits follow, where our rules refuse an exponent that
//   keeps going after passing 2^32.
// Both only concern numbers whose value is zero, so the text is looked at
// only then, through one forward cursor over the literals.
class Builder {
 public:
  Builder(std::string_view text, bool view_strings)
      : text_(text), view_strings_(view_strings), cursor_(text) {}

  // `depth` is the nesting level of `element`'s container, the root's is 1.
  Value build(dom::element element, size_t depth = 1);
  std::optional<JsonError>& error() { return error_; }

 private:
  Value string(std::string_view s) const {
    return view_strings_ ? Value::string_view(s.data(), static_cast<uint32_t>(s.size()))
                         : Value::string(s);
  }
  Value number(dom::element element);
  // Whether the text may hold a "-0" literal at all; decided once, lazily.
  bool may_hold_negative_zero();

  std::string_view text_;
  bool view_strings_;
  json_scan::NumberCursor cursor_;
  uint64_t number_ordinal_ = 0;  // of the number being built
  int negative_zero_candidates_ = -1;  // unknown until first needed
  std::optional<JsonError> error_;
};

Value Builder::build(dom::element element, size_t depth) {
  const dom::element_type type = element.type();
  if (depth > kMaxJsonDepth &&
      (type == dom::element_type::ARRAY || type == dom::element_type::OBJECT)) {
    // simdjson lets an empty container sit one level below its limit.
    error_ = json_scan::diagnose(text_);
    if (!error_) error_ = fallback_error(simdjson::DEPTH_ERROR);
    return Value();
  }
  switch (type) {
    case dom::element_type::ARRAY: {
      dom::array array = element.get_array().value_unsafe();
      size_t count = array.size();
      if (count >= kSaturatedCount) {
        count = static_cast<size_t>(std::distance(array.begin(), array.end()));
      }
      Array elements;
      elements.reserve(count);
      for (dom::element child : array) {
        elements.push_back(build(child, depth + 1));
        if (error_) return Value();
      }
      return Value::array(std::move(elements));
    }
    case dom::element_type::OBJECT: {
      dom::object object = element.get_object().value_unsafe();
      size_t count = object.size();
      if (count >= kSaturatedCount) {
        count = static_cast<size_t>(std::distance(object.begin(), object.end()));
      }
      ObjectMap map = ObjectMap::with_capacity(count);
      for (dom::key_value_pair member : object) {
        Value key = string(member.key);
        Value value = build(member.value, depth + 1);
        if (error_) return Value();
        map.insert_unchecked(std::move(key), std::move(value));
      }
      return Value::object(std::move(map));
    }
    case dom::element_type::STRING:
      return string(element.get_string().value_unsafe());
    case dom::element_type::BOOL:
      return Value::boolean(element.get_bool().value_unsafe());
    case dom::element_type::NULL_VALUE:
      return Value::null();
    default:
      return number(element);
  }
}

Value Builder::number(dom::element element) {
  const uint64_t ordinal = number_ordinal_++;
  switch (element.type()) {
    case dom::element_type::INT64: {
      const int64_t i = element.get_int64().value_unsafe();
      if (i > 0) return Value::u64(static_cast<uint64_t>(i));
      if (i < 0) return Value::i64(i);
      if (may_hold_negative_zero() && text_[cursor_.start_of(ordinal)] == '-') return Value::i64(0);
      return Value::u64(0);
    }
    case dom::element_type::UINT64:
      return Value::u64(element.get_uint64().value_unsafe());
    default: {
      const double d = element.get_double().value_unsafe();
      if (d == 0) {
        json_scan::NumberToken token;
        error_ = json_scan::scan_number(text_, cursor_.start_of(ordinal), &token);
      }
      return Value::f64(d);
    }
  }
}

bool Builder::may_hold_negative_zero() {
  if (negative_zero_candidates_ < 0) {
    // A "-0" literal is "-0" followed by something that cannot continue a
    // number; dates and the like ("2024-01-05") don't count.
    negative_zero_candidates_ = 0;
    for (size_t at = text_.find("-0"); at != std::string_view::npos;
         at = text_.find("-0", at + 2)) {
      const char next = at + 2 < text_.size() ? text_[at + 2] : ' ';
      if (!((next >= '0' && next <= '9') || next == '.' || next == 'e' || next == 'E')) {
        negative_zero_candidates_ = 1;
        break;
      }
    }
  }
  return negative_zero_candidates_ == 1;
}

}  // namespace

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

std::variant<Value, JsonError> JsonParser::parse(std::string_view text, bool view_strings) {
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
  // is caught while building.
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

  Builder builder(copy, view_strings);
  Value document = builder.build(root);
  if (builder.error()) return std::move(*builder.error());
  if (!view_strings && s.last_size > kKeepBuffersUpTo) {
    s.drop_buffers();
    s.last_size = 0;
  }
  return document;
}

}  // namespace tamsel
