// What the libFuzzer harnesses draw from their input bytes in common: picks
// from fixed lists, query literals, and JSON documents that always parse;
// and how they show a text in a finding.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

namespace tamsel::fuzz {

// `text` with every byte outside printable ASCII (and the backslash) escaped,
// cut at `limit` bytes.
inline std::string escaped(std::string_view text, size_t limit = 4096) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
      out += buffer;
    }
  }
  if (text.size() > limit) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}


template <size_t N>
inline std::string_view pick(FuzzedDataProvider& fdp, const std::string_view (&items)[N]) {
  return items[fdp.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

// A builtin name, from the parser's own table of them.
template <typename Table>
std::string_view pick_name(FuzzedDataProvider& fdp, const Table& table) {
  return table[fdp.ConsumeIntegralInRange<size_t>(0, std::size(table) - 1)].name;
}

inline constexpr std::string_view kKeys[] = {"a", "b", "c", "k00"};
// Query string literals, as written in the query (escapes included).
inline constexpr std::string_view kStrings[] = {"", "a", "a,b", "\u00e9", "\U0001F600", "\\n", "\\u0000"};

// A literal as written in a query: an integer over the whole int64 range, an
// exact decimal, a string (escapes included) or a constant.
inline std::string literal(FuzzedDataProvider& fdp) {
  switch (fdp.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: return std::to_string(fdp.ConsumeIntegral<int64_t>());
    case 1: {
      // n / 8 for n in [-1000, 1000], written exactly.
      static constexpr std::string_view kEighths[] = {"0",   "125", "25", "375",
                                                      "5",   "625", "75", "875"};
      const int n = fdp.ConsumeIntegralInRange<int>(-1000, 1000);
      const int magnitude = n < 0 ? -n : n;
      return (n < 0 ? "-" : "") + std::to_string(magnitude / 8) + "." +
             std::string(kEighths[magnitude % 8]);
    }
    case 2: return "\"" + std::string(pick(fdp, kStrings)) + "\"";
    default: {
      static constexpr std::string_view kOthers[] = {"null", "true", "false", "0", "-1"};
      return std::string(pick(fdp, kOthers));
    }
  }
}

// A JSON document: scalars of every kind (integers over the whole int64 and
// uint64 range, any finite double), and arrays and objects up to `depth`
// levels, objects either small with repeatable keys or of 30 to 40 distinct
// keys (past the size where objects get a hash index).
inline std::string json_document(FuzzedDataProvider& fdp, int depth) {
  switch (fdp.ConsumeIntegralInRange<int>(0, depth > 0 ? 7 : 5)) {
    case 0: return "null";
    case 1: return fdp.ConsumeBool() ? "true" : "false";
    case 2:
      return fdp.ConsumeBool() ? std::to_string(fdp.ConsumeIntegral<int64_t>())
                               : std::to_string(fdp.ConsumeIntegral<uint64_t>());
    case 3: {
      char buffer[64];
      const double x = fdp.ConsumeFloatingPoint<double>();
      const auto end = std::to_chars(buffer, buffer + sizeof buffer, x).ptr;
      return std::string(buffer, end);
    }
    case 4: {
      static constexpr std::string_view kTexts[] = {
          R"("a")", R"("a,b")", R"("")", R"("\u00e9\ud83d\ude00")", R"("\u0000")",
          R"("k00")", R"("1.5")", R"("[1]")"};
      return std::string(pick(fdp, kTexts));
    }
    case 5: return std::to_string(fdp.ConsumeIntegralInRange<int>(-3, 3));
    case 6: {
      std::string out = "[";
      const int items = fdp.ConsumeIntegralInRange<int>(0, 4);
      for (int i = 0; i < items; ++i) {
        if (i > 0) out += ",";
        out += json_document(fdp, depth - 1);
      }
      return out + "]";
    }
    default: {
      const bool small = fdp.ConsumeBool();
      const int count = small ? fdp.ConsumeIntegralInRange<int>(0, 4) : fdp.ConsumeIntegralInRange<int>(30, 40);
      std::string out = "{";
      for (int i = 0; i < count; ++i) {
        if (i > 0) out += ",";
        char key[8];
        if (small) {
          out += "\"" + std::string(pick(fdp, kKeys)) + "\":";
        } else {
          std::snprintf(key, sizeof key, "k%02d", i);
          out += "\"" + std::string(key) + "\":";
        }
        out += json_document(fdp, small ? depth - 1 : 0);
      }
      return out + "}";
    }
  }
}

}  // namespace tamsel::fuzz
