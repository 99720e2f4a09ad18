// Notes beside JSON texts that did not parse: what the text looks like.

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "value/document_ref.h"
#include "value/json.h"
#include "value/json_hint.h"

namespace tamsel {
namespace {

using namespace std::string_literals;

struct HintCase {
  std::string text;
  TextOrigin origin;
  std::string hint;
};

// The hint for `text` as the parser leaves it after failing on it.
std::string hint_for(const std::string& text, TextOrigin origin) {
  JsonParser parser;
  auto parsed = parser.parse_document(text);
  const JsonError* error = std::get_if<JsonError>(&parsed);
  if (!error) return "(parsed)";
  return json_hint(parser.last_text(), *error, origin);
}

constexpr TextOrigin kDocument = TextOrigin::kDocument;

// One row per hint, in the order they are tried.
TEST(JsonHint, WhatTheTextLooksLike) {
  const HintCase cases[] = {
      {"", kDocument, "the text is empty: there is no JSON value in it"},
      {" \n", kDocument, "the text holds only white space: there is no JSON value in it"},
      {"\x1f\x8b\x08\x00"s, kDocument,
       "the text is gzip-compressed data, not JSON: `stream()` decompresses it itself, or "
       "decompress it first"},
      {"\x1f\x8b\x08\x00"s, TextOrigin::kStream,
       "the text is gzip-compressed data, not JSON: a stream decompresses it itself, unless given "
       "decompress=False"},
      {"\xfd" "7zXZ\x00\x00"s, kDocument,
       "the text is xz-compressed data, not JSON: decompress it first (`lzma.decompress(data)`, "
       "or `stream(lzma.open(path))`)"},
      {"\x28\xb5\x2f\xfd\x00"s, kDocument,
       "the text is zstd-compressed data, not JSON: `stream()` decompresses it itself, or "
       "decompress it first"},
      {"\x04\x22\x4d\x18"s, kDocument,
       "the text is lz4-compressed data, not JSON: decompress it first"},
      {"PK\x03\x04"s, kDocument,
       "the text is a zip archive, not JSON: read its files with `zipfile`"},
      {"BZh91AY&SY", kDocument,
       "the text is bzip2-compressed data, not JSON: decompress it first (`bz2.decompress(data)`, "
       "or `stream(bz2.open(path))`)"},
      {"{\0\"\0a\0\"\0:\0001\0}\0"s, kDocument,
       "the text looks like UTF-16, not UTF-8: decode it (`data.decode(\"utf-16\")`) and pass the "
       "str"},
      {"\xff\xfe[\0]\0"s, kDocument,
       "the text looks like UTF-16, not UTF-8: decode it (`data.decode(\"utf-16\")`) and pass the "
       "str"},
      {"\xef\xbb\xbf{}", kDocument,
       "the text starts with a byte order mark, which JSON text may not: decode it with "
       "\"utf-8-sig\", or strip it"},
      {"\n<!DOCTYPE html>\n<html>", kDocument,
       "the text is an HTML page, not JSON (an error page from a server?)"},
      {"<HTML><BODY>502</BODY></HTML>", kDocument,
       "the text is an HTML page, not JSON (an error page from a server?)"},
      {"<?xml version=\"1.0\"?><a/>", kDocument, "the text is XML, not JSON"},
      {"<a>1</a>", kDocument, "the text looks like HTML or XML, not JSON"},
      {"logs/e.jsonl", TextOrigin::kStreamOfStr,
       "a str is read as JSON text, not as a file name: pass a `pathlib.Path` to read a file"},
      {"data.json\n", kDocument,
       "the text looks like a file name, not JSON: read the file, or pass a `pathlib.Path` to "
       "`stream()`"},
      {"C:\\data\\events.json", kDocument,
       "the text looks like a file name, not JSON: read the file, or pass a `pathlib.Path` to "
       "`stream()`"},
      {"{'a': 1}", kDocument,
       "JSON strings take double quotes: is this Python's `str()` of an object? `json.dumps()` "
       "writes JSON"},
      {"{\"a\": None}", kDocument,
       "`None` is written `null` in JSON: is this Python's `str()` of an object? `json.dumps()` "
       "writes JSON"},
      {"[True]", kDocument,
       "`True` is written `true` in JSON: is this Python's `str()` of an object? `json.dumps()` "
       "writes JSON"},
      {"[1, NaN]", kDocument,
       "`NaN` is not JSON (Python's `json.dumps()` writes it unless given `allow_nan=False`)"},
      {"{\"a\": -Infinity}", kDocument,
       "`-Infinity` is not JSON (Python's `json.dumps()` writes it unless given "
       "`allow_nan=False`)"},
      {"{\"a\": 1}\n{\"a\": 2}\n", kDocument,
       "the text goes on after its first JSON value; for a text of several (JSON Lines), "
       "`stream()` runs the query over each"},
      {"1 2", kDocument,
       "the text goes on after its first JSON value; for a text of several (JSON Lines), "
       "`stream()` runs the query over each"},
      // Where the text came from decides some.
      {"logs/e.jsonl", TextOrigin::kStream, ""},
      {"1 2", TextOrigin::kStream, ""},
      // Nothing in particular.
      {"[1,", kDocument, ""},
      {"{\"a\" 1}", kDocument, ""},
      {"x", kDocument, ""},
      {"3.5.1", kDocument, ""},
  };
  for (const HintCase& c : cases) EXPECT_EQ(hint_for(c.text, c.origin), c.hint) << c.text;
}

TEST(JsonHint, NoneForATextRefusedForItsSize) {
  const JsonError too_large{"InputTooLarge", 0, false, 0};
  EXPECT_EQ(json_hint("", too_large, kDocument), "");
}

TEST(JsonHint, BinaryStartsWithAControlByteOrOneThatIsNotUtf8) {
  const struct {
    std::string text;
    bool binary;
  } cases[] = {
      {"\x1f\x8b\x08", true},
      {std::string("\x00\x01", 2), true},
      {"\x7f", true},
      {"\x80" "abc", true},
      {"\xf8\x88\x80\x80", true},
      {"\t\r\n {\"a\": 1", false},
      {"\xe2\x80\xa6 ok", false},
      {"\xe2\x80", true},
      // A stray byte further in is mistyped JSON, or another encoding.
      {"(\xb5/\xfd", false},
      {"[1,\x01]", false},
      {"{\"name\": \"Jos\xe9\"}", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(looks_binary(c.text), c.binary) << &c - cases;
}

TEST(JsonHint, TheParserKeepsTheTextItFailedOn) {
  JsonParser parser;
  const std::string text = "<html>";
  parser.lend_text(text);
  ASSERT_TRUE(std::holds_alternative<JsonError>(parser.parse_work_buffer(text.size())));
  EXPECT_EQ(parser.last_text(), text);
  parser.end_run();
  EXPECT_EQ(parser.last_text(), "");
}

}  // namespace
}  // namespace tamsel
