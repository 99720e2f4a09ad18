#include "table/row_store.h"

#include "engine/evaluator.h"

namespace tamsel::table {

RowStore::RowStore(std::shared_ptr<const TableShape> shape)
    : shape_(std::move(shape)), sink_(*this) {
  cells_.columns.resize(shape_->tapes());
  sink_.kept.resize(shape_->tapes());
}

texts::ResultSink& RowStore::next_text() {
  sink_.taken = 0;
  for (size_t i = 0; i < cells_.columns.size(); ++i) sink_.kept[i] = cells_.columns[i].size();
  return sink_;
}

void RowStore::clear() {
  for (ResultTape& tape : cells_.columns) tape.clear();
  cells_.rows = 0;
  sink_.taken = 0;
}

TableCells RowStore::take_cells() {
  TableCells taken = std::move(cells_);
  cells_ = TableCells();
  cells_.columns.resize(shape_->tapes());
  return taken;
}

bool RowStore::Sink::take(const View& row) {
  TableCells& cells = store_.cells_;
  const TableShape& shape = *store_.shape_;
  if (shape.by_key()) {
    cells.columns.front().append(row);
  } else {
    static const Value kNull;
    for (size_t i = 0; i < shape.columns.size(); ++i) {
      engine::EvalValue input = row.in_document() ? engine::EvalValue::document(row.document_ref())
                                                  : engine::EvalValue::borrowed(row.value());
      const engine::ResultList found = engine::evaluate(shape.columns[i], std::move(input), true);
      cells.columns[i].append(found.empty() ? View(kNull) : found.front().view());
    }
  }
  ++cells.rows;
  ++taken;
  return true;
}

void RowStore::Sink::drop() {
  TableCells& cells = store_.cells_;
  for (size_t i = 0; i < cells.columns.size(); ++i) cells.columns[i].text().resize(kept[i]);
  cells.rows -= taken;
  taken = 0;
}

}  // namespace tamsel::table
