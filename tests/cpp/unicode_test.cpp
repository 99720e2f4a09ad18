#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "unicode/unicode.h"
#include "unicode/utf8.h"

namespace {

using tamsel::unicode::is_alphanumeric;
using tamsel::unicode::is_grapheme_extend;
using tamsel::unicode::is_printable;
using tamsel::unicode::is_white_space;

struct PropertyCase {
  char32_t code_point;
  bool alphanumeric;
  bool white_space;
  bool grapheme_extend;
  bool printable;
};

std::string hex(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

TEST(UnicodeProperties, KnownCodePoints) {
  const std::vector<PropertyCase> cases = {
      // code point  alnum  space  extend print
      {U'\0', false, false, false, false},    // Cc
      {U'\t', false, true, false, false},     // Cc, but white space
      {U'\v', false, true, false, false},     // vertical tab is White_Space too
      {U' ', false, true, false, true},       // the one printable space
      {U'!', false, false, false, true},
      {U'0', true, false, false, true},
      {U'9', true, false, false, true},
      {U'A', true, false, false, true},
      {U'Z', true, false, false, true},
      {U'a', true, false, false, true},
      {U'z', true, false, false, true},
      {U'_', false, false, false, true},
      {U'-', false, false, false, true},
      {U'~', false, false, false, true},
      {0x7F, false, false, false, false},     // DEL, Cc
      {0x85, false, true, false, false},      // NEL, Cc
      {0xA0, false, true, false, false},      // no-break space, Zs
      {0xAA, true, false, false, true},       // feminine ordinal, Lo
      {0xAD, false, false, false, false},     // soft hyphen, Cf
      {0xB2, true, false, false, true},       // superscript two, No
      {0xE9, true, false, false, true},       // e acute
      {0x0301, false, false, true, true},     // combining acute, Mn
      {0x0345, true, false, true, true},      // Mn yet Alphabetic
      {0x0378, false, false, false, false},   // unassigned
      {0x0660, true, false, false, true},     // Arabic-Indic zero, Nd
      {0x1680, false, true, false, false},    // Ogham space, Zs
      {0x200B, false, false, false, false},   // zero width space, Cf
      {0x200C, false, false, true, false},    // ZWNJ: Cf and Grapheme_Extend
      {0x2028, false, true, false, false},    // line separator, Zl
      {0x2029, false, true, false, false},    // paragraph separator, Zp
      {0x2160, true, false, false, true},     // Roman numeral one, Nl
      {0x3000, false, true, false, false},    // ideographic space
      {0x4E00, true, false, false, true},     // inside a First/Last block
      {0x9FFF, true, false, false, true},     // last of that block
      {0xAC00, true, false, false, true},     // Hangul syllable block
      {0xD800, false, false, false, false},   // surrogate
      {0xDFFF, false, false, false, false},
      {0xE000, false, false, false, false},   // private use
      {0xFEFF, false, false, false, false},   // byte order mark, Cf
      {0xFFFD, false, false, false, true},    // replacement character, So
      {0xFFFF, false, false, false, false},   // noncharacter
      {0x1F600, false, false, false, true},   // emoji, So
      {0x20000, true, false, false, true},    // CJK extension B
      {0xE0001, false, false, false, false},  // language tag, Cf
      {0xE0100, false, false, true, true},    // variation selector 17, Mn
      {0x10FFFD, false, false, false, false}, // plane 16 private use
      {0x10FFFF, false, false, false, false}, // noncharacter, last code point
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex(c.code_point));
    EXPECT_EQ(is_alphanumeric(c.code_point), c.alphanumeric);
    EXPECT_EQ(is_white_space(c.code_point), c.white_space);
    EXPECT_EQ(is_grapheme_extend(c.code_point), c.grapheme_extend);
    EXPECT_EQ(is_printable(c.code_point), c.printable);
  }
}

TEST(UnicodeProperties, BeyondTheLastCodePointHasNoProperties) {
  for (char32_t c : {char32_t{0x110000}, char32_t{0x7FFFFFFF}, char32_t{0xFFFFFFFF}}) {
    SCOPED_TRACE(hex(c));
    EXPECT_FALSE(is_alphanumeric(c));
    EXPECT_FALSE(is_white_space(c));
    EXPECT_FALSE(is_grapheme_extend(c));
    EXPECT_FALSE(is_printable(c));
  }
}

// The ASCII shortcut must agree with the ordinary character classes.
TEST(UnicodeProperties, AsciiMatchesCharacterClasses) {
  for (char32_t c = 0; c < 0x80; ++c) {
    SCOPED_TRACE(hex(c));
    bool digit = c >= '0' && c <= '9';
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    EXPECT_EQ(is_alphanumeric(c), digit || letter);
    EXPECT_EQ(is_white_space(c), c == ' ' || (c >= 0x09 && c <= 0x0D));
    EXPECT_FALSE(is_grapheme_extend(c));
    EXPECT_EQ(is_printable(c), c >= 0x20 && c < 0x7F);
  }
}

struct Utf8Case {
  char32_t code_point;
  std::string_view bytes;
};

// Both ends of each sequence length.
const std::vector<Utf8Case> kUtf8Cases = {
    {0x00, std::string_view("\0", 1)},
    {0x41, "A"},
    {0x7F, "\x7F"},
    {0x80, "\xC2\x80"},
    {0xE9, "\xC3\xA9"},
    {0x7FF, "\xDF\xBF"},
    {0x800, "\xE0\xA0\x80"},
    {0x20AC, "\xE2\x82\xAC"},
    {0xFFFF, "\xEF\xBF\xBF"},
    {0x10000, "\xF0\x90\x80\x80"},
    {0x1F600, "\xF0\x9F\x98\x80"},
    {0x10FFFF, "\xF4\x8F\xBF\xBF"},
};

TEST(Utf8, AppendAndDecodeEachLength) {
  for (const auto& c : kUtf8Cases) {
    SCOPED_TRACE(hex(c.code_point));
    std::string encoded;
    tamsel::utf8::append(encoded, c.code_point);
    EXPECT_EQ(encoded, c.bytes);
    EXPECT_EQ(tamsel::utf8::sequence_length(static_cast<unsigned char>(c.bytes[0])),
              c.bytes.size());

    size_t length = 0;
    EXPECT_EQ(tamsel::utf8::decode_at(c.bytes, 0, &length), c.code_point);
    EXPECT_EQ(length, c.bytes.size());
    EXPECT_EQ(tamsel::utf8::count_code_points(c.bytes), 1u);
  }
}

TEST(Utf8, StepsThroughMixedText) {
  std::string text;
  for (const auto& c : kUtf8Cases) tamsel::utf8::append(text, c.code_point);
  EXPECT_EQ(tamsel::utf8::count_code_points(text), kUtf8Cases.size());

  size_t pos = 0;
  for (const auto& c : kUtf8Cases) {
    SCOPED_TRACE(hex(c.code_point));
    ASSERT_LT(pos, text.size());
    size_t length = 0;
    EXPECT_EQ(tamsel::utf8::decode_at(text, pos, &length), c.code_point);
    pos += length;
  }
  EXPECT_EQ(pos, text.size());
}

TEST(Utf8, CountCodePoints) {
  const std::vector<std::pair<std::string_view, size_t>> cases = {
      {"", 0}, {"abc", 3}, {"a\xC3\xA9z", 3}, {"\xE2\x82\xAC\xF0\x9F\x98\x80", 2},
  };
  for (const auto& [text, count] : cases) {
    EXPECT_EQ(tamsel::utf8::count_code_points(text), count) << text;
  }
}

// A lead byte whose continuation bytes are missing must not be read past the
// end of the text.
TEST(Utf8, TruncatedSequenceStaysInBounds) {
  const std::string_view truncated[] = {"\xC3", "\xE2\x82", "\xF0\x9F\x98"};
  for (std::string_view text : truncated) {
    std::string owned(text);  // exact-size heap buffer so sanitizers see overreads
    size_t length = 0;
    EXPECT_EQ(tamsel::utf8::decode_at(owned, 0, &length),
              static_cast<unsigned char>(owned[0]));
    EXPECT_EQ(length, 1u);
  }
}

}  // namespace
