// One JSON text walked by its structural index, each value handed to a
// builder as it is read, with no tape in between: for a caller that wants
// the whole text made into values of its own (the binding's Python objects
// for the identity program). It takes what the projected reader takes
// (json_tokens.h) and leaves every other text, any invalid one among them,
// to the whole-document parse, which decides how it fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tamsel_limits.h"
#include "value/json_tokens.h"
#include "value/structural_index.h"

namespace tamsel {

// Walks `index`, calling on `builder`, in text order:
//   bool string(std::string_view)     a string value
//   bool key(std::string_view)        a member's key, before its value
//   bool number(json_tokens::Number)  a number
//   bool literal(char)                't', 'f' or 'n'
//   bool close(bool object, uint32_t count)
//                                     the end of an array of `count`
//                                     elements, or of an object of `count`
//                                     members, which came before it
// each false when the builder fails. The builder may throw, which ends the
// walk. `scratch` is room for escaped strings, kept between walks. On
// kNotTaken or kFailed the builder holds a part of the text's values, to
// be dropped.
template <class Builder>
Walk walk_text(const StructuralIndex& index, Builder& builder, std::string& scratch) {
  using namespace json_tokens;
  // Deeper nesting goes to the whole parse, whose depth rules are the exact
  // ones; this margin keeps every text taken here well inside them.
  constexpr size_t kDepthTaken = kMaxJsonDepth - 2;
  struct Frame {
    uint32_t count;
    bool object;
  };
  Frame frames[kDepthTaken];
  size_t depth = 0;

  const uint8_t* const text = index.text;
  const uint32_t* const at = index.at;
  auto char_at = [&](uint32_t i) { return text[at[i]]; };
  // The string token at k, unescaped into `scratch` when it must be.
  auto string_at = [&](uint32_t k, std::string_view* out) {
    const uint8_t* const open = text + at[k];
    if (const uint8_t* close = plain_string_end(open + 1)) {
      *out = std::string_view(reinterpret_cast<const char*>(open + 1), close - open - 1);
      return true;
    }
    const uint8_t *begin, *end;
    if (!string_content(open, text + at[k + 1], &begin, &end)) return false;
    scratch.resize(end - begin);
    auto* room = reinterpret_cast<uint8_t*>(scratch.data());
    const uint8_t* written = unescape(begin, end, room);
    if (!written) return false;
    *out = std::string_view(scratch.data(), written - room);
    return true;
  };

  if (index.count == 0) return Walk::kNotTaken;
  uint32_t k = 0;
  uint8_t c;
value:
  c = char_at(k);
  switch (c) {
    case '"': {
      std::string_view s;
      if (!string_at(k, &s)) return Walk::kNotTaken;
      if (!builder.string(s)) return Walk::kFailed;
      ++k;
      goto after_value;
    }
    case '{':
    case '[': {
      const bool object = c == '{';
      if (depth == kDepthTaken) return Walk::kNotTaken;
      if (char_at(k + 1) == (object ? '}' : ']')) {
        if (!builder.close(object, 0)) return Walk::kFailed;
        k += 2;
        goto after_value;
      }
      frames[depth++] = Frame{0, object};
      ++k;
      if (object) goto member;
      goto value;
    }
    case 't':
    case 'f':
    case 'n':
      if (!literal_at(text + at[k], text + at[k + 1])) return Walk::kNotTaken;
      if (!builder.literal(static_cast<char>(c))) return Walk::kFailed;
      ++k;
      goto after_value;
    default: {
      Number number;
      if (!read_number(text + at[k], text + at[k + 1], &number)) return Walk::kNotTaken;
      if (!builder.number(number)) return Walk::kFailed;
      ++k;
      goto after_value;
    }
  }
member: {
  std::string_view key;
  if (char_at(k) != '"' || char_at(k + 1) != ':' || !string_at(k, &key)) return Walk::kNotTaken;
  if (!builder.key(key)) return Walk::kFailed;
  k += 2;
  goto value;
}
after_value:
  if (depth == 0) return k == index.count ? Walk::kTaken : Walk::kNotTaken;
  {
    Frame& frame = frames[depth - 1];
    ++frame.count;
    c = char_at(k);
    if (c == ',') {
      ++k;
      if (frame.object) goto member;
      goto value;
    }
    if (c != (frame.object ? '}' : ']')) return Walk::kNotTaken;
    --depth;
    if (!builder.close(frame.object, frame.count)) return Walk::kFailed;
    ++k;
    goto after_value;
  }
}

}  // namespace tamsel
