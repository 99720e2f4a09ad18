#include "texts/text_stream.h"

#include "texts/piece_stream.h"
#include "texts/serial_stream.h"

namespace tamsel::texts {

std::unique_ptr<TextStream> make_text_stream(std::shared_ptr<const Program> program,
                                             size_t threads, const StreamOptions& options,
                                             StreamSource source) {
  if (threads <= 1) return std::make_unique<SerialStream>(std::move(program), options, source);
  return std::make_unique<PieceStream>(std::move(program), threads, options, source);
}

}  // namespace tamsel::texts
