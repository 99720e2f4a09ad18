#include "engine/text_search.h"

#include "engine/compare.h"
#include "engine/substring.h"
#include "runtime/bounds.h"
#include "unicode/utf8.h"

namespace tamsel::engine {
namespace {

int64_t code_points_before(std::string_view s, size_t byte_pos) {
  return static_cast<int64_t>(utf8::count_code_points(s.substr(0, byte_pos)));
}

}  // namespace

std::optional<int64_t> first_position(std::string_view s, std::string_view needle) {
  size_t pos = SubstringSearch(needle).first(s);
  if (pos == std::string_view::npos) return std::nullopt;
  return code_points_before(s, pos);
}

std::optional<int64_t> last_position(std::string_view s, std::string_view needle) {
  size_t pos = SubstringSearch(needle).last(s);
  if (pos == std::string_view::npos) return std::nullopt;
  return code_points_before(s, pos);
}

Array all_positions(std::string_view s, std::string_view needle) {
  Array positions;
  if (needle.empty()) return positions;
  // Count code points incrementally so the whole scan stays linear in the
  // number of bytes passed over.
  size_t counted_bytes = 0;
  int64_t counted = 0;
  // Overlapping occurrences count too. Both texts are UTF-8, so a match can
  // only start at a character boundary.
  SubstringSearch(needle).each(s, true, [&](size_t pos) {
    runtime::note_work();
    counted += static_cast<int64_t>(
        utf8::count_code_points(s.substr(counted_bytes, pos - counted_bytes)));
    counted_bytes = pos;
    positions.push_back(Value::i64(counted));
    return true;
  });
  return positions;
}

Array split_text(std::string_view s, std::string_view separator) {
  Array pieces;
  if (separator.empty()) {
    pieces.push_back(Value::string(""));
    for (size_t pos = 0; pos < s.size();) {
      runtime::note_work();
      size_t length = 0;
      utf8::decode_at(s, pos, &length);
      pieces.push_back(Value::string(s.substr(pos, length)));
      pos += length;
    }
    pieces.push_back(Value::string(""));
    return pieces;
  }
  size_t start = 0;
  SubstringSearch(separator).each(s, false, [&](size_t pos) {
    runtime::note_work();
    pieces.push_back(Value::string(s.substr(start, pos - start)));
    start = pos + separator.size();
    return true;
  });
  pieces.push_back(Value::string(s.substr(start)));
  return pieces;
}

bool contains_value(View a, View b) {
  const Kind ka = a.kind(), kb = b.kind();
  if (ka == Kind::String && kb == Kind::String) {
    // A text never holds a longer one: no need to index the pattern.
    if (b.as_string().size() > a.as_string().size()) return false;
    return SubstringSearch(b.as_string()).first(a.as_string()) != SubstringSearch::npos;
  }
  if (ka == Kind::Array && kb == Kind::Array) {
    for (View wanted : b.elements()) {
      bool found = false;
      for (View candidate : a.elements()) {
        if (contains_value(candidate, wanted)) {
          found = true;
          break;
        }
      }
      if (!found) return false;
    }
    return true;
  }
  if (ka == Kind::Object && kb == Kind::Object) {
    for (const View::Member& wanted : b.members()) {
      std::optional<View> member = a.member(wanted.key);
      if (!member || !contains_value(*member, wanted.value)) return false;
    }
    return true;
  }
  return compare_values(a, query::CompareOp::Eq, b);
}

}  // namespace tamsel::engine
