#include "value/projected_tape.h"

#include <simdjson.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fast_float/fast_float.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tamsel_limits.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;

// Deeper nesting goes to the whole-document parse, whose depth rules are
// the exact ones; this margin keeps every text taken here well inside them.
constexpr size_t kDepthTaken = kMaxJsonDepth - 2;

bool is_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool is_digit(uint8_t c) { return static_cast<uint8_t>(c - '0') < 10; }

constexpr uint64_t tape_word(char type, uint64_t payload = 0) {
  return (uint64_t{static_cast<uint8_t>(type)} << 56) | payload;
}

// The first byte at or after p that is not a decimal digit, eight bytes at
// a time (the text ends in a NUL and may be read past its end).
const uint8_t* skip_digits(const uint8_t* p) {
  constexpr uint64_t kHigh = 0xF0F0F0F0F0F0F0F0, kThrees = 0x3030303030303030,
                     kSixes = 0x0606060606060606;
  for (;;) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    // A byte is a digit when its high nibble is 3, and still is once 6 is
    // added (0x3A to 0x3F are not). A carry out of a byte of 0xFA or more
    // only reaches bytes after the first that is not a digit.
    const uint64_t not_digit =
        ((word & kHigh) ^ kThrees) | (((word + kSixes) & kHigh) ^ kThrees);
    if (not_digit != 0) return p + std::countr_zero(not_digit) / 8;
    p += sizeof word;
  }
}

// A number literal as far as this reader takes it: the grammar exactly, and
// a range that no conversion can leave (integers of at most 19 digits, 18
// with a minus sign; floats whose decimal exponent keeps them far from
// infinity, with at most four exponent digits). Anything else is not taken.
struct NumberShape {
  const uint8_t* end = nullptr;
  bool integer = true;
  bool negative = false;
};

[[gnu::always_inline]] inline bool scan_number(const uint8_t* p, const uint8_t* next_structural,
                                              NumberShape* shape) {
  shape->negative = *p == '-';
  if (shape->negative) ++p;
  const uint8_t* const digits = p;
  if (*p == '0') {
    ++p;
  } else if (is_digit(*p)) {
    p = skip_digits(p);
  } else {
    return false;
  }
  const int64_t integer_digits = p - digits;
  shape->integer = true;
  if (*p == '.') {
    shape->integer = false;
    ++p;
    if (!is_digit(*p)) return false;
    p = skip_digits(p);
  }
  int64_t exponent = 0;
  if ((*p | 0x20) == 'e') {
    shape->integer = false;
    ++p;
    const bool negative_exponent = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (!is_digit(*p)) return false;
    for (int count = 0; is_digit(*p); ++p) {
      if (++count > 4) return false;
      exponent = exponent * 10 + (*p - '0');
    }
    if (negative_exponent) exponent = -exponent;
  }
  // A number ends at white space or at the next structural character.
  if (p != next_structural && !is_space(*p)) return false;
  shape->end = p;
  if (shape->integer) return integer_digits <= (shape->negative ? 18 : 19);
  return integer_digits + exponent <= 308;  // below 10^308, short of DBL_MAX
}

// The four hex digits at p, or -1.
int32_t hex4(const uint8_t* p) {
  int32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = p[i];
    int32_t digit;
    if (is_digit(c)) {
      digit = c - '0';
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = (c | 0x20) - 'a' + 10;
    } else {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

// The escape at p (just after its backslash), within [p, end): its code
// point in `*code_point` (or the byte it stands for) and its length after
// the backslash; 0 when it is not one this reader takes. A high surrogate
// must be followed by the escape of a low one; a lone low surrogate is left
// to the whole-document parse.
size_t read_escape(const uint8_t* p, const uint8_t* end, uint32_t* code_point) {
  switch (*p) {
    case '"': *code_point = '"'; return 1;
    case '\\': *code_point = '\\'; return 1;
    case '/': *code_point = '/'; return 1;
    case 'b': *code_point = '\b'; return 1;
    case 'f': *code_point = '\f'; return 1;
    case 'n': *code_point = '\n'; return 1;
    case 'r': *code_point = '\r'; return 1;
    case 't': *code_point = '\t'; return 1;
    case 'u': break;
    default: return 0;
  }
  if (end - p < 5) return 0;
  const int32_t first = hex4(p + 1);
  if (first < 0 || (first >= 0xDC00 && first <= 0xDFFF)) return 0;
  if (first < 0xD800 || first > 0xDBFF) {
    *code_point = static_cast<uint32_t>(first);
    return 5;
  }
  if (end - p < 11 || p[5] != '\\' || p[6] != 'u') return 0;
  const int32_t second = hex4(p + 7);
  if (second < 0xDC00 || second > 0xDFFF) return 0;
  *code_point = 0x10000 + ((static_cast<uint32_t>(first) - 0xD800) << 10) +
                (static_cast<uint32_t>(second) - 0xDC00);
  return 11;
}

uint8_t* write_utf8(uint32_t cp, uint8_t* out) {
  if (cp < 0x80) {
    *out++ = static_cast<uint8_t>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<uint8_t>(0xC0 | (cp >> 6));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<uint8_t>(0xE0 | (cp >> 12));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<uint8_t>(0xF0 | (cp >> 18));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  }
  return out;
}

// The content of [p, end) decoded into `out`, which has room for it (no
// escape is longer than what it stands for); the end of what was written,
// or nullptr at an escape this reader does not take.
uint8_t* unescape(const uint8_t* p, const uint8_t* end, uint8_t* out) {
  while (p < end) {
    const auto* backslash = static_cast<const uint8_t*>(std::memchr(p, '\\', end - p));
    const uint8_t* stop = backslash ? backslash : end;
    std::memcpy(out, p, stop - p);
    out += stop - p;
    if (!backslash) break;
    uint32_t code_point = 0;
    const size_t length = read_escape(backslash + 1, end, &code_point);
    if (length == 0) return nullptr;
    out = write_utf8(code_point, out);
    p = backslash + 1 + length;
  }
  return out;
}

// The first backslash in [p, end), or nullptr. Escapes come every few
// hundred bytes in real text, where a call to memchr costs more than the
// search; so the first few blocks are searched here. Nothing past `end` is
// read: a piece of a stream ends where the reader may still be writing the
// next one into the same chunk.
const uint8_t* find_backslash(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  const __m128i backslash = _mm_set1_epi8('\\');
  for (const uint8_t* const near = p + 64; p < near && end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto found = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
    if (found != 0) return p + std::countr_zero(found);
  }
  if (p >= end) return nullptr;
#endif
  return static_cast<const uint8_t*>(std::memchr(p, '\\', end - p));
}

// Every escape in the text is one this reader takes. The backslashes are
// taken in text order, each with the escape it starts, which is how the
// strings they sit in read them; a backslash outside every string fails the
// grammar anyway, wherever this leaves it.
bool all_escapes_taken(const uint8_t* text, size_t size) {
  const uint8_t* const end = text + size;
  const uint8_t* p = text;
  while ((p = find_backslash(p, end))) {
    uint32_t code_point = 0;
    const size_t length = read_escape(p + 1, end, &code_point);
    if (length == 0) return false;
    p += 1 + length;
  }
  return true;
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

// The closing quote of a string whose content starts at p, when no escape
// comes before it; nullptr when a backslash comes first. (The structural
// pass has found every string closed, and the text may be read past its end.)
const uint8_t* plain_string_end(const uint8_t* p) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  for (;; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto quotes = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, quote)));
    const auto backslashes =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, backslash)));
    // A quote below the first backslash, or any quote when there is none.
    if (((backslashes - 1) & quotes) != 0) return p + std::countr_zero(quotes);
    if (backslashes != 0) return nullptr;
  }
#else
  for (;; ++p) {
    if (*p == '"') return p;
    if (*p == '\\') return nullptr;
  }
#endif
}

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
bool Reader::check_literal(uint32_t k) const {
  const uint8_t* p = text_ + at_[k];
  std::string_view word;
  switch (*p) {
    case 't': word = "true"; break;
    case 'f': word = "false"; break;
    case 'n': word = "null"; break;
    default: return false;
  }
  if (std::memcmp(p, word.data(), word.size()) != 0) return false;
  return p + word.size() == token_end(k) || is_space(p[word.size()]);
}

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

// The bytes between the quotes of the string at k, still escaped: its
// closing quote is the last byte before the next structural character but
// for white space.
bool Reader::string_content(uint32_t k, const uint8_t** begin, const uint8_t** end) const {
  const uint8_t* const open = text_ + at_[k];
  const uint8_t* close = token_end(k) - 1;
  while (close > open && is_space(*close)) --close;
  if (close == open || *close != '"') return false;
  *begin = open + 1;
  *end = close;
  return true;
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
  const uint8_t* const start = text_ + at_[k];
  NumberShape shape;
  if (!scan_number(start, token_end(k), &shape)) return false;
  if (shape.integer) {
    uint64_t magnitude = 0;
    for (const uint8_t* p = start + shape.negative; p < shape.end; ++p)
      magnitude = magnitude * 10 + (*p - '0');
    if (shape.negative) {
      tape_[tape_next_++] = tape_word('l');
      tape_[tape_next_++] = static_cast<uint64_t>(-static_cast<int64_t>(magnitude));
    } else {
      tape_[tape_next_++] = tape_word(magnitude > INT64_MAX ? 'u' : 'l');
      tape_[tape_next_++] = magnitude;
    }
    return true;
  }
  double value = 0;
  const char* const first = reinterpret_cast<const char*>(start);
  const char* const last = reinterpret_cast<const char*>(shape.end);
  const auto result = fast_float::from_chars(first, last, value);
  if (result.ec != std::errc() || result.ptr != last || std::isinf(value)) return false;
  tape_[tape_next_++] = tape_word('d');
  std::memcpy(&tape_[tape_next_++], &value, sizeof value);
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
