// The elements of one array as a stream's texts: what each source gives,
// wherever its windows and pieces end, and the memory it holds.
#include <string>
#include <vector>

#include "texts/element_frame.h"

#include "texts_stream_support.h"

namespace tamsel::texts {
namespace {

StreamSource memory(const std::string& bytes) {
  StreamSource source;
  source.memory = bytes;
  return source;
}

using Step = TextStream::Step;

struct Case {
  const char* source;
  const char* path;  // as elements= writes it
  std::vector<std::string> made;
  // After the results: "" for the end, else the message of the broken array.
  const char* broken = "";
};

// Each element's results (as JSON text) or its bad text ("index@offset:line
// message"), then how the stream ended, for the query ".", bad texts skipped.
const Case kCases[] = {
    {"[]", ".", {}},
    {" \n[ ]\n ", ".", {}},
    {"[7]", ".", {"7"}},
    {"[1,\"a\",null,true,false,-2.5e3,[],{},[[1],[2,[3]]],{\"k\":[1,{\"m\":\"]\"}]}]", ".",
     {"1", "\"a\"", "null", "true", "false", "-2500", "[]", "{}", "[[1],[2,[3]]]",
      "{\"k\":[1,{\"m\":\"]\"}]}"}},
    {"[ 1 ,\n2\t,\r\n 3\n]", ".", {"1", "2", "3"}},
    {"[\"a,b\",\"c\\\"]\",\"\\\\\"]", ".", {"\"a,b\"", "\"c\\\"]\"", "\"\\\\\""}},
    {"\xEF\xBB\xBF[1]", ".", {"1"}},
    // Lines that open an object after a comma, inside an element: a piece
    // cut there is run again.
    {"[{\"a\": [1,\n{\"b\": 2},\n{\"c\": 3}]},\n{\"d\": 4}]", ".",
     {"{\"a\":[1,{\"b\":2},{\"c\":3}]}", "{\"d\":4}"}},
    {"{\"x\": [1,\n{\"b\": 2}],\n\"items\": [\n[5],\n[6]]}", ".items", {"[5]", "[6]"}},
    // Bad elements are bad texts, framed as the rules say.
    {"[1,tru,3]", ".", {"1", "1@3:1 ExpectedTrue at character 0 ('t')", "3"}},
    {"[1,\n{\"a\":}, 3]", ".", {"1", "1@4:2 ExpectedObjectContent at character 5 ('}')", "3"}},
    // The array's own grammar breaks the stream, after what came before.
    {"", ".", {}, "the source holds no JSON array: expected '[', found the end of the source at byte 0"},
    {"{\"a\":1}", ".", {}, "the source is not a JSON array: expected '[', found '{' at byte 0"},
    {"[1,2", ".", {"1", "2"}, "the array never closes, found the end of the source at byte 4"},
    {"[1,", ".", {"1"}, "the array never closes, found the end of the source at byte 3"},
    {"[1 2]", ".", {"1"}, "expected ',' or ']' after an element, found '2' at byte 3"},
    {"[{} {}]", ".", {"{}"}, "expected ',' or ']' after an element, found '{' at byte 4"},
    {"[1,,2]", ".", {"1"}, "expected an element after ',', found ',' at byte 3"},
    {"[1,]", ".", {"1"}, "expected an element after ',', found ']' at byte 3"},
    {"[,1]", ".", {}, "expected an element or ']', found ',' at byte 1"},
    {"[1] 2", ".", {"1"}, "text after the end of the array, found '2' at byte 4"},
    {"[1]]", ".", {"1"}, "text after the end of the array, found ']' at byte 3"},
    // An array inside objects; the other members are checked, not run.
    {"{\"count\": 2, \"items\": [1, 2], \"more\": {\"x\": [3]}}", ".items", {"1", "2"}},
    {"{\"a\": {\"items\": [9]}, \"items\": [1]}", ".items", {"1"}},
    {"{\"d\": {\"x\": 1, \"rows\": [[1], [2]]}}", ".d.rows", {"[1]", "[2]"}},
    {"{\"it\\u0065ms\": [5]}", ".items", {"5"}},
    {"{\"items\": [1], \"items\": [2]}", ".items", {"1"}},
    {"{\"x\": 1}", ".items", {},
     "the source has no array at .items: the object holds no member \"items\", found '}' at byte 7"},
    {"[1]", ".items", {}, "the source has no array at .items: expected an object, '{', found '[' at byte 0"},
    {"{\"items\": 5}", ".items", {}, "the value at .items is not an array: expected '[', found '5' at byte 10"},
    {"{\"items\": [1], \"bad\": [1,}", ".items", {"1"},
     "the value of the member \"bad\" around the array is not JSON: ExpectedArrayContent at "
     "character 3 ('}') at byte 22"},
    {"{\"n\": tru, \"items\": [1]}", ".items", {},
     "the value of the member \"n\" around the array is not JSON: ExpectedTrue at character 0 "
     "('t') at byte 6"},
    {"{\"items\": [1],}", ".items", {"1"}, "expected a member's key, '\"', found '}' at byte 14"},
    {"{\"items\" [1]}", ".items", {}, "expected ':' after the key \"items\", found '[' at byte 9"},
    {"{\"items\": [1]} x", ".items", {"1"}, "text after the end of the array, found 'x' at byte 15"},
    {"{\"items\": [1]", ".items", {"1"}, "the array never closes, found the end of the source at byte 13"},
    {"{\"ite", ".items", {}, "a member's key never closes, found the end of the source at byte 5"},
};

Outcome expected_of(const Case& c) {
  Outcome outcome;
  outcome.made = c.made;
  if (*c.broken) {
    outcome.end = Step::kReadFailed;
    outcome.broken = std::string("not one JSON array of elements: ") + c.broken;
  }
  return outcome;
}

// Every case from memory and from reads of every size (so that each byte
// boundary is a window's end), on one thread and on two with pieces of
// every small size, gives its row.
TEST(Elements, EachSourceGivesItsElements) {
  const auto program = compiled(".");
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.source);
    StreamOptions options;
    options.stop_at_bad = false;
    ASSERT_TRUE(parse_element_path(c.path, &options.elements.emplace()));
    const Outcome expected = expected_of(c);
    EXPECT_EQ(run_stream(program, 1, options, memory(c.source)), expected);
    const std::string bytes = c.source;
    for (size_t threads : {1, 2}) {
      for (size_t piece : {1, 2, 3, 5, 64}) {
        options.piece_bytes = piece;
        SCOPED_TRACE("threads " + std::to_string(threads) + " piece " + std::to_string(piece));
        if (threads > 1) {
          EXPECT_EQ(run_stream(program, threads, options, memory(bytes)), expected);
        }
        for (size_t most : {1, 2, 3, 7}) {
          ChunkedReader reader(bytes, most);
          StreamSource source;
          source.reader = &reader;
          EXPECT_EQ(run_stream(program, threads, options, source), expected) << "reads of " << most;
        }
      }
    }
  }
}

// A likely cut inside an element is found out when the piece before it is
// taken back, and the pieces from it run again.
TEST(Elements, ALikelyCutInsideAnElementIsCutAgain) {
  const std::string source = "[{\"a\": [1,\n{\"b\": 2}]},\n{\"c\": 3}]";
  StreamOptions options;
  options.elements.emplace();
  options.piece_bytes = 4;
  const Outcome outcome = run_stream(compiled("."), 2, options, memory(source));
  EXPECT_EQ(outcome.made, (std::vector<std::string>{"{\"a\":[1,{\"b\":2}]}", "{\"c\":3}"}));
  EXPECT_GT(outcome.work.run_again, 0u);
}

TEST(Elements, PathsAreWrittenAsQueriesWriteThem) {
  struct Row {
    const char* text;
    ElementPath path;
    bool ok;
  };
  const Row rows[] = {
      {".", {}, true},
      {".items", {"items"}, true},
      {".data.rows_2", {"data", "rows_2"}, true},
      {".\"two words\".\"a\\\"b\\\\\"", {"two words", "a\"b\\"}, true},
      {"", {}, false},
      {"items", {}, false},
      {".items.", {}, false},
      {"..a", {}, false},
      {".9a", {}, false},
      {".\"open", {}, false},
  };
  for (const Row& row : rows) {
    ElementPath path;
    EXPECT_EQ(parse_element_path(row.text, &path), row.ok) << row.text;
    if (!row.ok) continue;
    EXPECT_EQ(path, row.path) << row.text;
    EXPECT_EQ(path_text(path), row.text);
  }
}

// An array of records of about a KiB each.
std::string records(size_t count, bool wrapped) {
  std::string s = wrapped ? "{\"count\": " + std::to_string(count) + ", \"items\": [\n" : "[\n";
  for (size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    s += "{\"id\": " + n + ", \"actor\": {\"login\": \"user" + n + "\"}, \"payload\": {\"commits\": " +
         "[{\"message\": \"" + std::string(900, 'x') + "\"}, {\"sha\": \"" + n + "\"}]}}";
    s += i + 1 < count ? ",\n" : "\n";
  }
  return s + (wrapped ? "], \"next\": null}\n" : "]\n");
}

// A large array is read a window at a time: the stream holds about what a
// window and the pieces in flight hold, whatever the array's size, and
// parses each byte once; one line or many.
TEST(Elements, MemoryIsBoundedByTheWindowNotTheArray) {
  const auto program = compiled(".actor.login");
  for (bool one_line : {false, true}) {
    std::string bytes = records(24000, true);  // about 24 MiB
    if (one_line) std::replace(bytes.begin(), bytes.end(), '\n', ' ');
    StreamOptions options;
    options.elements = ElementPath{"items"};
    options.piece_bytes = size_t{256} << 10;
    for (size_t threads : {1, 2}) {
      SCOPED_TRACE(std::string(one_line ? "one line" : "a line each") + " threads " +
                   std::to_string(threads));
      ChunkedReader reader(bytes, 64 << 10);
      StreamSource source;
      source.reader = &reader;
      const Outcome outcome = run_stream(program, threads, options, source);
      ASSERT_EQ(outcome.made.size(), 24000u);
      EXPECT_EQ(outcome.made.back(), "\"user23999\"");
      EXPECT_EQ(outcome.end, Step::kEnd);
      EXPECT_EQ(outcome.work.read, bytes.size());
      EXPECT_LE(outcome.work.parsed, bytes.size() * 11 / 10);
      EXPECT_LE(outcome.work.most_held, size_t{4} << 20);
      // A line an element: each likely cut is right, and nothing runs again.
      if (!one_line) {
        EXPECT_EQ(outcome.work.run_again, 0u);
      }
    }
  }
}

}  // namespace
}  // namespace tamsel::texts
