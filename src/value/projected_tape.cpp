#include "value/projected_tape.h"

#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tamsel_limits.h"
#include "value/json_tokens.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;
using namespace json_tokens;

// Deeper nesting goes to the whole-document parse, whose depth rules are
// the exact ones; this margin keeps every text taken here well inside them.
constexpr size_t kDepthTaken = kMaxJsonDepth - 2;

constexpr uint64_t tape_word(char type, uint64_t payload = 0) {
  return (uint64_t{static_cast<uint8_t>(type)} << 56) | payload;
}

}  // namespace

// What a read keeps between texts.
struct ProjectedTapeReader::Room {
  struct Frame {
    bool object;
    const Projection* need;
    size_t open;      // the tape index of its opening word
    uint32_t count;   // members or elements written
    size_t position;  // the next element's position (arrays)
  };
  std::vector<Frame> frames;
  // Whether each container open in a checked value is an object, by depth.
  std::vector<uint8_t> container_is_object = std::vector<uint8_t>(kDepthTaken + 2);
  std::string key;
};

namespace {

class Reader {
 public:
  using Room = ProjectedTapeReader::Room;
  using Frame = Room::Frame;

  // Reads the text whose structural characters are at the offsets `at`
  // of `text`, `count` of them.
  Reader(Room& room, dom::parser& parser, const uint8_t* text, const uint32_t* at,
         uint32_t count)
      : frames_(room.frames),
        container_is_object_(room.container_is_object),
        key_scratch_(room.key),
        text_(text),
        at_(at),
        count_(count),
        tape_(parser.doc.tape.get()),
        strings_(parser.doc.string_buf.get()) {}

  // Reads the value whose first structural character is the k-th. When
  // `end` is null it must be all of the text; otherwise it may be followed
  // by more, and *end receives the structural character after it.
  bool read(const Projection& projection, uint32_t k = 0, uint32_t* end = nullptr);

 private:
  uint8_t char_at(uint32_t k) const { return text_[at_[k]]; }
  // The end of the token at k: the next structural character's offset.
  const uint8_t* token_end(uint32_t k) const { return text_ + at_[k + 1]; }

  uint32_t check_value(uint32_t k, size_t depth);
  bool check_literal(uint32_t k) const;

  bool string_content(uint32_t k, const uint8_t** begin, const uint8_t** end) const;
  bool write_string(uint32_t k);
  bool write_number(uint32_t k);
  bool write_scalar(uint32_t k);
  bool key_text(uint32_t k, std::string_view* key);

  void open_container(bool object, const Projection* need);
  void close_container();

  std::vector<Frame>& frames_;
  std::vector<uint8_t>& container_is_object_;
  std::string& key_scratch_;

  const uint8_t* text_;
  const uint32_t* at_;  // structural offsets; at_[count_] is the text's size
  uint32_t count_;
  uint64_t* tape_;
  uint8_t* strings_;
  size_t tape_next_ = 1;  // tape_[0] is the root word, written last
  size_t strings_next_ = 0;
};

// The literal at k (true, false or null, told by its first byte, which is
// also its tape type) is whole and ends where its token does.
bool Reader::check_literal(uint32_t k) const { return literal_at(text_ + at_[k], token_end(k)); }

// Checks the value at structural k, whose containers open at `depth` + 1,
// without building it; the structural index after it, or 0 when it is not
// taken.
uint32_t Reader::check_value(uint32_t k, size_t depth) {
  // Locals, which the byte stores below cannot be taken to change.
  const uint8_t* const text = text_;
  const uint32_t* const at = at_;
  uint8_t* const is_object = container_is_object_.data();
  auto char_at = [&](uint32_t i) { return text[at[i]]; };
  const size_t base = depth;
  uint8_t c;
value:
  c = char_at(k);
value_at_c:
  // Strings first: the most common value, and one that needs no checking
  // of its own (its escapes are checked with all others, up front).
  if (c == '"') {
    ++k;
    goto after_value;
  }
  if (is_digit(c) || c == '-') {
    NumberShape shape;
    if (!scan_number(text + at[k], text + at[k + 1], &shape)) return 0;
    ++k;
    goto after_value;
  }
  if (c == '{' || c == '[') {
    const bool object = c == '{';
    if (char_at(k + 1) == (object ? '}' : ']')) {
      k += 2;
      goto after_value;
    }
    if (++depth > kDepthTaken) return 0;
    is_object[depth] = object;
    ++k;
    if (object) goto member;
    goto value;
  }
  if (!check_literal(k)) return 0;
  ++k;
  goto after_value;
member:
  if (char_at(k) != '"' || char_at(k + 1) != ':') return 0;
  k += 2;
  c = char_at(k);
  goto value_at_c;
after_value:
  if (depth == base) return k;
  c = char_at(k);
  if (c == ',') {
    ++k;
    if (is_object[depth]) goto member;
    goto value;
  }
  if (c != (is_object[depth] ? '}' : ']')) return 0;
  ++k;
  --depth;
  goto after_value;
}

bool Reader::string_content(uint32_t k, const uint8_t** begin, const uint8_t** end) const {
  return json_tokens::string_content(text_ + at_[k], token_end(k), begin, end);
}

bool Reader::write_string(uint32_t k) {
  const uint8_t* begin = text_ + at_[k] + 1;
  uint8_t* const out = strings_ + strings_next_ + sizeof(uint32_t);
  uint8_t* written;
  if (const uint8_t* close = plain_string_end(begin)) {
    std::memcpy(out, begin, close - begin);
    written = out + (close - begin);
  } else {
    const uint8_t* end;
    if (!string_content(k, &begin, &end) || !(written = unescape(begin, end, out))) return false;
  }
  const auto length = static_cast<uint32_t>(written - out);
  std::memcpy(strings_ + strings_next_, &length, sizeof length);
  *written = 0;
  tape_[tape_next_++] = tape_word('"', strings_next_);
  strings_next_ += sizeof(uint32_t) + length + 1;
  return true;
}

bool Reader::write_number(uint32_t k) {
  Number number;
  if (!read_number(text_ + at_[k], token_end(k), &number)) return false;
  tape_[tape_next_++] = tape_word(number.type);
  tape_[tape_next_++] = number.bits;
  return true;
}

bool Reader::write_scalar(uint32_t k) {
  switch (char_at(k)) {
    case '"': return write_string(k);
    case 't':
    case 'f':
    case 'n':
      tape_[tape_next_++] = tape_word(static_cast<char>(char_at(k)));
      return check_literal(k);
    default: return write_number(k);
  }
}

// The decoded text of the key at k, for looking it up.
bool Reader::key_text(uint32_t k, std::string_view* key) {
  const uint8_t* begin = text_ + at_[k] + 1;
  if (const uint8_t* close = plain_string_end(begin)) {
    *key = std::string_view(reinterpret_cast<const char*>(begin), close - begin);
    return true;
  }
  const uint8_t* end;
  if (!string_content(k, &begin, &end)) return false;
  key_scratch_.resize(end - begin);
  auto* out = reinterpret_cast<uint8_t*>(key_scratch_.data());
  const uint8_t* written = unescape(begin, end, out);
  if (!written) return false;
  *key = std::string_view(key_scratch_.data(), written - out);
  return true;
}

void Reader::open_container(bool object, const Projection* need) {
  frames_.push_back(Frame{object, need, tape_next_++, 0, 0});
}

void Reader::close_container() {
  const Frame& frame = frames_.back();
  const size_t close = tape_next_++;
  tape_[close] = tape_word(frame.object ? '}' : ']', frame.open);
  const uint64_t count = frame.count < 0xFFFFFF ? frame.count : 0xFFFFFF;
  tape_[frame.open] = tape_word(frame.object ? '{' : '[', (count << 32) | (close + 1));
  frames_.pop_back();
}

bool Reader::read(const Projection& projection, uint32_t k, uint32_t* end) {
  frames_.clear();
  const Projection* need = &projection;
value:
  // Builds the value at k, of which `need` is needed.
  switch (char_at(k)) {
    case '{':
    case '[': {
      const bool object = char_at(k) == '{';
      if (frames_.size() + 1 > kDepthTaken) return false;
      open_container(object, need);
      if (char_at(k + 1) == (object ? '}' : ']')) {
        close_container();
        k += 2;
        goto after_value;
      }
      ++k;
      if (object) goto member;
      goto element;
    }
    default:
      if (!write_scalar(k)) return false;
      ++k;
      goto after_value;
  }
member: {
  Frame& frame = frames_.back();
  std::string_view key;
  if (char_at(k) != '"' || char_at(k + 1) != ':' || !key_text(k, &key)) return false;
  need = frame.need->member(key);
  if (need) {
    ++frame.count;
    if (!write_string(k)) return false;
    k += 2;
    goto value;
  }
  // A string member, the most common, needs no checking of its own.
  if (char_at(k + 2) == '"') {
    k += 3;
    goto after_value;
  }
  k = check_value(k + 2, frames_.size());
  if (k == 0) return false;
  goto after_value;
}
element: {
  Frame& frame = frames_.back();
  const size_t position = frame.position++;
  need = frame.need->element(position);
  if (need) {
    ++frame.count;
    goto value;
  }
  // Only its place is needed, or not even that: a null keeps the place.
  if (frame.need->keeps_element(position)) {
    ++frame.count;
    tape_[tape_next_++] = tape_word('n');
  }
  k = check_value(k, frames_.size());
  if (k == 0) return false;
  goto after_value;
}
after_value:
  if (frames_.empty()) {
    // One value, and nothing after it unless more values may follow.
    if (end) {
      *end = k;
    } else if (k != count_) {
      return false;
    }
    // The root words: the first gives the length of the tape.
    tape_[tape_next_] = tape_word('r');
    tape_[0] = tape_word('r', tape_next_ + 1);
    return true;
  }
  {
    const bool object = frames_.back().object;
    switch (char_at(k)) {
      case ',':
        ++k;
        if (object) goto member;
        goto element;
      case '}':
      case ']':
        if ((char_at(k) == '}') != object) return false;
        close_container();
        ++k;
        goto after_value;
      default:
        return false;
    }
  }
}

}  // namespace

ProjectedTapeReader::ProjectedTapeReader() : room_(std::make_unique<Room>()) {}
ProjectedTapeReader::~ProjectedTapeReader() = default;

bool ProjectedTapeReader::read(dom::parser& parser, const char* text, size_t size,
                               const Projection& projection) {
  // A parser that has not been allocated has no stage 1 to run: so it is for
  // an empty text, since room for none is no room, and the whole parse then
  // refuses that text anyway.
  if (!parser.implementation) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text);
  if (parser.implementation->stage1(bytes, size, simdjson::stage1_mode::regular) !=
      simdjson::SUCCESS)
    return false;
  if (!all_escapes_taken(bytes, size)) return false;
  Reader reader(*room_, parser, bytes, parser.implementation->structural_indexes.get(),
                static_cast<uint32_t>(parser.implementation->n_structural_indexes));
  return reader.read(projection);
}

bool ProjectedTapeReader::escapes_taken(const char* text, size_t size) {
  return all_escapes_taken(reinterpret_cast<const uint8_t*>(text), size);
}

bool ProjectedTapeReader::read_next(simdjson::dom::parser& parser, const IndexedTexts& texts,
                                    uint32_t k, const Projection& projection, uint32_t* next) {
  Reader reader(*room_, parser, reinterpret_cast<const uint8_t*>(texts.data()), texts.offsets(),
                texts.count());
  return reader.read(projection, k, next);
}

}  // namespace tamsel
