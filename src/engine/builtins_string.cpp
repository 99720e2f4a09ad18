// ascii_downcase, ascii_upcase, explode, implode, and the reversal of a text
// for reverse.
#include <cstring>
#include <string>

#include "engine/builtins_internal.h"
#include "unicode/utf8.h"

namespace tamsel::engine {
namespace {

// Loops over the characters of a text count one unit of work every
// kTextBytesPerUnit steps (a mask).
constexpr size_t kPollEvery = runtime::kTextBytesPerUnit - 1;
static_assert((runtime::kTextBytesPerUnit & kPollEvery) == 0, "a power of two");

// Shifts the bytes in [first, last] by `delta`. Bytes of multi-byte
// characters are all >= 0x80, so they never fall in an ASCII letter range.
Value shift_ascii(std::string_view s, char first, char last, int delta) {
  return Value::string_written(s.size(), [&](char* out) {
    for (size_t i = 0; i < s.size(); ++i) {
      const char c = s[i];
      out[i] = c >= first && c <= last ? static_cast<char>(c + delta) : c;
      if ((i & kPollEvery) == kPollEvery) runtime::note_work();
    }
  });
}

Value code_point_array(std::string_view s) {
  Array code_points;
  code_points.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    runtime::note_work();
    size_t length = 0;
    code_points.push_back(Value::i64(utf8::decode_at(s, pos, &length)));
    pos += length;
  }
  return Value::array(std::move(code_points));
}

Value text_of_code_points(View elements) {
  std::string text;
  for (View e : elements.elements()) {
    runtime::note_work();
    uint64_t bits;
    if (e.kind() == Kind::I64) {
      bits = static_cast<uint64_t>(e.as_i64());
    } else if (e.kind() == Kind::U64) {
      bits = e.as_u64();
    } else {
      continue;  // floats too, even integral ones
    }
    // Only the low 32 bits name the candidate code point.
    auto candidate = static_cast<uint32_t>(bits);
    if (candidate > 0x10FFFF || (candidate >= 0xD800 && candidate <= 0xDFFF)) continue;
    utf8::append(text, static_cast<char32_t>(candidate));
  }
  return Value::string(text);
}

}  // namespace

Value reverse_code_points(std::string_view s) {
  return Value::string_written(s.size(), [&](char* out) {
    // Copy each character's bytes, in order, to the mirrored position.
    size_t end = s.size();
    size_t steps = 0;
    for (size_t pos = 0; pos < s.size();) {
      size_t length = utf8::sequence_length(static_cast<unsigned char>(s[pos]));
      if (pos + length > s.size()) length = 1;
      end -= length;
      std::memcpy(out + end, s.data() + pos, length);
      if ((++steps & kPollEvery) == 0) runtime::note_work();
      pos += length;
    }
  });
}

namespace builtin {

void ascii_downcase(EvalValue input, ResultList& out) {
  if (input.kind() != Kind::String) return;
  out.push_back(EvalValue::owned(shift_ascii(input.view().as_string(), 'A', 'Z', 'a' - 'A')));
}

void ascii_upcase(EvalValue input, ResultList& out) {
  if (input.kind() != Kind::String) return;
  out.push_back(EvalValue::owned(shift_ascii(input.view().as_string(), 'a', 'z', 'A' - 'a')));
}

void explode(EvalValue input, ResultList& out) {
  if (input.kind() != Kind::String) return;
  out.push_back(EvalValue::owned(code_point_array(input.view().as_string())));
}

void implode(EvalValue input, ResultList& out) {
  if (input.kind() != Kind::Array) return;
  out.push_back(EvalValue::owned(text_of_code_points(input.view())));
}

}  // namespace builtin

}  // namespace tamsel::engine
