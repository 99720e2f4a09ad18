#include "value/json_hint.h"

#include <algorithm>

#include "unicode/utf8_transcode.h"
#include "value/compression.h"

namespace tamsel {
namespace {

using namespace std::string_view_literals;

bool is_json_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// `text` from its first character that is not JSON white space.
std::string_view without_leading_ws(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_json_ws(text[i])) ++i;
  return text.substr(i);
}

std::string_view trimmed(std::string_view text) {
  text = without_leading_ws(text);
  while (!text.empty() && is_json_ws(text.back())) text.remove_suffix(1);
  return text;
}

bool starts_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// --- The hints, one function each, tried in order ---------------------------------

std::string empty_text(std::string_view text, const JsonError&, TextOrigin) {
  if (text.empty()) return "the text is empty: there is no JSON value in it";
  if (without_leading_ws(text).empty())
    return "the text holds only white space: there is no JSON value in it";
  return {};
}

// Compressed data, by the bytes it starts with.
std::string compressed(std::string_view text, const JsonError&, TextOrigin origin) {
  const Compression format = compression_of(text);
  if (format == Compression::kNone) return {};
  std::string line = "the text is ";
  if (format == Compression::kZip) {
    return line.append("a zip archive, not JSON: read its files with `zipfile`");
  }
  line.append(compression_name(format)).append("-compressed data, not JSON: ");
  if (decompressed_here(format)) {
    if (origin != TextOrigin::kDocument)
      return line.append("a stream decompresses it itself, unless given decompress=False");
    return line.append("`stream()` decompresses it itself, or decompress it first");
  }
  line.append("decompress it first");
  if (format == Compression::kBzip2)
    line.append(" (`bz2.decompress(data)`, or `stream(bz2.open(path))`)");
  if (format == Compression::kXz)
    line.append(" (`lzma.decompress(data)`, or `stream(lzma.open(path))`)");
  return line;
}

std::string utf16(std::string_view text, const JsonError&, TextOrigin) {
  const bool marked = text.starts_with("\xff\xfe"sv) || text.starts_with("\xfe\xff"sv);
  // ASCII in UTF-16 has a NUL byte beside every character.
  const bool little = text.size() >= 4 && text[0] != 0 && text[1] == 0 && text[3] == 0;
  const bool big = text.size() >= 4 && text[0] == 0 && text[1] != 0 && text[2] == 0;
  if (!marked && !little && !big) return {};
  return "the text looks like UTF-16, not UTF-8: decode it (`data.decode(\"utf-16\")`) and pass "
         "the str";
}

std::string byte_order_mark(std::string_view text, const JsonError&, TextOrigin) {
  if (!text.starts_with("\xef\xbb\xbf"sv)) return {};
  return "the text starts with a byte order mark, which JSON text may not: decode it with "
         "\"utf-8-sig\", or strip it";
}

std::string markup(std::string_view text, const JsonError&, TextOrigin) {
  const std::string_view start = without_leading_ws(text);
  if (!start.starts_with('<')) return {};
  if (starts_ignoring_case(start, "<!doctype html") || starts_ignoring_case(start, "<html"))
    return "the text is an HTML page, not JSON (an error page from a server?)";
  if (starts_ignoring_case(start, "<?xml")) return "the text is XML, not JSON";
  return "the text looks like HTML or XML, not JSON";
}

// One short line without JSON punctuation that names a file: it holds a
// slash or a backslash, or it ends with an extension (".json", ".gz").
bool looks_like_file_name(std::string_view text) {
  text = trimmed(text);
  if (text.empty() || text.size() > 4096) return false;
  for (char c : text) {
    const bool punctuation = std::string_view("{}[]\",").find(c) != std::string_view::npos;
    if (static_cast<unsigned char>(c) < 0x20 || punctuation) return false;
  }
  if (text.find_first_of("/\\") != std::string_view::npos) return true;
  const size_t dot = text.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || text.size() - dot - 1 > 8) return false;
  const std::string_view extension = text.substr(dot + 1);
  return !extension.empty() &&
         std::all_of(extension.begin(), extension.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
         }) &&
         !(extension[0] >= '0' && extension[0] <= '9');
}

std::string file_name(std::string_view text, const JsonError&, TextOrigin origin) {
  if (origin == TextOrigin::kStream || !looks_like_file_name(text)) return {};
  if (origin == TextOrigin::kStreamOfStr)
    return "a str is read as JSON text, not as a file name: pass a `pathlib.Path` to read a "
           "file";
  return "the text looks like a file name, not JSON: read the file, or pass a `pathlib.Path` "
         "to `stream()`";
}

// What Python's str() or repr() of an object writes, which JSON is not.
std::string python_literal(std::string_view text, const JsonError& error, TextOrigin) {
  const std::string_view at = text.substr(std::min<uint64_t>(error.index, text.size()));
  constexpr std::string_view kUseJson = ": is this Python's `str()` of an object? `json.dumps()` "
                                        "writes JSON";
  if (at.starts_with('\'')) return std::string("JSON strings take double quotes").append(kUseJson);
  static constexpr std::string_view kPython[][2] = {
      {"None", "null"}, {"True", "true"}, {"False", "false"}};
  for (const auto& [python, json] : kPython) {
    if (at.starts_with(python)) {
      std::string line = "`";
      line.append(python).append("` is written `").append(json).append("` in JSON");
      return line.append(kUseJson);
    }
  }
  // A number's error stands after its sign.
  const size_t sign = at.data() > text.data() && at.data()[-1] == '-' ? 1 : 0;
  const std::string_view signed_at = text.substr(at.data() - text.data() - sign);
  for (std::string_view word : {"NaN"sv, "Infinity"sv, "-Infinity"sv}) {
    if (signed_at.starts_with(word)) {
      std::string line = "`";
      line.append(word).append(
          "` is not JSON (Python's `json.dumps()` writes it unless given `allow_nan=False`)");
      return line;
    }
  }
  return {};
}

std::string several_values(std::string_view, const JsonError& error, TextOrigin origin) {
  if (error.kind != "TrailingData" || origin != TextOrigin::kDocument) return {};
  return "the text goes on after its first JSON value; for a text of several (JSON Lines), "
         "`stream()` runs the query over each";
}

using Hint = std::string (*)(std::string_view, const JsonError&, TextOrigin);

constexpr Hint kHints[] = {
    empty_text, compressed, utf16, byte_order_mark, markup, file_name, python_literal,
    several_values,
};

}  // namespace

std::string json_hint(std::string_view text, const JsonError& error, TextOrigin origin) {
  // Refused for its size: its text was never read.
  if (error.kind == "InputTooLarge") return {};
  for (Hint hint : kHints) {
    std::string line = hint(text, error, origin);
    if (!line.empty()) return line;
  }
  return {};
}

}  // namespace tamsel

namespace tamsel {

bool looks_binary(std::string_view text) {
  // Only its first byte: mistyped JSON has its stray byte further in, and
  // text in another encoding (Latin-1) its odd bytes after some ASCII.
  if (text.empty()) return false;
  const auto first = static_cast<unsigned char>(text[0]);
  if ((first < 0x20 && !is_json_ws(text[0])) || first == 0x7f) return true;
  // Four bytes, so that a sequence it begins is seen whole.
  return utf8::first_invalid(text.substr(0, 4)) == 0;
}

}  // namespace tamsel
