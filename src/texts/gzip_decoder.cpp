// gzip with ISA-L's inflate, which checks each member's header, its CRC and
// its length. Members follow one another (pigz, bgzip and `cat a.gz b.gz`
// write several); anything after the last that is not another member is an
// error rather than something to ignore.
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "texts/decoder.h"

namespace tamsel::texts {
namespace {

std::string_view describe(int error) {
  switch (error) {
    case ISAL_INVALID_BLOCK: return "an invalid deflate block";
    case ISAL_INVALID_SYMBOL: return "an invalid deflate code";
    case ISAL_INVALID_LOOKBACK: return "a copy from before the start of the data";
    case ISAL_INVALID_WRAPPER: return "an invalid member header";
    case ISAL_UNSUPPORTED_METHOD: return "a compression method other than deflate";
    case ISAL_INCORRECT_CHECKSUM: return "a member whose CRC does not match its data";
    default: return "an error the decoder does not name";
  }
}

class GzipDecoder final : public Decoder {
 public:
  GzipDecoder() : state_(std::make_unique<inflate_state>()) {}

  Step decode(std::string_view input, bool last, char* out, size_t room) override {
    size_t used = 0;
    size_t made = 0;
    for (;;) {
      if (!in_member_) {
        const size_t left = input.size() - used;
        if (left == 0) return taken(used, made);
        if (left < 2 || static_cast<unsigned char>(input[used]) != 0x1f ||
            static_cast<unsigned char>(input[used + 1]) != 0x8b) {
          if (left < 2 && !last) return taken(used, made);
          return fail("is followed by bytes that are not gzip", this->used() + used, "", used, made);
        }
        isal_inflate_reset(state_.get());
        state_->crc_flag = ISAL_GZIP;
        in_member_ = true;
      }
      const auto* in = reinterpret_cast<const uint8_t*>(input.data() + used);
      state_->next_in = const_cast<uint8_t*>(in);
      state_->avail_in = static_cast<uint32_t>(std::min<size_t>(input.size() - used, UINT32_MAX));
      auto* to = reinterpret_cast<uint8_t*>(out + made);
      state_->next_out = to;
      state_->avail_out = static_cast<uint32_t>(std::min<size_t>(room - made, UINT32_MAX));
      const int status = isal_inflate(state_.get());
      const size_t step_used = static_cast<size_t>(state_->next_in - in);
      const size_t step_made = static_cast<size_t>(state_->next_out - to);
      used += step_used;
      made += step_made;
      if (status < 0) return fail("is corrupt", this->used() + used, describe(status), used, made);
      if (state_->block_state == ISAL_BLOCK_FINISH) {
        in_member_ = false;
        continue;
      }
      if (made == room) return taken(used, made);
      if (used == input.size()) {
        if (last) return fail("ends inside a member", this->used() + used, "it is truncated", used, made);
        return taken(used, made);
      }
      if (step_used == 0 && step_made == 0) return taken(used, made);
    }
  }

 private:
  std::string_view name() const override { return "gzip"; }

  std::unique_ptr<inflate_state> state_;
  bool in_member_ = false;
};

}  // namespace

std::unique_ptr<Decoder> make_gzip_decoder() { return std::make_unique<GzipDecoder>(); }

}  // namespace tamsel::texts
