// Compressed sources: every format and way of writing it gives the texts
// the plain source gives, on every kind of reader and thread count; a
// broken archive ends the stream with a message naming where, after the
// texts before it; a source that is nothing but binary data says so once.
#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "texts/decoder.h"
#include "texts_stream_support.h"

namespace tamsel::texts {
namespace {

std::string gzip(std::string_view text) {
  std::string out(text.size() + text.size() / 2 + 1024, '\0');
  isal_zstream stream;
  isal_deflate_init(&stream);
  stream.gzip_flag = IGZIP_GZIP;
  stream.end_of_stream = 1;
  stream.next_in = reinterpret_cast<uint8_t*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uint32_t>(text.size());
  stream.next_out = reinterpret_cast<uint8_t*>(out.data());
  stream.avail_out = static_cast<uint32_t>(out.size());
  EXPECT_EQ(isal_deflate(&stream), COMP_OK);
  out.resize(stream.total_out);
  return out;
}

std::string zstd(std::string_view text) {
  std::string out(ZSTD_compressBound(text.size()), '\0');
  const size_t size = ZSTD_compress(out.data(), out.size(), text.data(), text.size(), 3);
  EXPECT_FALSE(ZSTD_isError(size));
  out.resize(size);
  return out;
}

// Each of `parts` compressed on its own and the results written one after
// another: members of gzip, frames of zstd.
std::string joined(const std::function<std::string(std::string_view)>& compress,
                   const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) out += compress(part);
  return out;
}

// About 600 KiB of JSON Lines: several of the reader's blocks.
std::string lines_of_texts() {
  std::string text;
  for (int i = 0; i < 12000; ++i) {
    text += "{\"n\":" + std::to_string(i) + ",\"tag\":\"" + std::string(i % 40, 'x') + "\"}\n";
  }
  return text;
}

enum class Source { kMemory, kOneByteReads, kReads, kReadsOnAnyThread };

Outcome run(std::string_view query, const std::string& bytes, Source kind, size_t threads,
            StreamOptions options = {}) {
  options.piece_bytes = 64 << 10;
  if (kind == Source::kMemory)
    return run_stream(compiled(query), threads, options, StreamSource{bytes, false, nullptr});
  ChunkedReader reader(bytes, kind == Source::kOneByteReads ? 1 : 100 << 10);
  if (kind == Source::kReadsOnAnyThread) reader.read_on_any_thread();
  return run_stream(compiled(query), threads, options, StreamSource{{}, false, &reader});
}

TEST(Decompress, EveryFormatGivesThePlainTexts) {
  const std::string text = lines_of_texts();
  const std::string third = text.substr(0, 200000), rest = text.substr(200000);
  const Outcome plain = run(".n", text, Source::kMemory, 1);
  ASSERT_EQ(plain.made.size(), 12000u);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"gzip", gzip(text)},
      {"gzip members", joined(gzip, {third, rest.substr(0, 7), rest.substr(7)})},
      {"gzip with an empty last member", joined(gzip, {text, ""})},
      {"zstd", zstd(text)},
      {"zstd frames", joined(zstd, {third, "", rest})},
  };
  for (const Case& c : cases) {
    for (const Source kind : {Source::kMemory, Source::kReads, Source::kReadsOnAnyThread}) {
      for (const size_t threads : {1, 2}) {
        SCOPED_TRACE(std::string(c.name) + " source " + std::to_string(static_cast<int>(kind)) +
                     " threads " + std::to_string(threads));
        const Outcome outcome = run(".n", c.bytes, kind, threads);
        EXPECT_EQ(outcome.end, TextStream::Step::kEnd);
        EXPECT_TRUE(outcome.made == plain.made) << outcome.made.size() << " results";
        // Every byte made once, and read by the stream once.
        EXPECT_EQ(outcome.work.decompressed, text.size());
        EXPECT_EQ(outcome.work.read, text.size());
      }
    }
  }
}

TEST(Decompress, SmallAndEmptyArchives) {
  const struct {
    std::string bytes;
    std::vector<std::string> made;
  } cases[] = {
      {gzip(""), {}},
      {zstd(""), {}},
      {joined(gzip, {"", ""}), {}},
      {gzip("1 2"), {"1", "2"}},
      {joined(zstd, {"[1", ",2]"}), {"[1,2]"}},
  };
  for (const auto& c : cases) {
    for (const Source kind : {Source::kMemory, Source::kOneByteReads, Source::kReadsOnAnyThread}) {
      const Outcome outcome = run(".", c.bytes, kind, 1);
      EXPECT_EQ(outcome.made, c.made);
      EXPECT_EQ(outcome.end, TextStream::Step::kEnd);
    }
  }
}

// Runs `bytes` to its end and gives how it ended and what the stream said
// was broken, with how many texts came before.
struct Broken {
  TextStream::Step end;
  std::string why;
  size_t texts;
};
Broken run_broken(const std::string& bytes, Source kind, size_t threads,
                  bool skip = true) {
  StreamOptions options;
  options.lines = true;
  options.stop_at_bad = !skip;
  options.piece_bytes = 64 << 10;
  options.form.as_json = true;
  ChunkedReader reader(bytes, kind == Source::kOneByteReads ? 1 : 100 << 10);
  if (kind == Source::kReadsOnAnyThread) reader.read_on_any_thread();
  StreamSource source{{}, false, &reader};
  if (kind == Source::kMemory) source = StreamSource{bytes, false, nullptr};
  Waiting waiting;
  auto stream = make_text_stream(compiled(".n"), threads, options, source);
  Broken broken{TextStream::Step::kEnd, "", 0};
  for (;;) {
    const TextResults* results = nullptr;
    Stop stop;
    broken.end = stream->next(waiting, &results, &stop);
    if (broken.end != TextStream::Step::kTexts) break;
    for (const TextRecord& record : results->texts) broken.texts += record.outcome.ran();
  }
  broken.why = std::string(stream->broken());
  return broken;
}

TEST(Decompress, ABrokenArchiveEndsTheStreamAfterTheTextsBeforeIt) {
  const std::string text = lines_of_texts();
  const std::string first = text.substr(0, text.find('\n', 300000) + 1);
  const size_t first_texts = 1 + static_cast<size_t>(std::count(first.begin(), first.end(), '\n')) - 1;
  const std::string good_gzip = gzip(first), good_zstd = zstd(first);
  std::string flipped_gzip = gzip(text);
  flipped_gzip[flipped_gzip.size() / 2] ^= 0x55;
  std::string bad_crc = gzip(text);
  bad_crc[bad_crc.size() - 6] ^= 1;
  std::string flipped_zstd = joined(zstd, {first, text});
  flipped_zstd[good_zstd.size() + 40] ^= 0x55;
  const struct {
    const char* name;
    std::string bytes;
    std::string why;  // the start of the message
    size_t least_texts;  // texts that must come out before it
  } cases[] = {
      {"gzip cut in its header", gzip(text).substr(0, 5), "gzip data ends inside a member at byte 5", 0},
      {"gzip cut in a second member", good_gzip + gzip(text).substr(0, 2000),
       "gzip data ends inside a member at byte " + std::to_string(good_gzip.size() + 2000),
       first_texts},
      {"gzip without its trailer", good_gzip.substr(0, good_gzip.size() - 4),
       "gzip data ends inside a member", first_texts - 1},
      {"gzip corrupt", flipped_gzip, "gzip data is corrupt at byte", 0},
      {"gzip CRC", bad_crc, "gzip data is corrupt at byte", 0},
      {"gzip and then garbage", good_gzip + "{}\n", "gzip data is followed by bytes that are not gzip at byte " + std::to_string(good_gzip.size()), first_texts},
      {"zstd cut", good_zstd + zstd(text).substr(0, 3000), "zstd data ends inside a frame", first_texts},
      {"zstd corrupt", flipped_zstd, "zstd data is corrupt at byte", first_texts},
      {"xz", "\xfd" "7zXZ" + std::string(1, '\0') + "rest", "the input is xz-compressed, which a stream does not decompress", 0},
  };
  for (const auto& c : cases) {
    for (const Source kind : {Source::kMemory, Source::kReads, Source::kReadsOnAnyThread}) {
      for (const size_t threads : {1, 2}) {
        SCOPED_TRACE(std::string(c.name) + " source " + std::to_string(static_cast<int>(kind)) +
                     " threads " + std::to_string(threads));
        const Broken broken = run_broken(c.bytes, kind, threads);
        EXPECT_EQ(broken.end, TextStream::Step::kReadFailed);
        EXPECT_EQ(broken.why.substr(0, c.why.size()), c.why) << broken.why;
        EXPECT_GE(broken.texts, c.least_texts);
      }
    }
  }
  // A one-byte-at-a-time reader breaks at the same byte.
  const Broken slow = run_broken(good_gzip + gzip(text).substr(0, 2000), Source::kOneByteReads, 1);
  EXPECT_EQ(slow.why.substr(0, 60), run_broken(good_gzip + gzip(text).substr(0, 2000), Source::kMemory, 1).why.substr(0, 60));
}

TEST(Decompress, TurnedOffTheBytesAreTexts) {
  StreamOptions options;
  options.decompress = false;
  options.lines = true;
  const Outcome outcome = run(".", gzip("1\n"), Source::kReads, 1, options);
  ASSERT_EQ(outcome.made.size(), 1u);
  EXPECT_NE(outcome.made[0].find("InvalidUtf8"), std::string::npos) << outcome.made[0];
}

TEST(Decompress, BinaryDataIsReportedOnceWhenSkipping) {
  std::string binary = gzip(lines_of_texts());
  const std::string text_with_a_bad_line = "{\"n\":1}\n\x01\x02garbage\n{\"n\":2}\n";
  const struct {
    const char* name;
    std::string bytes;
    bool not_text;
  } cases[] = {
      {"gzip read raw", binary, true},
      {"a control byte alone", std::string("\x01\n", 2), true},
      {"texts with one bad line", text_with_a_bad_line, false},
      {"a bad line after a kilobyte of good ones", std::string(1100, ' ') + "\x01\n1\n", false},
      {"text that is not JSON", "hello world\n", false},
  };
  for (const auto& c : cases) {
    for (const size_t threads : {1, 2}) {
      SCOPED_TRACE(std::string(c.name) + " threads " + std::to_string(threads));
      StreamOptions options;
      options.decompress = false;
      options.lines = true;
      options.stop_at_bad = false;
      options.form.as_json = true;
      Waiting waiting;
      auto stream = make_text_stream(compiled("."), threads, options,
                                     StreamSource{c.bytes, false, nullptr});
      size_t records = 0;
      TextStream::Step step;
      const TextResults* results = nullptr;
      for (;;) {
        Stop stop;
        step = stream->next(waiting, &results, &stop);
        if (step != TextStream::Step::kTexts) break;
        records += results->texts.size();
      }
      EXPECT_EQ(step == TextStream::Step::kNotText, c.not_text);
      if (step == TextStream::Step::kNotText) {
        EXPECT_EQ(records, 0u);
        ASSERT_EQ(results->texts.size(), 1u);
        EXPECT_EQ(results->texts[0].offset, 0u);
        EXPECT_NE(results->texts[0].outcome.note.find("first kilobyte"), std::string::npos);
      }
    }
  }
}

}  // namespace
}  // namespace tamsel::texts
