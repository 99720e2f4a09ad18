#include <gtest/gtest.h>

#include <fast_float/fast_float.h>

#include <algorithm>
#include <system_error>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "engine/render.h"
#include "engine_value_builders.h"

namespace {

using namespace tamsel::testing;
using tamsel::ObjectMap;
using tamsel::Value;
using tamsel::engine::append_float;
using tamsel::engine::escape_json_string;
using tamsel::engine::to_display_text;
using tamsel::engine::to_json_text;


std::string zeros(size_t n) { return std::string(n, '0'); }

std::string float_text(double x) {
  std::string out;
  append_float(out, x);
  return out;
}

struct RenderCase {
  Value value;
  std::string json, display;
};

TEST(Render, JsonAndDisplayText) {
  const RenderCase cases[] = {
      {N(), "null", "null"},
      {B(true), "true", "true"},
      {B(false), "false", "false"},
      {I(0), "0", "0"},
      {I(-42), "-42", "-42"},
      {I(std::numeric_limits<int64_t>::min()), "-9223372036854775808", "-9223372036854775808"},
      {U(std::numeric_limits<uint64_t>::max()), "18446744073709551615", "18446744073709551615"},
      {F(100.0), "100", "100"},
      {F(-0.0), "-0", "-0"},
      {F(kNaN), "null", "NaN"},
      {F(-kNaN), "null", "NaN"},
      {F(kInf), "1.7976931348623157e+308", "inf"},
      {F(-kInf), "-1.7976931348623157e+308", "-inf"},
      {S("x"), "\"x\"", "x"},
      {S(""), "\"\"", ""},
      {S("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"", "a\"b\\c\n"},
      {arr(), "[]", "[]"},
      {obj(), "{}", "{}"},
      {arr(I(1), F(2.5), N(), B(true)), "[1,2.5,null,true]", "[1,2.5,null,true]"},
      {obj("a", arr(I(1), F(2.5), N(), B(true)), "b", S("x")),
       "{\"a\":[1,2.5,null,true],\"b\":\"x\"}", "{\"a\":[1,2.5,null,true],\"b\":\"x\"}"},
      // Members in insertion order, not sorted.
      {obj("z", I(1), "a", I(2)), "{\"z\":1,\"a\":2}", "{\"z\":1,\"a\":2}"},
      // Non-finite floats inside containers use the JSON form even for display.
      {arr(F(kNaN), F(kInf), S("s")), "[null,1.7976931348623157e+308,\"s\"]",
       "[null,1.7976931348623157e+308,\"s\"]"},
      {obj("q\"k", S("v\t")), "{\"q\\\"k\":\"v\\t\"}", "{\"q\\\"k\":\"v\\t\"}"},
      {arr(arr(arr()), obj("a", obj("b", arr(U(1))))), "[[[]],{\"a\":{\"b\":[1]}}]",
       "[[[]],{\"a\":{\"b\":[1]}}]"},
  };
  for (const RenderCase& c : cases) {
    EXPECT_EQ(to_json_text(c.value), c.json) << describe(c.value);
    EXPECT_EQ(to_display_text(c.value), c.display) << describe(c.value);
  }
}

TEST(Render, StringViewsRenderLikeOwnedStrings) {
  const char text[] = "keyvalue";
  ObjectMap m;
  m.insert(Value::string_view(text, 3), Value::string_view(text + 3, 5));
  const Value v = Value::object(std::move(m));
  EXPECT_EQ(to_json_text(v), "{\"key\":\"value\"}");
}

TEST(Render, LargeObjectHasEveryMemberOnce) {
  ObjectMap m = ObjectMap::with_capacity(40);
  for (int i = 0; i < 40; ++i) m.insert(S(cat("k", std::to_string(i))), I(i));
  const std::string text = to_json_text(Value::object(std::move(m)));
  for (int i = 0; i < 40; ++i) {
    const std::string member = cat("\"k", std::to_string(i), "\":", std::to_string(i));
    EXPECT_NE(text.find(member), std::string::npos) << member;
  }
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text.back(), '}');
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 39);
}

TEST(Render, Escapes) {
  struct Case {
    std::string_view text;
    std::string_view escaped;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"\t\"\\\x01", "\"\\t\\\"\\\\\\u0001\""},
      {"\n\r", "\"\\n\\r\""},
      {"\b\f", "\"\\u0008\\u000c\""},
      {"\x1f", "\"\\u001f\""},
      {std::string_view("a\0b", 3), "\"a\\u0000b\""},
      {"\x7f/", "\"\x7f/\""},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {"\xE2\x80\xA8", "\"\xE2\x80\xA8\""},  // U+2028 stays raw
      {"ab\ncd\"", "\"ab\\ncd\\\"\""},
  };
  for (const Case& c : cases) {
    std::string out = "prefix:";
    escape_json_string(out, c.text);
    EXPECT_EQ(out, cat("prefix:", c.escaped));
  }
}

// Each byte that needs an escape, at every place in texts of every length
// up to past two blocks of the scan, among bytes that need none (ASCII,
// 0x7f, UTF-8).
TEST(Render, EscapesAnywhereInEveryLength) {
  const std::string filler =
      "ab\x7f\xC3\xA9" "cdefgh\xE2\x82\xAC" "ij /0~" "KLMNOPQRSTUVWXYZ\xF0\x9F\x98\x80";
  for (char special : {'"', '\\', '\n', '\x01', '\x1f', '\0'}) {
    const std::string escaped = special == '"'    ? "\\\""
                                : special == '\\' ? "\\\\"
                                : special == '\n'  ? "\\n"
                                : special == '\x01' ? "\\u0001"
                                : special == '\x1f' ? "\\u001f"
                                                    : "\\u0000";
    for (size_t length = 0; length <= filler.size(); ++length) {
      const std::string_view text = std::string_view(filler).substr(0, length);
      std::string plain;
      escape_json_string(plain, text);
      EXPECT_EQ(plain, cat("\"", text, "\"")) << "length " << length;
      for (size_t at = 0; at <= length; ++at) {
        const std::string_view before = text.substr(0, at), after = text.substr(at);
        std::string out;
        escape_json_string(out, cat(before, std::string_view(&special, 1), after));
        EXPECT_EQ(out, cat("\"", before, escaped, after, "\""))
            << "byte " << int(special) << " at " << at << " of " << length + 1;
      }
    }
  }
}

// The scan may read a short text's page past the text's end: what lies
// there must not count, and a text that ends its page must be read without
// touching the next one.
TEST(Render, EscapeScanEndsWithTheText) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* const map =
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* const page_end = static_cast<char*>(map) + page;
  ASSERT_EQ(mprotect(page_end, page, PROT_NONE), 0);
  std::memset(map, '"', page);
  for (size_t length = 0; length <= 40; ++length) {
    for (size_t after : {0, 1, 7, 15, 16, 17}) {
      char* const text = page_end - after - length;
      std::memset(text, 'a', length);
      std::string out;
      escape_json_string(out, std::string_view(text, length));
      EXPECT_EQ(out, cat("\"", std::string(length, 'a'), "\"")) << length << " then " << after;
      std::memset(text, '"', length);
    }
  }
  munmap(map, 2 * page);
}

TEST(Render, FloatsArePositional) {
  struct Case {
    double x;
    std::string text;
  };
  const Case cases[] = {
      {1.5, "1.5"},
      {2.0, "2"},
      {0.1, "0.1"},
      {-2.5, "-2.5"},
      {1e-7, "0.0000001"},
      {1e16, "10000000000000000"},
      {1e21, cat("1", zeros(21))},
      {1e300, cat("1", zeros(300))},
      {-0.0, "-0"},
      {0.0, "0"},
      {5e-324, cat("0.", zeros(323), "5")},
      {-5e-324, cat("-0.", zeros(323), "5")},
      {1.7976931348623157e308, cat("17976931348623157", zeros(292))},
      {2.2250738585072014e-308, cat("0.", zeros(307), "22250738585072014")},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {123456.789, "123456.789"},
      {9007199254740993.0, "9007199254740992"},
      {1.25e-5, "0.0000125"},
      {1234.5e10, "12345000000000"},
      {std::ldexp(1.0, 70), "1180591620717411300000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float_text(c.x), c.text) << c.x;
    EXPECT_EQ(to_json_text(F(c.x)), c.text) << c.x;
  }
}

// The significant digits of a positional number: no sign, no point, no
// leading or trailing zeros.
std::string significant_digits(const std::string& text) {
  std::string digits;
  for (char ch : text) {
    if (ch >= '0' && ch <= '9') digits += ch;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

// Independent oracle: the correctly rounded digits at the smallest precision
// that reads back as x.
std::string shortest_by_printf(double x) {
  char buf[64];
  for (int precision = 0; precision < 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*e", precision, x);
    if (std::strtod(buf, nullptr) == x) break;
  }
  std::string mantissa(buf, std::strchr(buf, 'e'));
  return significant_digits(mantissa);
}

double random_finite(std::mt19937_64& rng) {
  for (;;) {
    const uint64_t bits = rng();
    double x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isfinite(x)) return x;
  }
}

TEST(Render, RandomFloatsRoundTrip) {
  std::mt19937_64 rng(20240611);
  std::uniform_int_distribution<int64_t> small_int(-1000000, 1000000);
  std::uniform_int_distribution<int> small_exp(0, 8);
  for (int i = 0; i < 200000; ++i) {
    // Alternate arbitrary bit patterns with short decimals such as 12.345.
    const double x = i % 2 == 0 ? random_finite(rng)
                                : static_cast<double>(small_int(rng)) /
                                      std::pow(10.0, small_exp(rng));
    const std::string text = float_text(x);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    double back = 0;
    const auto r = fast_float::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(r.ec, std::errc()) << text;
    ASSERT_EQ(r.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &x, sizeof x), 0) << text;
    // Integral values carry no point; others no trailing zero after it.
    if (text.find('.') != std::string::npos) {
      ASSERT_NE(text.back(), '0') << text;
      ASSERT_NE(std::trunc(x), x) << text;
    }
  }
}

TEST(Render, RandomFloatsUseShortestDigits) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const double x = random_finite(rng);
    // At a power of two the rounding interval is lopsided, and the nearest
    // decimal at the shortest length need not be the one chosen; skip them.
    int exp;
    if (std::frexp(x, &exp) == 0.5 || std::frexp(x, &exp) == -0.5) continue;
    ASSERT_EQ(significant_digits(float_text(x)), shortest_by_printf(x)) << float_text(x);
  }
}

}  // namespace
