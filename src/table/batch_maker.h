// A table's record batches, made from the cells its runs made, in order:
// a batch a run, or of a given number of rows. The schema is the caller's,
// or inferred from the first batch and kept for all that follow, whose
// values are converted to it (column_builder.h says how).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "table/arrow_abi.h"
#include "table/column_builder.h"
#include "table/column_type.h"
#include "table/row_store.h"

namespace tamsel::table {

struct BatchOptions {
  // The columns' names, one a column query; none when the rows are
  // objects, columns by key.
  std::vector<std::string> names;
  Mismatch mismatch = Mismatch::kRaise;
  // Rows a batch; 0 for a batch a run of texts.
  size_t batch_rows = 0;
  // The caller's schema: a struct type whose fields are the columns.
  std::optional<ColumnType> schema;
};

class BatchMaker {
 public:
  explicit BatchMaker(BatchOptions options);

  // The cells of the next run, in order.
  void add(TableCells cells);
  // Whether a batch is waiting to be made: with `at_end`, the source has
  // no more rows to give.
  bool ready(bool at_end) const;
  // Makes the next batch into `out`: of all the rows waiting with `whole`.
  // Fixes the schema first, when none is set, from the rows it takes.
  // Returns what did not fit ("column 'a', row 12: a string does not fit
  // int64"), with `out` untouched; the maker is then of no further use.
  std::optional<std::string> make(ArrowArray* out, bool whole = false);

  // Fixes the schema from the rows waiting (none: every column of type
  // null, or by key no column), without making a batch.
  void settle_schema();
  const std::optional<ColumnType>& schema() const { return schema_; }
  uint64_t rows_made() const { return rows_made_; }
  size_t rows_waiting() const { return rows_waiting_; }

 private:
  struct Waiting {
    TableCells cells;
    std::vector<ResultTape::Reader> readers;
    size_t rows_left;
  };
  // The schema the next `rows` rows would give.
  ColumnType infer(size_t rows) const;
  size_t columns() const { return by_key_ ? 1 : options_.names.size(); }

  const BatchOptions options_;
  const bool by_key_;
  const bool given_;
  std::optional<ColumnType> schema_;
  std::deque<std::unique_ptr<Waiting>> waiting_;
  size_t rows_waiting_ = 0;
  uint64_t rows_made_ = 0;
};

}  // namespace tamsel::table
