#include "texts/element_frame.h"

#include <simdjson.h>

#include <cstdio>
#include <utility>

namespace tamsel::texts {
namespace {

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// A byte of the structure around values, which starts none.
bool is_structure(char c) { return c == ',' || c == '}' || c == ']' || c == ':'; }

// What was found where something else was expected, for a message.
std::string found(std::string_view window, size_t at) {
  if (at >= window.size()) return "the end of the source";
  const unsigned char c = static_cast<unsigned char>(window[at]);
  char text[16];
  if (c >= 0x20 && c < 0x7F) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else {
    std::snprintf(text, sizeof text, "byte 0x%02X", c);
  }
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The key a JSON string's bytes (between its quotes) stand for, or false
// when they are not a JSON string's.
bool decode_key(std::string_view raw, std::string* key) {
  if (!simdjson::validate_utf8(raw.data(), raw.size())) return false;
  key->clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      key->push_back(c);
      continue;
    }
    if (++i == raw.size()) return false;
    switch (raw[i]) {
      case '"': key->push_back('"'); break;
      case '\\': key->push_back('\\'); break;
      case '/': key->push_back('/'); break;
      case 'b': key->push_back('\b'); break;
      case 'f': key->push_back('\f'); break;
      case 'n': key->push_back('\n'); break;
      case 'r': key->push_back('\r'); break;
      case 't': key->push_back('\t'); break;
      case 'u': {
        auto unit = [&](size_t at, uint32_t* value) {
          if (at + 4 > raw.size()) return false;
          *value = 0;
          for (size_t k = at; k < at + 4; ++k) {
            const int digit = hex_digit(raw[k]);
            if (digit < 0) return false;
            *value = *value * 16 + static_cast<uint32_t>(digit);
          }
          return true;
        };
        uint32_t code = 0;
        if (!unit(i + 1, &code)) return false;
        i += 4;
        if (code >= 0xD800 && code < 0xDC00) {
          uint32_t low = 0;
          if (i + 2 >= raw.size() || raw[i + 1] != '\\' || raw[i + 2] != 'u' ||
              !unit(i + 3, &low) || low < 0xDC00 || low >= 0xE000)
            return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        } else if (code >= 0xDC00 && code < 0xE000) {
          return false;
        }
        append_utf8(code, key);
        break;
      }
      default: return false;
    }
  }
  return true;
}

}  // namespace

namespace {

bool is_name_byte(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         (!first && c >= '0' && c <= '9');
}

bool is_name(std::string_view key) {
  if (key.empty()) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    if (!is_name_byte(key[i], i == 0)) return false;
  }
  return true;
}

}  // namespace

std::string path_text(const ElementPath& path) {
  if (path.empty()) return ".";
  std::string text;
  for (const std::string& key : path) {
    text.push_back('.');
    if (is_name(key)) {
      text += key;
      continue;
    }
    text.push_back('"');
    for (const char c : key) {
      if (c == '"' || c == '\\') text.push_back('\\');
      text.push_back(c);
    }
    text.push_back('"');
  }
  return text;
}

bool parse_element_path(std::string_view text, ElementPath* path) {
  path->clear();
  if (text == ".") return true;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i++] != '.' || i == text.size()) return false;
    std::string key;
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i == text.size()) return false;
        if (text[i] == '"') break;
        if (text[i] == '\\') {
          if (++i == text.size() || (text[i] != '"' && text[i] != '\\')) return false;
        }
        key.push_back(text[i]);
      }
      ++i;
    } else {
      const size_t start = i;
      while (i < text.size() && is_name_byte(text[i], i == start)) ++i;
      if (i == start) return false;
      key.assign(text.substr(start, i - start));
    }
    path->push_back(std::move(key));
  }
  return !path->empty();
}

ElementFrame::ElementFrame(ElementPath path, bool inside)
    : path_(std::move(path)),
      state_(inside ? State::kNext : State::kOpen),
      level_(inside ? path_.size() : 0),
      found_(path_.size(), inside ? 1 : 0) {}

ElementFrame::Step ElementFrame::fail(size_t at, std::string why, std::string_view window) {
  state_ = State::kBroken;
  broken_at_ = at;
  broken_ = std::move(why) + ", found " + found(window, at);
  return Step::kBroken;
}

void ElementFrame::refuse_member(std::string_view why, size_t at) {
  state_ = State::kBroken;
  broken_at_ = at;
  broken_ = "the value of the member \"" + key_ + "\" around the array is not JSON: ";
  broken_.append(why);
}

void ElementFrame::closed() {
  if (level_ == 0) {
    state_ = State::kAfterAll;
    return;
  }
  --level_;
  found_[level_] = 1;
  state_ = State::kAfterMember;
}

bool ElementFrame::end_key() {
  std::string raw = std::move(key_);
  return decode_key(raw, &key_);
}

void ElementFrame::took() {
  if (state_ == State::kAtElement) state_ = State::kAfterElement;
  if (state_ == State::kAtMember) state_ = State::kAfterMember;
}

ElementFrame::Step ElementFrame::advance(std::string_view window, size_t* pos, bool last) {
  size_t i = *pos;
  const size_t size = window.size();
  Step step = Step::kNeedMore;
  for (;;) {
    // Every state but a key's text starts past white space.
    if (state_ != State::kKeyText) {
      while (i < size && is_space(window[i])) ++i;
    }
    if (state_ == State::kEnd) { step = Step::kEnd; break; }
    if (state_ == State::kBroken) { step = Step::kBroken; break; }
    if (state_ == State::kAtElement) { step = Step::kElement; break; }
    if (state_ == State::kAtMember) { step = Step::kMember; break; }
    if (i == size) {
      if (!last) break;
      if (state_ == State::kAfterAll) {
        state_ = State::kEnd;
        continue;
      }
      if (state_ == State::kKeyText) {
        step = fail(i, "a member's key never closes", window);
      } else if (level_ == 0 && state_ == State::kOpen) {
        step = fail(i, path_.empty() ? "the source holds no JSON array: expected '['"
                                     : "the source holds no JSON object: expected '{'",
                    window);
      } else {
        step = fail(i, "the array never closes", window);
      }
      break;
    }
    const char c = window[i];
    switch (state_) {
      case State::kOpen:
        if (level_ == path_.size()) {
          if (c != '[') {
            step = fail(i, path_.empty() ? "the source is not a JSON array: expected '['"
                                         : "the value at " + path_text(path_) +
                                               " is not an array: expected '['",
                        window);
            break;
          }
          state_ = State::kFirst;
        } else {
          if (c != '{') {
            step = fail(i, "the source has no array at " + path_text(path_) +
                               ": expected an object, '{'",
                        window);
            break;
          }
          state_ = State::kKey;
        }
        ++i;
        continue;
      case State::kKey:
      case State::kKeyAfterComma:
        if (c == '}' && state_ == State::kKey) {
          if (!found_[level_]) {
            step = fail(i, "the source has no array at " + path_text(path_) +
                               ": the object holds no member \"" + path_[level_] + "\"",
                        window);
            break;
          }
          ++i;
          closed();
          continue;
        }
        if (c != '"') {
          step = fail(i, "expected a member's key, '\"'", window);
          break;
        }
        key_.clear();
        key_escaped_ = false;
        state_ = State::kKeyText;
        ++i;
        continue;
      case State::kKeyText: {
        // To the closing quote, which no backslash escapes.
        size_t k = i;
        for (; k < size; ++k) {
          if (key_escaped_) {
            key_escaped_ = false;
          } else if (window[k] == '\\') {
            key_escaped_ = true;
          } else if (window[k] == '"') {
            break;
          }
        }
        key_.append(window.data() + i, k - i);
        i = k;
        if (k == size) {
          if (last) step = fail(i, "a member's key never closes", window);
          break;
        }
        ++i;
        if (!end_key()) {
          step = fail(i - 1, "a member's key is not a JSON string", window);
          break;
        }
        state_ = State::kColon;
        continue;
      }
      case State::kColon:
        if (c != ':') {
          step = fail(i, "expected ':' after the key \"" + key_ + "\"", window);
          break;
        }
        ++i;
        if (!found_[level_] && key_ == path_[level_]) {
          ++level_;
          state_ = State::kOpen;
        } else {
          state_ = State::kValue;
        }
        continue;
      case State::kValue:
        if (is_structure(c)) {
          step = fail(i, "expected the value of the member \"" + key_ + "\"", window);
          break;
        }
        state_ = State::kAtMember;
        continue;
      case State::kAfterMember:
        if (c == ',') {
          state_ = State::kKeyAfterComma;
        } else if (c == '}') {
          state_ = State::kKey;
          continue;  // closes the object, as an empty one would
        } else {
          step = fail(i, "expected ',' or '}' after a member", window);
          break;
        }
        ++i;
        continue;
      case State::kFirst:
      case State::kNext:
        if (c == ']' && state_ == State::kFirst) {
          ++i;
          closed();
          continue;
        }
        if (is_structure(c)) {
          step = fail(i, state_ == State::kNext ? "expected an element after ','"
                                                : "expected an element or ']'",
                      window);
          break;
        }
        state_ = State::kAtElement;
        continue;
      case State::kAfterElement:
        if (c == ',') {
          state_ = State::kNext;
        } else if (c == ']') {
          closed();
        } else {
          step = fail(i, "expected ',' or ']' after an element", window);
          break;
        }
        ++i;
        continue;
      case State::kAfterAll:
        step = fail(i, "text after the end of the array", window);
        break;
      default:
        break;
    }
    break;
  }
  *pos = i;
  return step;
}

}  // namespace tamsel::texts
