// zstd with the reference library's streaming decoder, which goes on from
// one frame to the next by itself (zstd writes several for `cat a.zst b.zst`
// and for its own multithreaded runs) and checks each frame's checksum when
// the frame carries one.
#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

#include "texts/decoder.h"

namespace tamsel::texts {
namespace {

class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder() : context_(ZSTD_createDCtx()) {
    if (!context_) throw std::bad_alloc();
  }

  Step decode(std::string_view input, bool last, char* out, size_t room) override {
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    ZSTD_outBuffer to{out, room, 0};
    while (to.pos < to.size) {
      const size_t used_before = in.pos, made_before = to.pos;
      const size_t status = ZSTD_decompressStream(context_.get(), &to, &in);
      if (ZSTD_isError(status)) {
        // Bytes after the last frame that do not start another.
        if (ZSTD_getErrorCode(status) == ZSTD_error_prefix_unknown && frame_start_ > 0)
          return fail("is followed by bytes that are not zstd", frame_start_, "", in.pos, to.pos);
        // A frame of `zstd --long=28` or more: the window it needs would be
        // held whole, so it is refused rather than held.
        if (ZSTD_getErrorCode(status) == ZSTD_error_frameParameter_windowTooLarge)
          return fail("needs a window larger than 128 MiB", frame_start_,
                      "decompress it first (zstd -d --long=31)", in.pos, to.pos);
        return fail("is corrupt", used() + in.pos, ZSTD_getErrorName(status), in.pos, to.pos);
      }
      // A call with nothing to take or give says only that a frame may come.
      if (in.pos == used_before && to.pos == made_before) break;
      between_frames_ = status == 0;
      if (between_frames_) frame_start_ = used() + in.pos;
    }
    if (last && in.pos == in.size && to.pos < to.size && !between_frames_)
      return fail("ends inside a frame", used() + in.pos, "it is truncated", in.pos, to.pos);
    return taken(in.pos, to.pos);
  }

 private:
  struct Free {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };
  std::string_view name() const override { return "zstd"; }

  std::unique_ptr<ZSTD_DCtx, Free> context_;
  bool between_frames_ = true;
  // Where the frame being read starts in the input.
  uint64_t frame_start_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> make_zstd_decoder() { return std::make_unique<ZstdDecoder>(); }

}  // namespace tamsel::texts
