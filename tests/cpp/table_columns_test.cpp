// Tables without Python: texts run through a stream into a row store, the
// batches built from its cells, and the arrays handed over as Arrow lays
// them out.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/needed_parts.h"
#include "parser/parser.h"
#include "table/batch_maker.h"
#include "table/column_builder.h"
#include "table/document_stream.h"
#include "table/row_store.h"
#include "engine/render.h"
#include "texts/text_stream.h"
#include "value/json.h"

namespace tamsel::table {
namespace {

query::Pipeline pipeline_of(std::string_view text) {
  return std::get<query::Pipeline>(query::compile_query(text));
}

// A program whose rows are `row`'s results and whose columns are `columns`.
std::shared_ptr<const texts::Program> table_program(std::string_view row,
                                                    const std::vector<std::string>& columns) {
  auto program = std::make_shared<texts::Program>();
  program->set_pipeline(pipeline_of(row));
  auto shape = std::make_shared<TableShape>();
  for (const std::string& column : columns) shape->columns.push_back(pipeline_of(column));
  program->stores = std::make_shared<RowStoreMaker>(std::move(shape));
  return program;
}

// Every batch of a stream of `source`, run on `threads`, made as `options` say.
struct Made {
  std::vector<ArrowArray> batches;
  std::optional<std::string> misfit;
  std::optional<ColumnType> schema;
  uint64_t bad_texts = 0;
  ~Made() {
    for (ArrowArray& batch : batches)
      if (batch.release) batch.release(&batch);
  }
};

void run_table(std::string_view source, std::string_view row,
               const std::vector<std::string>& columns, size_t threads, BatchOptions options,
               Made* made) {
  options.names = columns;
  texts::StreamOptions stream;
  stream.lines = true;
  stream.stop_at_bad = false;
  stream.piece_bytes = 16;
  auto engine = texts::make_text_stream(table_program(row, columns), threads, stream,
                                        texts::StreamSource{source, false, nullptr});
  BatchMaker maker(options);
  texts::Waiting waiting;
  for (bool done = false; !done;) {
    const texts::TextResults* results = nullptr;
    texts::Stop stop;
    const auto step = engine->next(waiting, &results, &stop);
    ASSERT_NE(step, texts::TextStream::Step::kStopped);
    if (step == texts::TextStream::Step::kTexts) {
      for (const texts::TextRecord& record : results->texts) made->bad_texts += !record.outcome.ran();
      if (results->store) maker.add(static_cast<RowStore&>(*results->store).take_cells());
    }
    done = step != texts::TextStream::Step::kTexts;
    while (maker.ready(done)) {
      ArrowArray batch;
      if ((made->misfit = maker.make(&batch))) return;
      made->batches.push_back(batch);
    }
  }
  maker.settle_schema();
  made->schema = maker.schema();
}

int64_t int64_at(const ArrowArray& array, int64_t i) {
  return static_cast<const int64_t*>(array.buffers[1])[array.offset + i];
}

std::string string_at(const ArrowArray& array, int64_t i) {
  const auto* offsets = static_cast<const int32_t*>(array.buffers[1]);
  const char* data = static_cast<const char*>(array.buffers[2]);
  return std::string(data + offsets[i], data + offsets[i + 1]);
}

bool valid(const ArrowArray& array, int64_t i) {
  const auto* bits = static_cast<const uint8_t*>(array.buffers[0]);
  return !bits || (bits[i / 8] >> (i % 8)) & 1;
}

TEST(TableColumns, RowsAndColumnsAtEveryThreadCount) {
  const std::string source =
      "{\"id\": 1, \"who\": {\"login\": \"a\"}}\n{\"id\": 2}\n{\"id\": \n{\"id\": 4, \"who\": {\"login\": \"d\"}}\n";
  for (size_t threads : {1, 2, 3}) {
    Made made;
    run_table(source, ".", {".id", ".who.login"}, threads, BatchOptions{}, &made);
    ASSERT_FALSE(made.misfit) << *made.misfit;
    EXPECT_EQ(made.bad_texts, 1u);
    EXPECT_EQ(describe(*made.schema), "struct<.id: int64, .who.login: string>");
    std::vector<int64_t> ids;
    std::vector<std::string> logins;
    for (const ArrowArray& batch : made.batches) {
      ASSERT_EQ(batch.n_children, 2);
      EXPECT_EQ(batch.n_buffers, 1);
      EXPECT_EQ(batch.buffers[0], nullptr);
      for (int64_t i = 0; i < batch.length; ++i) {
        ids.push_back(int64_at(*batch.children[0], i));
        logins.push_back(valid(*batch.children[1], i) ? string_at(*batch.children[1], i) : "-");
      }
    }
    EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 4})) << threads;
    EXPECT_EQ(logins, (std::vector<std::string>{"a", "-", "d"})) << threads;
  }
}

TEST(TableColumns, ByKeyTheMembersAreTheColumns) {
  Made made;
  run_table("{\"a\": 1, \"b\": [true]}\n{\"b\": [], \"c\": null}\n", ".", {}, 1, BatchOptions{},
            &made);
  ASSERT_FALSE(made.misfit);
  EXPECT_EQ(describe(*made.schema), "struct<a: int64, b: list<bool>, c: null>");
  ASSERT_EQ(made.batches.size(), 1u);
  const ArrowArray& b = *made.batches[0].children[1];
  EXPECT_EQ(static_cast<const int32_t*>(b.buffers[1])[2], 1);  // offsets 0, 1, 1
  EXPECT_EQ(made.batches[0].children[2]->null_count, 2);
}

TEST(TableColumns, LaterBatchesAreHeldToTheFirstBatchTypes) {
  struct Case {
    const char* source;
    Mismatch policy;
    const char* misfit;  // or nullptr
  };
  const Case cases[] = {
      {"1\n2\n\"x\"\n", Mismatch::kRaise, "column 'c', row 2: a string does not fit int64"},
      {"1\n2\n\"x\"\n", Mismatch::kNull, nullptr},
      {"[1]\n[2]\n[2.5]\n", Mismatch::kRaise, "column 'c[]', row 2: the float 2.5 does not fit int64"},
      {"1.5\n2\n3\n", Mismatch::kRaise, nullptr},
  };
  for (const Case& c : cases) {
    BatchOptions options;
    options.batch_rows = 2;
    options.mismatch = c.policy;
    Made made;
    texts::StreamOptions stream;
    stream.lines = true;
    options.names = {"c"};
    auto engine = texts::make_text_stream(table_program(".", {"."}), 1, stream,
                                          texts::StreamSource{c.source, false, nullptr});
    BatchMaker maker(options);
    texts::Waiting waiting;
    const texts::TextResults* results = nullptr;
    texts::Stop stop;
    ASSERT_EQ(engine->next(waiting, &results, &stop), texts::TextStream::Step::kTexts);
    maker.add(static_cast<RowStore&>(*results->store).take_cells());
    std::optional<std::string> misfit;
    while (!misfit && maker.ready(true)) {
      ArrowArray batch;
      misfit = maker.make(&batch);
      if (!misfit) made.batches.push_back(batch);
    }
    EXPECT_EQ(misfit.value_or(""), c.misfit ? c.misfit : "") << c.source;
  }
}

// The value of `json` as a column of `type`: the array's layout, or the misfit.
std::string built(const ColumnType& type, std::vector<const char*> values, Mismatch policy) {
  ResultTape tape;
  JsonParser parser;
  for (const char* text : values) tape.append(std::get<Value>(parser.parse(text, false)));
  ColumnBuilder builder(type, true, "c");
  ResultTape::Reader reader(tape);
  Misfit misfit;
  for (size_t i = 0; i < values.size(); ++i)
    if (!builder.append(reader, policy, &misfit)) return misfit.message;
  ArrowArray array;
  if (!builder.finish(type, false, &array)) return "too large";
  std::string layout = std::to_string(array.length) + " rows, " +
                       std::to_string(array.null_count) + " null, " +
                       std::to_string(array.n_buffers) + " buffers";
  array.release(&array);
  EXPECT_EQ(array.release, nullptr);
  return layout;
}

ColumnType of(TypeKind kind, std::vector<ColumnType> children = {}) {
  ColumnType type;
  type.kind = kind;
  type.children = std::move(children);
  return type;
}

TEST(TableColumns, ValuesConvertedToTheirColumnsType) {
  ColumnType json = of(TypeKind::kString);
  json.json = true;
  struct Case {
    ColumnType type;
    std::vector<const char*> values;
    Mismatch policy;
    const char* expected;
  };
  const Case cases[] = {
      {of(TypeKind::kInt8), {"1", "-128", "null"}, Mismatch::kRaise, "3 rows, 1 null, 2 buffers"},
      {of(TypeKind::kInt8), {"128"}, Mismatch::kRaise, "the integer 128 does not fit int8"},
      {of(TypeKind::kInt8), {"128"}, Mismatch::kNull, "1 rows, 1 null, 2 buffers"},
      {of(TypeKind::kUInt64), {"18446744073709551615", "1.0"}, Mismatch::kRaise, "2 rows, 0 null, 2 buffers"},
      {of(TypeKind::kFloat32), {"1", "2.5"}, Mismatch::kRaise, "2 rows, 0 null, 2 buffers"},
      {of(TypeKind::kBool), {"true", "0"}, Mismatch::kRaise, "an integer does not fit bool"},
      {of(TypeKind::kNull), {"null", "null"}, Mismatch::kRaise, "2 rows, 2 null, 0 buffers"},
      {of(TypeKind::kString), {"\"a\"", "{}"}, Mismatch::kRaise, "an object does not fit string"},
      {json, {"\"a\"", "{}", "[1,null]"}, Mismatch::kRaise, "3 rows, 0 null, 3 buffers"},
      {of(TypeKind::kList, {of(TypeKind::kInt64)}), {"[1, 2]", "null", "[]"}, Mismatch::kRaise,
       "3 rows, 1 null, 2 buffers"},
      {of(TypeKind::kStruct, {}), {"{\"a\": 1}", "{}"}, Mismatch::kRaise, "2 rows, 0 null, 1 buffers"},
  };
  for (const Case& c : cases) EXPECT_EQ(built(c.type, c.values, c.policy), c.expected) << describe(c.type);
}

TEST(TableColumns, JsonTextAsTojsonWritesIt) {
  JsonParser parser;
  for (const char* text : {"{\"a\": [1, -2, 2.5, 1e300, \"\\u00e9\\n\", true, null]}", "-0.0",
                           "18446744073709551615", "[{}, []]"}) {
    const Value value = std::get<Value>(parser.parse(text, false));
    ResultTape tape;
    tape.append(value);
    ResultTape::Reader reader(tape);
    std::string out;
    append_tape_json(out, reader);
    EXPECT_EQ(out, engine::to_json_text(View(value))) << text;
  }
}

// A feed of documents held in memory.
class ListFeed final : public DocumentFeed {
 public:
  explicit ListFeed(std::vector<std::string> texts) : texts_(std::move(texts)) {}
  Fed next(DocumentGroup& group, size_t bytes) override {
    if (at_ == texts_.size()) return Fed::kEnd;
    while (at_ < texts_.size() && group.bytes.size() < bytes) group.add(texts_[at_++]);
    return Fed::kGroup;
  }

 private:
  std::vector<std::string> texts_;
  size_t at_ = 0;
};

TEST(TableColumns, DocumentStreamRunsEveryDocumentOnce) {
  std::vector<std::string> texts;
  for (int i = 0; i < 50; ++i) texts.push_back(i == 7 ? "{" : "{\"n\": " + std::to_string(i) + "}");
  for (size_t threads : {1, 2}) {
    ListFeed feed(texts);
    texts::StreamOptions options;
    options.stop_at_bad = false;
    options.piece_bytes = 40;
    DocumentStream stream(table_program(".", {".n"}), threads, options, feed);
    texts::Waiting waiting;
    size_t rows = 0, bad = 0, groups = 0;
    for (;;) {
      const texts::TextResults* results = nullptr;
      texts::Stop stop;
      if (stream.next(waiting, &results, &stop) != texts::TextStream::Step::kTexts) break;
      ++groups;
      for (const texts::TextRecord& record : results->texts) {
        bad += !record.outcome.ran();
        if (!record.outcome.ran()) {
          EXPECT_EQ(record.index, 7u);
        }
      }
      rows += static_cast<RowStore&>(*results->store).rows();
    }
    EXPECT_EQ(rows, 49u);
    EXPECT_EQ(bad, 1u);
    EXPECT_GT(groups, 5u);
    EXPECT_EQ(stream.work().pieces, groups);
  }
}

}  // namespace
}  // namespace tamsel::table
