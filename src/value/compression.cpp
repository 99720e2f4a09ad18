#include "value/compression.h"

#include <algorithm>

namespace tamsel {
namespace {

using namespace std::string_view_literals;

struct Mark {
  std::string_view bytes;
  Compression format;
};

// bzip2's is its "BZh" and a block size digit, then the block mark "1AY&SY"
// (the digits of pi), checked here with the size digit '9'; others are
// matched with any size digit below.
constexpr Mark kMarks[] = {
    {"\x1f\x8b"sv, Compression::kGzip},
    {"\x28\xb5\x2f\xfd"sv, Compression::kZstd},
    {"\xfd" "7zXZ\x00"sv, Compression::kXz},
    {"\x04\x22\x4d\x18"sv, Compression::kLz4},
    {"PK\x03\x04"sv, Compression::kZip},
    {"BZh91AY&SY"sv, Compression::kBzip2},
};

bool matches(std::string_view start, const Mark& mark, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const bool any_size = mark.format == Compression::kBzip2 && i == 3;
    if (any_size ? (start[i] < '1' || start[i] > '9') : start[i] != mark.bytes[i]) return false;
  }
  return true;
}

}  // namespace

Compression compression_of(std::string_view start) {
  for (const Mark& mark : kMarks) {
    if (start.size() >= mark.bytes.size() && matches(start, mark, mark.bytes.size()))
      return mark.format;
  }
  return Compression::kNone;
}

bool could_be_compressed(std::string_view start) {
  return std::any_of(std::begin(kMarks), std::end(kMarks), [&](const Mark& mark) {
    return start.size() < mark.bytes.size() && matches(start, mark, start.size());
  });
}

std::string_view compression_name(Compression format) {
  switch (format) {
    case Compression::kNone: return "";
    case Compression::kGzip: return "gzip";
    case Compression::kZstd: return "zstd";
    case Compression::kBzip2: return "bzip2";
    case Compression::kXz: return "xz";
    case Compression::kLz4: return "lz4";
    case Compression::kZip: return "zip";
  }
  return "";
}

}  // namespace tamsel
