// What keeps the results of a run's texts in place of its tape: a consumer
// of its own (a table's columns, src/table), one for each TextResults, made
// on the thread that runs its texts by the maker the program carries.
#pragma once

#include <cstdint>
#include <memory>

#include "texts/result_sink.h"

namespace tamsel::texts {

class ResultStore {
 public:
  virtual ~ResultStore() = default;
  // The sink of the next text's results.
  virtual ResultSink& next_text() = 0;
  // How many results the text just run left in the store.
  virtual uint32_t taken() const = 0;
  // Forgets everything it holds.
  virtual void clear() = 0;
};

class ResultStoreMaker {
 public:
  virtual ~ResultStoreMaker() = default;
  // Called on any thread, at once on several: makes nothing shared.
  virtual std::unique_ptr<ResultStore> make() const = 0;
};

}  // namespace tamsel::texts
