#include "value/text_splitter.h"

#include <cstring>

namespace tamsel {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Texts found by the framing rules after a refuted guess before the next guess.
constexpr unsigned kGuessPause = 16;

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Ends a text that is neither container nor string.
bool ends_token(char c) {
  switch (c) {
    case ' ': case '\n': case '\r': case '\t':
    case '[': case ']': case '{': case '}': case '"':
      return true;
    default:
      return false;
  }
}

}  // namespace

void TextSplitter::set_window(std::string_view window, bool last) {
  // The new window starts where the old one was passed.
  offset_ += pos_;
  scan_at_ -= pos_;
  end_ -= pos_;
  pos_ = 0;
  window_ = window;
  last_ = last;
}

TextSplitter::Step TextSplitter::next(Text* text) {
  if (!bom_checked_) {
    const size_t have = window_.size() < kByteOrderMark.size() ? window_.size()
                                                               : kByteOrderMark.size();
    if (window_.substr(0, have) == kByteOrderMark.substr(0, have)) {
      if (have < kByteOrderMark.size() && !last_) return Step::kNeedMore;
      if (have == kByteOrderMark.size()) pos_ = scan_at_ = have;
    }
    bom_checked_ = true;
  }
  const Step step = pending_ ? Step::kText : lines_ ? next_line(text) : next_value(text);
  if (step != Step::kText) return step;
  text->bytes = window_.substr(pos_, end_ - pos_);
  text->index = index_;
  text->offset = offset_ + pos_;
  text->line = line_;
  text->guess = guessing_;
  return Step::kText;
}

TextSplitter::Step TextSplitter::next_line(Text*) {
  for (;;) {
    if (scan_ == Scan::kNone) {
      if (pos_ == window_.size()) return last_ ? Step::kEnd : Step::kNeedMore;
      scan_ = Scan::kLine;
      scan_at_ = pos_;
    }
    const void* found = std::memchr(window_.data() + scan_at_, '\n', window_.size() - scan_at_);
    if (!found && !last_) {
      scan_at_ = window_.size();
      return Step::kNeedMore;
    }
    end_ = found ? static_cast<size_t>(static_cast<const char*>(found) - window_.data())
                 : window_.size();
    size_t at = pos_;
    while (at < end_ && is_space(window_[at])) ++at;
    if (at < end_) {
      pending_ = true;
      guessing_ = false;
      return Step::kText;
    }
    // A blank line.
    scan_ = Scan::kNone;
    pos_ = end_;
    if (found) {
      ++pos_;
      ++line_;
    }
  }
}

bool TextSplitter::skip_space() {
  while (pos_ < window_.size() && is_space(window_[pos_])) {
    if (window_[pos_] == '\n') ++line_;
    ++pos_;
  }
  return pos_ < window_.size();
}

TextSplitter::Step TextSplitter::next_value(Text*) {
  if (scan_ == Scan::kNone) {
    if (!skip_space()) return last_ ? Step::kEnd : Step::kNeedMore;
    text_lines_ = 0;
    scan_at_ = pos_;
    if (guess_pause_ == 0) {
      scan_ = Scan::kLine;
    } else {
      const char c = window_[pos_];
      scan_ = c == '[' || c == '{' || c == '"' || c == ']' || c == '}' ? Scan::kNested
                                                                        : Scan::kToken;
      depth_ = 0;
      in_string_ = escaped_ = false;
    }
  }
  if (scan_ == Scan::kLine) {
    const void* found = std::memchr(window_.data() + scan_at_, '\n', window_.size() - scan_at_);
    if (!found && !last_) {
      scan_at_ = window_.size();
      return Step::kNeedMore;
    }
    end_ = found ? static_cast<size_t>(static_cast<const char*>(found) - window_.data())
                 : window_.size();
    pending_ = guessing_ = true;
    return Step::kText;
  }
  if (!scan_value()) return Step::kNeedMore;
  pending_ = true;
  guessing_ = false;
  return Step::kText;
}

bool TextSplitter::scan_value() {
  const char* const w = window_.data();
  const size_t size = window_.size();
  size_t i = scan_at_;
  bool closed = false;
  if (scan_ == Scan::kToken) {
    while (i < size && !ends_token(w[i])) ++i;
    closed = i < size;
  } else {
    for (; i < size && !closed; ++i) {
      const char c = w[i];
      if (c == '\n') ++text_lines_;
      if (in_string_) {
        if (escaped_) {
          escaped_ = false;
        } else if (c == '\\') {
          escaped_ = true;
        } else if (c == '"') {
          in_string_ = false;
          closed = depth_ == 0;
        }
      } else if (c == '"') {
        in_string_ = true;
      } else if (c == '[' || c == '{') {
        ++depth_;
      } else if (c == ']' || c == '}') {
        // A closing bracket with nothing open is a text of its own.
        closed = depth_ == 0 || --depth_ == 0;
      }
    }
  }
  if (!closed && !last_) {
    scan_at_ = size;
    return false;
  }
  end_ = i;  // past the closing byte, or the window's end
  return true;
}

void TextSplitter::take() {
  if (!pending_) return;
  if (lines_) {
    pos_ = end_;
    if (pos_ < window_.size()) {  // the line break
      ++pos_;
      ++line_;
    }
  } else {
    pos_ = end_;
    line_ += text_lines_;
    if (!guessing_ && guess_pause_ > 0) --guess_pause_;
  }
  ++index_;
  pending_ = guessing_ = false;
  scan_ = Scan::kNone;
  scan_at_ = end_ = pos_;
}

void TextSplitter::refute() {
  if (!pending_ || !guessing_) return;
  pending_ = guessing_ = false;
  guess_pause_ = kGuessPause;
  scan_ = Scan::kNone;
  scan_at_ = end_ = pos_;
}

}  // namespace tamsel
