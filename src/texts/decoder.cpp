#include "texts/decoder.h"

namespace tamsel::texts {

Decoder::Step Decoder::fail(std::string_view what, uint64_t at, std::string_view detail,
                           size_t used, size_t made) {
  failure_ = std::string(name());
  failure_.append(" data ").append(what).append(" at byte ").append(std::to_string(at));
  failure_.append(" of the compressed input");
  if (!detail.empty()) failure_.append(": ").append(detail);
  used_ += used;
  return {used, made, true};
}

std::unique_ptr<Decoder> make_decoder(Compression format) {
  if (format == Compression::kGzip) return make_gzip_decoder();
  if (format == Compression::kZstd) return make_zstd_decoder();
  return nullptr;
}

std::string not_decompressed_here(Compression format) {
  std::string message = "the input is ";
  if (format == Compression::kZip) {
    return message.append("a zip archive, which a stream does not read: pass the file inside it "
                          "(zipfile.ZipFile(path).open(name))");
  }
  message.append(compression_name(format))
      .append("-compressed, which a stream does not decompress: decompress it first");
  if (format == Compression::kBzip2) message.append(", or pass bz2.open(path)");
  if (format == Compression::kXz) message.append(", or pass lzma.open(path)");
  return message;
}

}  // namespace tamsel::texts
