// The projected reader writes simdjson's own tape: read for the whole value,
// a text gives word for word the tape and the strings of simdjson's parse;
// and it reads a lent text in place only where that is safe.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <variant>

#include <sys/mman.h>
#include <unistd.h>

#include "value/document_ref.h"
#include "value/json.h"
#include "value/projected_tape.h"

namespace tamsel {
namespace {

namespace dom = simdjson::dom;

// Reads `text` whole with the projected reader into `parser`; false when the
// reader leaves it to the whole parse.
bool read_whole(ProjectedTapeReader& reader, dom::parser& parser, const std::string& text) {
  std::string padded = text;
  padded.resize(text.size() + simdjson::SIMDJSON_PADDING, '\0');
  const size_t capacity = std::max<size_t>(text.size(), dom::MINIMAL_DOCUMENT_CAPACITY);
  if (parser.allocate(capacity) != simdjson::SUCCESS) return false;
  if (parser.doc.allocate(capacity) != simdjson::SUCCESS) return false;
  return reader.read(parser, padded.data(), text.size(), Projection::whole());
}

void expect_same_tape(const std::string& text, const std::string& label, bool must_take) {
  ProjectedTapeReader reader;
  dom::parser ours;
  if (!read_whole(reader, ours, text)) {
    EXPECT_FALSE(must_take) << label << ": not taken";
    return;
  }
  dom::parser theirs;
  dom::element root;
  ASSERT_EQ(theirs.parse(text).get(root), simdjson::SUCCESS) << label << ": taken, but invalid";
  const uint64_t* a = ours.doc.tape.get();
  const uint64_t* b = theirs.doc.tape.get();
  const uint64_t end = b[0] & simdjson::internal::JSON_VALUE_MASK;
  ASSERT_EQ(a[0], b[0]) << label;
  for (uint64_t i = 1; i < end; ++i) {
    ASSERT_EQ(a[i], b[i]) << label << ": tape word " << i;
    const char type = static_cast<char>(b[i] >> 56);
    if (type == '"') {
      const size_t at = b[i] & simdjson::internal::JSON_VALUE_MASK;
      uint32_t length;
      std::memcpy(&length, theirs.doc.string_buf.get() + at, sizeof length);
      ASSERT_EQ(std::memcmp(ours.doc.string_buf.get() + at, theirs.doc.string_buf.get() + at,
                            sizeof length + length + 1),
                0)
          << label << ": string at tape word " << i;
    }
    if (type == 'l' || type == 'u' || type == 'd') {
      ++i;
      ASSERT_EQ(a[i], b[i]) << label << ": number at tape word " << i;
    }
  }
}

TEST(ProjectedTape, WholeValueIsSimdjsonsTape) {
  const char* texts[] = {
      "0", "-0", "-0.0", "1.5e-10", "9999999999999999999", "9223372036854775807",
      "9223372036854775808", "-922337203685477580", "1e-400", "5e-324", "1.5e300", "-2.5e-300",
      "true", "false", "null", R"("")", R"("a\"b\\c\/d\b\f\n\r\t")", R"("\u00e9\ud83d\ude00\u0000")",
      "[]", "{}", "[[]]", R"({"a":{}})", " [ 1 , { \"k\" : [ true , null ] } ] ",
      R"({"a":1,"a":2,"b":[1,2.5,"x"],"c":{"d":{"e":[[],{}]}}})",
  };
  for (const char* text : texts) expect_same_tape(text, text, true);
  std::string many = "[";
  for (int i = 0; i < 70000; ++i) many += i ? ",1" : "1";
  expect_same_tape(many + "]", "70,000 elements", true);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(ProjectedTape, RealAndConformanceDocumentsGiveSimdjsonsTape) {
  const std::filesystem::path shared = "/work/shared";
  size_t seen = 0;
  for (const char* folder : {"json-test-suite", "bench-data"}) {
    if (!std::filesystem::is_directory(shared / folder)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(shared / folder)) {
      const std::string name = entry.path().filename().string();
      if (entry.path().extension() != ".json" || name.rfind("n_", 0) == 0) continue;
      const std::string text = read_file(entry.path());
      dom::parser check;
      if (check.parse(text).error() != simdjson::SUCCESS) continue;
      expect_same_tape(text, name, folder == std::string("bench-data"));
      ++seen;
    }
  }
  if (seen == 0) GTEST_SKIP() << "no documents in " << shared;
}

}  // namespace
}  // namespace tamsel

namespace tamsel {
namespace {

// A lent text is read where it lies only when the reader's reads past its
// end stay on its page: one that ends just before an unmapped page is
// copied first, and either way the document is the same.
TEST(ProjectedTape, LentTextNearTheEndOfAPageIsCopied) {
  const long page = sysconf(_SC_PAGESIZE);
  void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(static_cast<char*>(pages) + page, page, PROT_NONE), 0);
  const std::string text = R"({"a": [1, 2.5, "x"], "b": {"c": "\u00e9"}})";
  ReadingPlan plan([] {
    Projection need;
    need.add_member("b", Projection::whole());
    return need;
  }());
  for (const size_t room : {size_t{1}, size_t{64}, size_t{65}, size_t{500}}) {
    char* at = static_cast<char*>(pages) + page - room - text.size();
    std::memcpy(at, text.data(), text.size());
    at[text.size()] = '\0';
    JsonParser parser;
    parser.lend_text(std::string_view(at, text.size()));
    auto parsed = parser.parse_work_buffer(text.size(), &plan);
    ASSERT_TRUE(std::holds_alternative<DocumentRef>(parsed)) << room;
    const std::string_view c = std::get<DocumentRef>(parsed)["b"]["c"].get_string().value_unsafe();
    EXPECT_EQ(c, "\xc3\xa9") << room;
  }
  munmap(pages, 2 * page);
}

}  // namespace
}  // namespace tamsel
