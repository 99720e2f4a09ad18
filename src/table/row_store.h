// A table's rows as the texts layer runs them: each result of the row query
// is a row, and each column's value is the first result of the column's
// query on it, or null when there is none, so that a missing field is a
// null, never a lost row. The values go to one tape a column (the cells),
// which the batches are built from (batch_maker.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "parser/filter.h"
#include "texts/result_store.h"
#include "value/result_tape.h"

namespace tamsel::table {

// What the rows are made of: a query a column, or none, when the rows are
// objects whose members are the columns (by key).
struct TableShape {
  std::vector<query::Pipeline> columns;

  bool by_key() const { return columns.empty(); }
  size_t tapes() const { return by_key() ? 1 : columns.size(); }
};

// The values a run's rows made: a tape a column, one value a row (by key,
// one tape of the rows themselves).
struct TableCells {
  std::vector<ResultTape> columns;
  size_t rows = 0;
};

class RowStore final : public texts::ResultStore {
 public:
  explicit RowStore(std::shared_ptr<const TableShape> shape);

  texts::ResultSink& next_text() override;
  uint32_t taken() const override { return sink_.taken; }
  void clear() override;

  // Hands over the cells made so far, and starts afresh.
  TableCells take_cells();
  size_t rows() const { return cells_.rows; }

 private:
  class Sink final : public texts::ResultSink {
   public:
    explicit Sink(RowStore& store) : store_(store) {}
    void expect(size_t, size_t) override {}
    bool take(const View& row) override;
    std::string& text() override { return unused_; }
    bool end_text() override { return false; }
    void drop() override;

    uint32_t taken = 0;
    std::vector<size_t> kept;  // the size of each tape when the text began

   private:
    RowStore& store_;
    std::string unused_;
  };

  std::shared_ptr<const TableShape> shape_;
  TableCells cells_;
  Sink sink_;
};

class RowStoreMaker final : public texts::ResultStoreMaker {
 public:
  explicit RowStoreMaker(std::shared_ptr<const TableShape> shape) : shape_(std::move(shape)) {}
  std::unique_ptr<texts::ResultStore> make() const override {
    return std::make_unique<RowStore>(shape_);
  }

 private:
  std::shared_ptr<const TableShape> shape_;
};

}  // namespace tamsel::table
