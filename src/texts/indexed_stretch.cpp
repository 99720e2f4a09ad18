#include "texts/indexed_stretch.h"

#include <algorithm>
#include <cstring>

#include "texts/text_splitter.h"

namespace tamsel::texts {
namespace {

// How far past a text its reader may look.
constexpr size_t kReadPast = 64;

// What may follow a number or a literal that ends a text at once.
bool ends_scalar_text(char c) {
  return c == '[' || c == ']' || c == '{' || c == '}' || c == '"';
}

}  // namespace

void IndexedStretch::forget() {
  valid_ = false;
  none_before_ = 0;
}

bool IndexedStretch::index_from(std::string_view window, bool padded, size_t first) {
  valid_ = false;
  if (first < none_before_) return false;
  // The stretch ends with a line break, and its reader may look up to 64
  // bytes past it.
  const size_t usable = padded ? window.size()
                        : window.size() > kReadPast ? window.size() - kReadPast
                                                    : 0;
  const size_t limit = std::min(usable, first + kStretchBytes);
  const void* line_break =
      limit > first ? memrchr(window.data() + first, '\n', limit - first) : nullptr;
  if (!line_break) {
    none_before_ = std::max(limit, first + 1);
    return false;
  }
  const size_t end = static_cast<size_t>(static_cast<const char*>(line_break) - window.data()) + 1;
  if (!texts_.index(window.data() + first, end - first)) {
    none_before_ = end;
    return false;
  }
  valid_ = true;
  begin_ = first;
  end_ = end;
  next_ = 0;
  return true;
}

std::optional<IndexedStretch::Read> IndexedStretch::read(JsonParser& parser, ReadingPlan& plan,
                                                         std::string_view window, bool padded,
                                                         bool lines, size_t start,
                                                         size_t first) {
  if ((!valid_ || first >= end_) && !index_from(window, padded, first)) return std::nullopt;
  const char* const data = texts_.data();
  const size_t at = first - begin_;
  const uint32_t k = texts_.structural_at(at, next_);
  if (k == texts_.count()) return std::nullopt;
  next_ = k;
  uint32_t next = 0;
  std::optional<DocumentRef> document = parser.read_next(texts_, k, plan, &next);
  if (!document) return std::nullopt;
  // Where the next value starts; the stretch's final line break after the last.
  const size_t after = next < texts_.count() ? texts_.offset(next) : texts_.size() - 1;
  const char root = data[at];
  if (root != '[' && root != '{' && root != '"' && next < texts_.count() &&
      !is_json_space(data[after - 1]) && !ends_scalar_text(data[after])) {
    // A scalar followed at once by a comma or a colon: the text runs on.
    return std::nullopt;
  }
  Read read{*document, 0, 0};
  if (lines) {
    // The line must hold this value alone: its first break comes after the
    // value's last structural character and before the next value.
    const size_t last = texts_.offset(next - 1);
    const void* line_break = std::memchr(data + at, '\n', after + 1 - at);
    if (!line_break || static_cast<const char*>(line_break) < data + last) return std::nullopt;
    read.end = begin_ + static_cast<size_t>(static_cast<const char*>(line_break) - data);
    read.size = read.end - start;
  } else {
    size_t end = after;
    while (end > at && is_json_space(data[end - 1])) --end;
    read.end = begin_ + end;
    read.size = end - at;
  }
  next_ = next;
  return read;
}

}  // namespace tamsel::texts
