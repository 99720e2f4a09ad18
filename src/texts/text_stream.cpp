#include "texts/text_stream.h"

#include "texts/piece_stream.h"
#include "texts/serial_stream.h"
#include "texts/source_stream.h"

namespace tamsel::texts {

std::unique_ptr<TextStream> make_text_stream(std::shared_ptr<const Program> program,
                                             size_t threads, const StreamOptions& options,
                                             StreamSource source) {
  // A source is read through a decoding reader when it may be compressed:
  // a reader's first bytes tell as they are read, memory's now.
  std::unique_ptr<DecodingReader> decoding;
  if (options.decompress) {
    if (source.reader) {
      decoding = std::make_unique<DecodingReader>(*source.reader);
    } else if (const Compression format = compression_of(source.memory);
               format != Compression::kNone) {
      decoding = std::make_unique<DecodingReader>(source.memory, format);
    }
    if (decoding) source = StreamSource{{}, false, decoding.get()};
  }
  std::unique_ptr<TextStream> stream;
  if (threads <= 1) {
    stream = std::make_unique<SerialStream>(std::move(program), options, source);
  } else {
    stream = std::make_unique<PieceStream>(std::move(program), threads, options, source);
  }
  return std::make_unique<SourceStream>(std::move(decoding), std::move(stream),
                                        !options.stop_at_bad);
}

}  // namespace tamsel::texts
