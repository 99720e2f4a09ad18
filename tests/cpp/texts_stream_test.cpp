// A stream's threads give exactly what one thread gives, over every kind of
// source and wherever the pieces are cut, and do each byte's work once.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "texts/reader.h"

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

namespace tamsel::texts {
namespace {

// JSON Lines of events of about 300 bytes, or the same laid out over lines.
std::string events(size_t count, bool laid_out) {
  std::string s;
  for (size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    const char* sep = laid_out ? "\n  " : "";
    s += std::string("{") + sep + "\"id\": " + n + "," + sep + "\"type\": \"" +
         (i % 3 ? "PushEvent" : "WatchEvent") + "\"," + sep + "\"actor\": {\"login\": \"user" + n +
         "\", \"url\": \"https://example.com/u/" + n + "\"}," + sep +
         "\"payload\": {\"commits\": [{\"message\": \"fix \\\"quoted\\\" " +
         std::string(120, 'x') + "\"}]}" + (laid_out ? "\n" : "") + "}\n";
  }
  return s;
}

struct TempFile {
  explicit TempFile(const std::string& bytes) {
    char name[] = "/tmp/tamsel-stream-XXXXXX";
    const int fd = mkstemp(name);
    path = name;
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

// Each byte of a threaded stream is read, run and parsed once, whatever the
// source, and its buffers hold the pieces in flight and no more.
TEST(TextStream, ThreadsDoEachBytesWorkOnce) {
  const auto program = compiled("select(.type == \"PushEvent\") | .actor.login");
  for (bool laid_out : {false, true}) {
    const std::string bytes = events(20000, laid_out);
    for (bool lines : {false, true}) {
      if (lines && laid_out) continue;
      StreamOptions options;
      options.lines = lines;
      options.piece_bytes = size_t{256} << 10;
      const Outcome expected = run_stream(program, 1, options, memory(bytes));
      ASSERT_EQ(expected.made.size(), 13333u);
      TempFile file(bytes);
      const size_t threads = 2;
      auto check = [&](const char* kind, const Outcome& outcome, bool read) {
        SCOPED_TRACE(std::string(kind) + (lines ? " lines" : "") + (laid_out ? " laid out" : ""));
        EXPECT_EQ(outcome, expected);
        const StreamWork& work = outcome.work;
        EXPECT_EQ(work.run, bytes.size());
        EXPECT_LE(work.parsed, bytes.size() * 11 / 10);
        if (read) {
          EXPECT_EQ(work.read, bytes.size());
          EXPECT_LE(work.copied, bytes.size() / 20);
          // The pieces in flight, each with room for a read after it, and
          // the one being read.
          EXPECT_LE(work.most_held, (2 * threads + 2) * (options.piece_bytes + (size_t{128} << 10)));
        }
      };
      check("memory", run_stream(program, threads, options, memory(bytes)), false);
      {
        FdReader reader(open(file.path.c_str(), O_RDONLY));
        StreamSource source;
        source.reader = &reader;
        check("path", run_stream(program, threads, options, source), true);
      }
      {
        ChunkedReader reader(bytes, 64 << 10);
        StreamSource source;
        source.reader = &reader;
        check("file object", run_stream(program, threads, options, source), true);
      }
      {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        std::thread writer([&] {
          for (size_t at = 0; at < bytes.size(); at += 10000) {
            const size_t size = std::min<size_t>(10000, bytes.size() - at);
            ASSERT_EQ(write(ends[1], bytes.data() + at, size), static_cast<ssize_t>(size));
          }
          close(ends[1]);
        });
        FdReader reader(ends[0]);
        StreamSource source;
        source.reader = &reader;
        check("pipe", run_stream(program, threads, options, source), true);
        writer.join();
      }
    }
  }
}

// A text is handed out once it is finished and every text before it has
// run, while the source stays open.
TEST(TextStream, ThreadsHandOutWhatAnOpenPipeHasGiven) {
  for (bool lines : {false, true}) {
    for (size_t threads : {1, 2}) {
      int ends[2];
      ASSERT_EQ(pipe(ends), 0);
      // Finished texts, one of them without a line break after it.
      const std::string given = lines ? "{\"a\": 1}\n[2]\n" : "{\"a\": 1}\n[2] \"three\"";
      ASSERT_EQ(write(ends[1], given.data(), given.size()), static_cast<ssize_t>(given.size()));
      FdReader reader(ends[0]);
      StreamSource source;
      source.reader = &reader;
      StreamOptions options;
      options.lines = lines;
      options.form.as_json = true;
      auto stream = make_text_stream(compiled("."), threads, options, source);
      Waiting waiting;
      std::vector<std::string> made;
      while (made.size() < (lines ? 2u : 3u)) {
        const TextResults* batch = nullptr;
        Stop stop;
        ASSERT_EQ(stream->next(waiting, &batch, &stop), TextStream::Step::kTexts);
        ResultTape::Reader tape(batch->tape);
        for (const TextRecord& record : batch->texts) {
          for (uint32_t i = 0; i < record.results; ++i) {
            tape.tag();
            made.emplace_back(tape.string());
          }
        }
      }
      EXPECT_EQ(made.back(), lines ? "[2]" : "\"three\"") << threads;
      close(ends[1]);
      const TextResults* batch = nullptr;
      Stop stop;
      EXPECT_EQ(stream->next(waiting, &batch, &stop), TextStream::Step::kEnd);
    }
  }
}

// The texts a failed read's bytes finish are handed out before it; one it
// leaves unfinished is not run, for the source does not end there.
TEST(TextStream, AReadThatFailsComesAfterTheTextsBeforeIt) {
  const std::string bytes = "1 2 [3, 4] {\"a\":";
  for (size_t threads : {1, 2}) {
    for (size_t most : {1, 3, 100}) {
      ChunkedReader reader(bytes, most);
      reader.fail_after(bytes.size());
      StreamSource source;
      source.reader = &reader;
      StreamOptions options;
      options.piece_bytes = 2;
      const Outcome outcome = run_stream(compiled("."), threads, options, source);
      EXPECT_EQ(outcome.made, (std::vector<std::string>{"1", "2", "[3,4]"})) << threads << most;
      EXPECT_EQ(outcome.end, TextStream::Step::kReadFailed);
    }
  }
}

// A source that ends inside a text that never closes: the text is a bad
// one, after every text before it, at any thread count.
TEST(TextStream, ASourceThatEndsInsideAText) {
  const std::string bytes = "{\"id\": 0}{\"id\": 1}[2]3\"s4\"[[ ";
  for (bool stop_at_bad : {false, true}) {
    StreamOptions options;
    options.stop_at_bad = stop_at_bad;
    options.piece_bytes = 3;
    const Outcome expected = run_stream(compiled("."), 1, options, memory(bytes));
    ASSERT_EQ(expected.made.size(), 6u);
    for (size_t threads : {2, 4}) {
      ChunkedReader reader(bytes, 2);
      StreamSource source;
      source.reader = &reader;
      EXPECT_EQ(run_stream(compiled("."), threads, options, source), expected);
    }
  }
}

}  // namespace
}  // namespace tamsel::texts

namespace tamsel::texts {
namespace {

// Outside JSON Lines a piece is cut where a line opens an array or object;
// where that place lies inside a text, the pieces after it run again, cut
// by the cut finder from then on, and nothing else changes.
TEST(TextStream, ALikelyCutInsideATextIsCutAgain) {
  const std::string bytes =
      "{\"a\": 1}\n[\n{\"b\": 2},\n{\"c\": [\n[3]\n]}\n]\n{\"d\": \"x\"}\n[\n[4],\n[5]\n]\n6\n";
  for (bool stop_at_bad : {false, true}) {
    StreamOptions options;
    options.stop_at_bad = stop_at_bad;
    const Outcome expected = run_stream(compiled("."), 1, options, memory(bytes));
    ASSERT_EQ(expected.made.size(), 5u);
    for (size_t piece : {1, 5, 12, 30}) {
      options.piece_bytes = piece;
      for (size_t threads : {2, 3}) {
        const Outcome from_memory = run_stream(compiled("."), threads, options, memory(bytes));
        EXPECT_EQ(from_memory, expected) << piece << " " << threads;
        EXPECT_EQ(from_memory.work.run, bytes.size());
        EXPECT_GT(from_memory.work.run_again, 0u) << piece;
        ChunkedReader reader(bytes, 7);
        StreamSource source;
        source.reader = &reader;
        const Outcome read = run_stream(compiled("."), threads, options, source);
        EXPECT_EQ(read, expected) << piece << " " << threads;
        EXPECT_EQ(read.work.run, bytes.size());
      }
    }
  }
}

}  // namespace
}  // namespace tamsel::texts
