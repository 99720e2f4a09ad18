// Decompression of a compressed stream, a call at a time: bytes of the
// compressed input in, bytes of text out, and when the input is not what
// its format says, why, as a message that names the format and the byte of
// the compressed input where it broke.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "value/compression.h"

namespace tamsel::texts {

class Decoder {
 public:
  struct Step {
    size_t used = 0;  // input bytes taken
    size_t made = 0;  // output bytes written
    // The input is not valid data of the format (failure() says why);
    // nothing after `used` is taken.
    bool failed = false;
  };

  virtual ~Decoder() = default;

  // Decodes from `input` into `out` (room for `room` bytes). With `input`
  // all that is left (`last`), an input that ends inside a member or a
  // frame fails. A step that uses and makes nothing needs more input.
  virtual Step decode(std::string_view input, bool last, char* out, size_t room) = 0;
  // Why the step that failed did.
  const std::string& failure() const { return failure_; }
  // Input bytes taken so far.
  uint64_t used() const { return used_; }

 protected:
  // Records a failure: "<format> data <what> at byte <at> of the compressed
  // input", and after a colon `detail` when there is one.
  Step fail(std::string_view what, uint64_t at, std::string_view detail, size_t used, size_t made);
  virtual std::string_view name() const = 0;
  // Records a step's input bytes.
  Step taken(size_t used, size_t made) {
    used_ += used;
    return {used, made, false};
  }

 private:
  std::string failure_;
  uint64_t used_ = 0;
};

// The decoder of `format`, which decompressed_here() says this module
// reads; each format's in a file of its own. Throw std::bad_alloc.
std::unique_ptr<Decoder> make_decoder(Compression format);
std::unique_ptr<Decoder> make_gzip_decoder();
std::unique_ptr<Decoder> make_zstd_decoder();

// The message of a source in a format this module does not decompress.
std::string not_decompressed_here(Compression format);

}  // namespace tamsel::texts
