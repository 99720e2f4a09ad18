#include "texts/text_splitter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tamsel::texts {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Longer lines are split by the rules alone: a guess parses its whole line,
// which must fit in the window.
constexpr size_t kLongestGuess = size_t{1} << 20;
// The longest rest of a stream that is guessed to be one text.
constexpr size_t kLongestRestGuess = size_t{4} << 20;

// Ends a text that is neither container nor string; between elements, a
// comma does too.
bool ends_token(char c, bool elements) {
  switch (c) {
    case ' ': case '\n': case '\r': case '\t':
    case '[': case ']': case '{': case '}': case '"':
      return true;
    case ',':
      return elements;
    default:
      return false;
  }
}

}  // namespace

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
#define TAMSEL_COUNT_WITH_AVX2 1
// The same count as the portable loop below, 32 bytes at a step, for
// processors that have AVX2 (asked at run time): every byte of a stream
// passes through it once.
__attribute__((target("avx2"))) uint64_t count_line_breaks_avx2(const char* text, size_t size,
                                                                 size_t* done) {
  const __m256i newline = _mm256_set1_epi8('\n');
  const __m256i zero = _mm256_setzero_si256();
  uint64_t count = 0;
  size_t i = 0;
  while (size - i >= 32) {
    // Each byte lane counts its matches (a match subtracts -1), for at most
    // 255 blocks before the lanes are summed.
    __m256i lanes = zero;
    const size_t blocks = std::min<size_t>((size - i) / 32, 255);
    for (size_t b = 0; b < blocks; ++b, i += 32) {
      const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + i));
      lanes = _mm256_sub_epi8(lanes, _mm256_cmpeq_epi8(block, newline));
    }
    const __m256i sums = _mm256_sad_epu8(lanes, zero);
    count += static_cast<uint64_t>(_mm256_extract_epi64(sums, 0)) +
             static_cast<uint64_t>(_mm256_extract_epi64(sums, 1)) +
             static_cast<uint64_t>(_mm256_extract_epi64(sums, 2)) +
             static_cast<uint64_t>(_mm256_extract_epi64(sums, 3));
  }
  *done = i;
  return count;
}
#endif

}  // namespace

uint64_t count_line_breaks(const char* text, size_t size) {
  uint64_t count = 0;
  size_t i = 0;
#if defined(TAMSEL_COUNT_WITH_AVX2)
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) count = count_line_breaks_avx2(text, size, &i);
#endif
  for (; i < size; ++i) count += text[i] == '\n';
  return count;
}

TextSplitter::TextSplitter(bool lines, bool at_stream_start, const ElementPath* elements)
    : lines_(lines), bom_checked_(!at_stream_start) {
  if (elements) {
    frame_ = std::make_unique<ElementFrame>(*elements, !at_stream_start);
    // The rest of a stream holds the array's end, no element.
    rest_guessed_ = true;
  }
}

std::string TextSplitter::broken(uint64_t base) const {
  if (!frame_) return std::string();
  return "not one JSON array of elements: " + frame_->broken() + " at byte " +
         std::to_string(base + broken_offset_);
}

void TextSplitter::refuse_member(std::string_view why) {
  if (!frame_ || !pending_ || !member_) return;
  frame_->refuse_member(why, pos_);
  pending_ = false;
  scan_ = Scan::kNone;
  scan_at_ = end_ = pos_;
}

TextSplitter::Step TextSplitter::next_in_frame() {
  switch (frame_->advance(window_, &pos_, last_)) {
    case ElementFrame::Step::kElement:
      member_ = false;
      return Step::kText;
    case ElementFrame::Step::kMember:
      member_ = true;
      return Step::kText;
    case ElementFrame::Step::kNeedMore: return Step::kNeedMore;
    case ElementFrame::Step::kEnd: return Step::kEnd;
    case ElementFrame::Step::kBroken:
      broken_offset_ = offset_ + frame_->broken_at();
      return Step::kBroken;
  }
  return Step::kBroken;
}

size_t TextSplitter::hand_over() {
  if (counted_ < pos_) {
    line_ += count_line_breaks(window_.data() + counted_, pos_ - counted_);
    counted_ = pos_;
  }
  return pos_;
}

void TextSplitter::set_window(std::string_view window, bool last) {
  // The new window starts where the old one was passed.
  offset_ += pos_;
  scan_at_ -= pos_;
  end_ -= pos_;
  counted_ -= pos_;
  no_guess_before_ = no_guess_before_ > pos_ ? no_guess_before_ - pos_ : 0;
  pos_ = 0;
  window_ = window;
  last_ = last;
}

uint64_t TextSplitter::line_of(uint64_t offset) {
  const size_t at = static_cast<size_t>(offset - offset_);
  if (at > counted_) {
    line_ += count_line_breaks(window_.data() + counted_, at - counted_);
    counted_ = at;
  }
  return line_;
}

bool TextSplitter::check_byte_order_mark() {
  if (bom_checked_) return true;
  const size_t have = std::min(window_.size(), kByteOrderMark.size());
  if (window_.substr(0, have) == kByteOrderMark.substr(0, have)) {
    if (have < kByteOrderMark.size() && !last_) return false;
    if (have == kByteOrderMark.size()) pos_ = scan_at_ = end_ = have;
  }
  bom_checked_ = true;
  return true;
}

TextSplitter::Step TextSplitter::next(Text* text) {
  if (!check_byte_order_mark()) return Step::kNeedMore;
  if (!pending_) {
    const Step step = lines_ ? next_line() : next_value();
    if (step != Step::kText) return step;
  }
  text->bytes = window_.substr(pos_, end_ - pos_);
  text->index = index_;
  text->offset = offset_ + pos_;
  text->guess = guessing_;
  text->member = member_;
  return Step::kText;
}

TextSplitter::Step TextSplitter::start(Text* text, size_t* first) {
  if (!check_byte_order_mark()) return Step::kNeedMore;
  const bool at_rest = !pending_ && scan_ == Scan::kNone;
  // A line whose end is still being looked for may be blank: where the
  // next text starts is not known yet, and next() goes on looking.
  if (lines_ && !at_rest) return Step::kNeedMore;
  if (frame_) {
    // Only elements are read this way: next() finds the rest.
    if (at_rest) {
      const Step step = next_in_frame();
      if (step != Step::kText) return step;
    }
    if (member_) return Step::kNeedMore;
  } else if (!lines_ && at_rest && !skip_space()) {
    return last_ ? Step::kEnd : Step::kNeedMore;
  }
  // A line's text starts where the line does: only look past its space,
  // and past blank lines, which are no texts.
  size_t at = pos_;
  for (;;) {
    while (at < window_.size() && is_json_space(window_[at]) && window_[at] != '\n') ++at;
    if (at == window_.size()) return last_ ? Step::kEnd : Step::kNeedMore;
    if (window_[at] != '\n') break;
    ++at;
    if (lines_) pos_ = at;
  }
  *first = at;
  text->bytes = std::string_view();
  text->index = index_;
  text->offset = offset_ + pos_;
  text->guess = false;
  text->member = false;
  return Step::kText;
}

TextSplitter::Step TextSplitter::next_line() {
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
    while (at < end_ && is_json_space(window_[at])) ++at;
    if (at < end_) {
      pending_ = true;
      guessing_ = false;
      return Step::kText;
    }
    // A blank line.
    scan_ = Scan::kNone;
    pos_ = found ? end_ + 1 : end_;
  }
}

bool TextSplitter::skip_space() {
  while (pos_ < window_.size() && is_json_space(window_[pos_])) ++pos_;
  return pos_ < window_.size();
}

TextSplitter::Step TextSplitter::next_value() {
  if (scan_ == Scan::kNone) {
    if (frame_) {
      const Step step = next_in_frame();
      if (step != Step::kText) return step;
    } else if (!skip_space()) {
      return last_ ? Step::kEnd : Step::kNeedMore;
    }
    if (!member_ && ((pos_ >= no_guess_before_ && guess_line()) || guess_rest())) {
      pending_ = guessing_ = true;
      return Step::kText;
    }
    begin_scan();
  }
  if (!scan_value()) return Step::kNeedMore;
  pending_ = true;
  guessing_ = false;
  return Step::kText;
}

bool TextSplitter::guess_line() {
  const size_t limit = std::min(window_.size(), pos_ + kLongestGuess);
  const void* found = std::memchr(window_.data() + pos_, '\n', limit - pos_);
  if (found) {
    end_ = static_cast<size_t>(static_cast<const char*>(found) - window_.data());
    if (frame_) {
      // An element a line: the line less the comma after the element.
      auto trim_space = [&] {
        while (end_ > pos_ && is_json_space(window_[end_ - 1])) --end_;
      };
      trim_space();
      if (end_ > pos_ && window_[end_ - 1] == ',') --end_;
      trim_space();
      return end_ > pos_;
    }
    return true;
  }
  if (last_ && window_.size() - pos_ <= kLongestGuess) {
    end_ = window_.size();
    return true;
  }
  // No line ends here: no guess can before the end of what was searched.
  no_guess_before_ = limit;
  return false;
}

bool TextSplitter::guess_rest() {
  if (rest_guessed_ || !last_ || window_.size() - pos_ > kLongestRestGuess) return false;
  rest_guessed_ = true;
  end_ = window_.size();
  return true;
}

void TextSplitter::begin_scan() {
  const char c = window_[pos_];
  const bool nested = c == '[' || c == '{' || c == '"' || c == ']' || c == '}';
  scan_ = nested ? Scan::kNested : Scan::kToken;
  scan_at_ = pos_;
  depth_ = 0;
  in_string_ = escaped_ = false;
}

bool TextSplitter::scan_value() {
  const char* const w = window_.data();
  const size_t size = window_.size();
  size_t i = scan_at_;
  bool closed = false;
  if (scan_ == Scan::kToken) {
    const bool elements = frame_ != nullptr;
    while (i < size && !ends_token(w[i], elements)) ++i;
    closed = i < size;
  } else {
    for (; i < size && !closed; ++i) {
      const char c = w[i];
      if (in_string_ && !escaped_) {
        // To the quote that closes the string, found by memchr: it is the
        // first one after an even run of backslashes.
        const void* quote = std::memchr(w + i, '"', size - i);
        if (!quote) {
          // The string goes on past the window: is its last byte an
          // escaping backslash?
          size_t run = 0;
          while (size - run > i && w[size - 1 - run] == '\\') ++run;
          escaped_ = run % 2 == 1;
          i = size - 1;
          continue;
        }
        const size_t q = static_cast<size_t>(static_cast<const char*>(quote) - w);
        size_t run = 0;
        while (q - run > i && w[q - 1 - run] == '\\') ++run;
        i = q;
        if (run % 2 == 0) {
          in_string_ = false;
          closed = depth_ == 0;
        }
        continue;
      }
      if (in_string_) {
        escaped_ = false;
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
  pos_ = end_;
  if (lines_ && pos_ < window_.size()) ++pos_;  // the line break
  if (frame_) frame_->took();
  if (!member_) ++index_;
  member_ = false;
  pending_ = guessing_ = false;
  scan_ = Scan::kNone;
  scan_at_ = end_ = pos_;
}

void TextSplitter::take_until(size_t end) {
  end_ = end;
  pending_ = true;
  guessing_ = false;
  take();
}

void TextSplitter::refute() {
  if (!pending_ || !guessing_) return;
  no_guess_before_ = end_ + 1;  // past the line's break
  pending_ = guessing_ = false;
  scan_ = Scan::kNone;
  scan_at_ = end_ = pos_;
}

}  // namespace tamsel::texts
