#include "table/batch_maker.h"

#include <algorithm>
#include <utility>

namespace tamsel::table {

BatchMaker::BatchMaker(BatchOptions options)
    : options_(std::move(options)),
      by_key_(options_.names.empty()),
      given_(options_.schema.has_value()),
      schema_(options_.schema) {}

void BatchMaker::add(TableCells cells) {
  if (cells.rows == 0) return;
  auto waiting = std::make_unique<Waiting>();
  waiting->cells = std::move(cells);
  waiting->rows_left = waiting->cells.rows;
  for (const ResultTape& tape : waiting->cells.columns) waiting->readers.emplace_back(tape);
  rows_waiting_ += waiting->rows_left;
  waiting_.push_back(std::move(waiting));
}

bool BatchMaker::ready(bool at_end) const {
  if (rows_waiting_ == 0) return false;
  if (options_.batch_rows == 0 || at_end) return true;
  return rows_waiting_ >= options_.batch_rows;
}

ColumnType BatchMaker::infer(size_t rows) const {
  std::vector<TypeInference> inferred(columns());
  size_t left = rows;
  for (const auto& waiting : waiting_) {
    std::vector<ResultTape::Reader> readers = waiting->readers;
    const size_t take = std::min(left, waiting->rows_left);
    for (size_t r = 0; r < take; ++r) {
      if (by_key_) {
        // Only the rows that are objects have columns.
        ResultTape::Reader probe = readers.front();
        if (probe.tag() != ResultTape::kObject) {
          skip_value(readers.front());
          continue;
        }
      }
      for (size_t c = 0; c < readers.size(); ++c) inferred[c].add(readers[c]);
    }
    left -= take;
    if (left == 0) break;
  }
  if (by_key_) {
    ColumnType type = inferred.front().type("");
    if (type.kind != TypeKind::kStruct) {
      // No row was an object: no column. A row that is not one is a
      // mismatch when the batch is made.
      type = ColumnType();
      type.kind = TypeKind::kStruct;
    }
    return type;
  }
  ColumnType type;
  type.kind = TypeKind::kStruct;
  for (size_t c = 0; c < inferred.size(); ++c) type.children.push_back(inferred[c].type(options_.names[c]));
  return type;
}

void BatchMaker::settle_schema() {
  if (!schema_) schema_ = infer(options_.batch_rows ? std::min(options_.batch_rows, rows_waiting_) : rows_waiting_);
}

std::optional<std::string> BatchMaker::make(ArrowArray* out, bool whole) {
  size_t rows = rows_waiting_;
  if (!whole) {
    if (options_.batch_rows) {
      rows = std::min(rows, options_.batch_rows);
    } else if (!waiting_.empty()) {
      rows = waiting_.front()->rows_left;
    }
  }
  const bool first = !schema_;
  const ColumnType type = first ? infer(rows) : *schema_;
  auto misfit_text = [&](const Misfit& misfit, size_t row) {
    std::string text;
    if (!misfit.path.empty()) text = "column '" + misfit.path + "', ";
    text += "row " + std::to_string(rows_made_ + row) + ": " + misfit.message;
    return text;
  };

  std::vector<ColumnBuilder> builders;
  if (by_key_) {
    builders.emplace_back(type, given_, "");
  } else {
    for (const ColumnType& column : type.children) builders.emplace_back(column, given_, column.name);
  }
  Misfit misfit;
  size_t row = 0;
  while (row < rows) {
    Waiting& waiting = *waiting_.front();
    const size_t take = std::min(rows - row, waiting.rows_left);
    for (size_t r = 0; r < take; ++r, ++row) {
      if (by_key_) {
        if (!builders.front().append_row(waiting.readers.front(), options_.mismatch, &misfit))
          return misfit_text(misfit, row);
        continue;
      }
      for (size_t c = 0; c < builders.size(); ++c)
        if (!builders[c].append(waiting.readers[c], options_.mismatch, &misfit))
          return misfit_text(misfit, row);
    }
    waiting.rows_left -= take;
    rows_waiting_ -= take;
    if (waiting.rows_left == 0) waiting_.pop_front();
  }

  ColumnType finished = type;
  if (first) {
    finished.children.clear();
    if (by_key_) {
      finished = builders.front().finished_type(true);
    } else {
      for (const ColumnBuilder& builder : builders) finished.children.push_back(builder.finished_type(true));
    }
  }
  auto too_large = [&](const std::string& name) {
    return "column '" + name + "' holds 2 GiB or more in one batch, more than its type " +
           "takes: give it large_string (or large_list) in the schema, or fewer rows a batch";
  };
  if (by_key_) {
    if (!builders.front().finish(finished, true, out)) return too_large("?");
  } else {
    std::vector<ArrowArray> children;
    for (size_t c = 0; c < builders.size(); ++c) {
      ArrowArray child;
      if (!builders[c].finish(finished.children[c], false, &child)) {
        for (ArrowArray& done : children) done.release(&done);
        return too_large(finished.children[c].name);
      }
      children.push_back(child);
    }
    export_batch(std::move(children), static_cast<int64_t>(rows), out);
  }
  if (first) schema_ = std::move(finished);
  rows_made_ += rows;
  return std::nullopt;
}

}  // namespace tamsel::table
