// A compiled program as the runs see it: its pipeline and how it reads
// documents. Built once by compile() and shared read-only by every run, on
// any thread; the reading plan only adapts its choice of reader, atomically.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "engine/path_record.h"
#include "parser/filter.h"
#include "texts/result_store.h"
#include "value/reading_plan.h"

namespace tamsel::texts {

struct Program {
  query::Pipeline pipeline;
  // How it reads documents for the parts it needs, or null to read them whole.
  std::unique_ptr<ReadingPlan> reading;
  // The pipeline as a path alone, or as the record its last stage builds,
  // and whether its last stage is to_entries (engine/path_record.h): set
  // with the pipeline.
  std::optional<engine::Path> path;
  std::optional<engine::PathRecord> record;
  bool entries = false;

  void set_pipeline(query::Pipeline stages) {
    pipeline = std::move(stages);
    path = engine::Path::of(pipeline);
    record = engine::PathRecord::of(pipeline);
    entries = engine::ends_in_entries(pipeline);
  }
  // Where the results of its texts go in place of a run's tape, when set:
  // a table's rows (src/table).
  std::shared_ptr<const ResultStoreMaker> stores;
};

}  // namespace tamsel::texts
