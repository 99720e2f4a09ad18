// The compressed formats a JSON text may arrive in, told by the bytes they
// start with, never by a file name. No JSON text starts with any of these
// bytes, so telling them apart is safe.
#pragma once

#include <string_view>

namespace tamsel {

enum class Compression {
  kNone,
  kGzip,   // RFC 1952: one member or several, as pigz and bgzip write them
  kZstd,   // RFC 8878: one frame or several
  kBzip2,
  kXz,
  kLz4,
  kZip,    // an archive of files rather than a compressed stream
};

// What `start`, the first bytes of a source, says it is. kNone as well when
// `start` is too short to tell: see could_be_compressed().
Compression compression_of(std::string_view start);
// Whether `start` is a proper beginning of some format's mark, so that a
// few bytes more are needed to tell.
bool could_be_compressed(std::string_view start);
// The most bytes compression_of() looks at.
inline constexpr size_t kCompressionMarkBytes = 10;

// Its name as people write it: "gzip", "zstd", "bzip2", "xz", "lz4", "zip".
std::string_view compression_name(Compression format);
// Whether this module decompresses it.
inline bool decompressed_here(Compression format) {
  return format == Compression::kGzip || format == Compression::kZstd;
}

}  // namespace tamsel
