#include "parser/error_text.h"

#include <cstdio>

#include "parser/parser.h"
#include "unicode/unicode.h"
#include "unicode/utf8.h"

namespace tamsel::query {

namespace {

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Tag: return "Tag";
    case ErrorKind::MapRes: return "MapRes";
    case ErrorKind::Digit: return "Digit";
    case ErrorKind::Char: return "Char";
  }
  return "Tag";
}

}  // namespace

bool shown_as_code(char32_t c) {
  return unicode::is_grapheme_extend(c) || !unicode::is_printable(c);
}

void append_code_escape(std::string& out, char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
  out += buffer;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t length = 0;
    char32_t c = utf8::decode_at(text, pos, &length);
    switch (c) {
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (shown_as_code(c)) {
          append_code_escape(out, c);
        } else {
          out.append(text.substr(pos, length));
        }
    }
    pos += length;
  }
  out += '"';
  return out;
}

std::string syntax_error_message(std::string_view query, const ParseError& error) {
  std::string message = "Invalid query syntax: ";
  switch (error.severity) {
    case Severity::TooDeep:
      return message + "query nested deeper than " + std::to_string(kMaxQueryDepth) + " levels";
    case Severity::Unrecoverable:
      message += "Parsing Failure: ";
      break;
    case Severity::Recoverable:
      message += "Parsing Error: ";
      break;
  }
  size_t at = error.at < query.size() ? error.at : query.size();
  message += "Error { input: ";
  message += quoted(query.substr(at));
  message += ", code: ";
  message += kind_name(error.kind);
  message += " }";
  return message;
}

}  // namespace tamsel::query
