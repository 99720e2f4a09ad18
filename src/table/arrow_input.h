// An Arrow string column as a source of texts, one a value: what a caller's
// pyarrow or polars column gives through its ArrowArrayStream. A null value
// is the text `null`, so a null in gives a row of nulls out.
#pragma once

#include <optional>
#include <string>

#include "table/arrow_abi.h"
#include "table/document_stream.h"

namespace tamsel::table {

// A stream of one array: what a caller's __arrow_c_array__ gave, taken over.
ArrowArrayStream stream_of_array(ArrowSchema schema, ArrowArray array);

class ArrowTextFeed final : public DocumentFeed {
 public:
  // Takes over `stream`, released when the feed goes.
  explicit ArrowTextFeed(ArrowArrayStream stream);
  ~ArrowTextFeed() override;
  ArrowTextFeed(const ArrowTextFeed&) = delete;
  ArrowTextFeed& operator=(const ArrowTextFeed&) = delete;

  // Reads the stream's schema: a column of strings (string, large_string,
  // string_view, or their binary forms), alone or as the one column of a
  // table. nullopt when it is one, or why not.
  std::optional<std::string> open();

  Fed next(DocumentGroup& group, size_t bytes) override;
  // After kFailed: what the stream said.
  const std::string& error() const { return error_; }

 private:
  enum class Layout { kOffsets32, kOffsets64, kViews };
  // Moves to the next array of the stream; false at its end or failure.
  bool next_array();
  void release_array();
  std::string_view value(int64_t at) const;
  bool is_null(int64_t at) const;

  ArrowArrayStream stream_;
  Layout layout_ = Layout::kOffsets32;
  bool in_table_ = false;  // the values are the first column of a struct
  ArrowArray array_{};
  const ArrowArray* values_ = nullptr;  // array_ or its column
  int64_t start_ = 0;      // the values' offset
  int64_t position_ = 0;   // the next value to feed
  int64_t length_ = 0;
  bool ended_ = false;
  std::string error_;
};

}  // namespace tamsel::table
