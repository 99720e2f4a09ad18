// A stream's threads give exactly what one thread gives, over every kind of
// source and wherever the pieces are cut, and do each byte's work once.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "texts_stream_support.h"

namespace tamsel::texts {
namespace {

const std::string kMixed =
    "\xEF\xBB\xBF{\"name\": \"caf\xC3\xA9\"}\n[1, 2] \"\xE2\x82\xAC\"\n{\"a\" 1}\n3 ] 4.5e1     \n"
    "[[6]]\n{\"a\": {\"b\": [1,\n 2]}}  \"s\\\"q\" [] {}\n\n  7\n";

StreamSource memory(const std::string& bytes) {
  StreamSource source;
  source.memory = bytes;
  return source;
}

TEST(TextStream, ThreadsAndPiecesGiveWhatOneThreadGives) {
  for (const char* query : {".", ".a", ".[0]"}) {
    for (bool lines : {false, true}) {
      for (bool stop_at_bad : {false, true}) {
        StreamOptions options;
        options.lines = lines;
        options.stop_at_bad = stop_at_bad;
        const Outcome expected = run_stream(compiled(query), 1, options, memory(kMixed));
        for (size_t piece : {1, 2, 7, 13, 64, 1000}) {
          options.piece_bytes = piece;
          for (size_t threads : {2, 3}) {
            SCOPED_TRACE(std::string(query) + " lines " + std::to_string(lines) + " piece " +
                         std::to_string(piece) + " threads " + std::to_string(threads));
            EXPECT_EQ(run_stream(compiled(query), threads, options, memory(kMixed)), expected);
            for (size_t most : {1, 5, 4096}) {
              ChunkedReader reader(kMixed, most);
              StreamSource source;
              source.reader = &reader;
              EXPECT_EQ(run_stream(compiled(query), threads, options, source), expected) << most;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace tamsel::texts
