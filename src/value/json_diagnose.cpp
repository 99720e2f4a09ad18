// Finds the first error of a text that simdjson refused, in text order, with
// its kind, position and byte. Runs only on the failure path.
#include <vector>

#include "unicode/utf8_transcode.h"
#include "value/json_scan.h"

namespace tamsel::json_scan {
namespace {

constexpr const char* kTapeError = "InternalError(TapeError)";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool ends_token(char c) {
  return is_space(c) || c == ',' || c == ':' || c == '[' || c == ']' || c == '{' || c == '}';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at `p` (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8_sequence(std::string_view t, size_t p) {
  auto byte = [&](size_t i) -> unsigned {
    return p + i < t.size() ? static_cast<unsigned char>(t[p + i]) : 0;
  };
  auto tail = [&](size_t i) { unsigned b = byte(i); return b >= 0x80 && b <= 0xBF; };
  unsigned lead = byte(0);
  unsigned second = byte(1);
  if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    unsigned lo = lead == 0xE0 ? 0xA0 : 0x80, hi = lead == 0xED ? 0x9F : 0xBF;
    return second >= lo && second <= hi && tail(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    unsigned lo = lead == 0xF0 ? 0x90 : 0x80, hi = lead == 0xF4 ? 0x8F : 0xBF;
    return second >= lo && second <= hi && tail(2) && tail(3) ? 4 : 0;
  }
  return 0;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : t_(text), n_(text.size()) {}

  std::optional<JsonError> run();

 private:
  enum class Step { kValue, kAfterValue, kKey };

  JsonError error(const char* kind, size_t index) const { return error_at(t_, kind, index); }
  void skip_space() {
    while (p_ < n_ && is_space(t_[p_])) ++p_;
  }
  std::optional<JsonError> scalar(const char* misplaced_kind);
  std::optional<JsonError> string();
  std::optional<JsonError> unicode_escape(size_t backslash);
  std::optional<JsonError> literal(std::string_view word, const char* kind);
  // The error for a byte (or the end) where the innermost container needed
  // something else.
  JsonError in_container(const char* array_kind, const char* object_kind) const {
    return error(stack_.back() == '[' ? array_kind : object_kind, p_);
  }

  std::string_view t_;
  size_t n_;
  size_t p_ = 0;
  std::vector<char> stack_;  // open brackets, innermost last
};

std::optional<JsonError> Scanner::run() {
  skip_space();
  if (p_ == n_) return JsonError{"Syntax", 0, true, 0};
  const size_t root = p_;
  if (t_[p_] != '[' && t_[p_] != '{') {
    if (auto e = scalar(kTapeError)) return e;
    skip_space();
    if (p_ != n_) return error("TrailingData", root);
    return std::nullopt;
  }

  Step step = Step::kValue;
  for (;;) {
    skip_space();
    switch (step) {
      case Step::kValue: {
        const char c = p_ < n_ ? t_[p_] : '\0';
        if (c != '[' && c != '{') {
          const bool in_array = stack_.back() == '[';
          if (auto e = scalar(in_array ? "ExpectedArrayContent" : "ExpectedObjectContent")) {
            return e;
          }
          step = Step::kAfterValue;
          break;
        }
        if (stack_.size() == kMaxJsonDepth) return error("NestingTooDeep", p_);
        stack_.push_back(c);
        ++p_;
        skip_space();
        if (p_ < n_ && t_[p_] == (c == '[' ? ']' : '}')) {
          ++p_;
          stack_.pop_back();
          step = Step::kAfterValue;
        } else {
          step = c == '[' ? Step::kValue : Step::kKey;
        }
        break;
      }
      case Step::kKey:
        if (p_ == n_ || t_[p_] != '"') return error("ExpectedObjectKey", p_);
        if (auto e = string()) return e;
        skip_space();
        if (p_ == n_ || t_[p_] != ':') return error("ExpectedObjectColon", p_);
        ++p_;
        step = Step::kValue;
        break;
      case Step::kAfterValue: {
        if (stack_.empty()) {
          if (p_ != n_) return error("TrailingData", p_);
          return std::nullopt;
        }
        const char close = stack_.back() == '[' ? ']' : '}';
        if (p_ < n_ && t_[p_] == close) {
          ++p_;
          stack_.pop_back();
        } else if (p_ < n_ && t_[p_] == ',') {
          ++p_;
          step = stack_.back() == '[' ? Step::kValue : Step::kKey;
        } else {
          return in_container("ExpectedArrayContent", "ExpectedObjectContent");
        }
        break;
      }
    }
  }
}

std::optional<JsonError> Scanner::scalar(const char* misplaced_kind) {
  if (p_ == n_) return error(misplaced_kind, p_);
  const char c = t_[p_];
  if (c == '"') return string();
  if (c == 't') return literal("true", "ExpectedTrue");
  if (c == 'f') return literal("false", "ExpectedFalse");
  if (c == 'n') return literal("null", "ExpectedNull");
  if (c == '-' || (c >= '0' && c <= '9')) {
    NumberToken token;
    if (auto e = scan_number(t_, p_, &token)) return e;
    p_ = token.end;
    return std::nullopt;
  }
  return error(misplaced_kind, p_);
}

std::optional<JsonError> Scanner::literal(std::string_view word, const char* kind) {
  const size_t start = p_;
  if (t_.substr(start, word.size()) != word) return error(kind, start);
  p_ += word.size();
  if (p_ < n_ && !ends_token(t_[p_])) return error(kind, start);
  return std::nullopt;
}

std::optional<JsonError> Scanner::string() {
  const size_t open = p_;
  size_t q = p_ + 1;
  for (;;) {
    if (q >= n_) return error("Syntax", open);  // never closed
    const unsigned char b = static_cast<unsigned char>(t_[q]);
    if (b == '"') break;
    if (b == '\\') {
      if (q + 1 >= n_) return error("Syntax", open);
      const char e = t_[q + 1];
      if (e == 'u') {
        p_ = q;
        if (auto err = unicode_escape(q)) return err;
        q = p_;
      } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                 e == 'r' || e == 't') {
        q += 2;
      } else {
        return error("InvalidEscape", q + 1);
      }
    } else if (b < 0x20) {
      return error("Syntax", q);  // control characters must be escaped
    } else if (b < 0x80) {
      ++q;
    } else {
      const size_t length = utf8_sequence(t_, q);
      if (length == 0) return error("InvalidUtf8", q);
      q += length;
    }
  }
  p_ = q + 1;
  return std::nullopt;
}

// Reads the \u escape at `backslash` (and the low half of a surrogate pair),
// leaving p_ after it.
std::optional<JsonError> Scanner::unicode_escape(size_t backslash) {
  auto read_hex = [&](size_t at, unsigned* value) -> std::optional<JsonError> {
    *value = 0;
    for (size_t i = at; i < at + 4; ++i) {
      if (i >= n_) return error("Syntax", i);
      const int h = hex_value(t_[i]);
      if (h < 0) return error("InvalidEscape", i);
      *value = *value * 16 + static_cast<unsigned>(h);
    }
    return std::nullopt;
  };
  unsigned unit = 0;
  if (auto e = read_hex(backslash + 2, &unit)) return e;
  p_ = backslash + 6;
  if (unit >= 0xDC00 && unit <= 0xDFFF) return error("InvalidUnicodeCodepoint", backslash);
  if (unit < 0xD800 || unit > 0xDBFF) return std::nullopt;
  if (p_ + 1 >= n_ || t_[p_] != '\\' || t_[p_ + 1] != 'u') {
    return error("InvalidUnicodeCodepoint", backslash);
  }
  unsigned low = 0;
  if (auto e = read_hex(p_ + 2, &low)) return e;
  if (low < 0xDC00 || low > 0xDFFF) return error("InvalidUnicodeCodepoint", backslash);
  p_ += 6;
  return std::nullopt;
}

}  // namespace

std::optional<JsonError> diagnose(std::string_view text) {
  // Bytes that are not UTF-8 are reported before anything about structure.
  const size_t bad = utf8::first_invalid(text);
  if (bad != utf8::kNotEncoded) return error_at(text, "InvalidUtf8", bad);
  return Scanner(text).run();
}

}  // namespace tamsel::json_scan
