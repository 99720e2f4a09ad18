// Where the results of one text go, one by one and in order: the tape of a
// run of many texts (text_results.h), or the Python objects of a call (the
// binding's).
#pragma once

#include <cstddef>
#include <string>

#include "engine/path_record.h"
#include "value/structural_index.h"
#include "value/view.h"

namespace tamsel::texts {

class ResultSink {
 public:
  virtual ~ResultSink() = default;

  // `count` results follow; `text_room` bytes are worth taking at once
  // for their JSON text, when they come as text.
  virtual void expect(size_t count, size_t text_room) = 0;
  // A result as a value; false when it cannot be taken.
  virtual bool take(const View& value) = 0;
  // A result as JSON text: written to text(), then taken by end_text(),
  // false when it cannot be.
  virtual std::string& text() = 0;
  virtual bool end_text() = 0;
  // Whether the sink can make the one result of the identity program from
  // the text itself (take_text), which spares the parse its tape.
  virtual bool takes_texts() const { return false; }
  // That result, made from the text's structural index after expect(1, 0):
  // kNotTaken leaves the text to the parse, with nothing kept; kFailed is
  // as take() returning false.
  virtual Walk take_text(const StructuralIndex&) { return Walk::kNotTaken; }
  // Whether the sink can make each result of a program that ends in a
  // record (engine/path_record.h) from the values of its members
  // (take_record), and of one that ends in to_entries from the object
  // (take_entries), which spares the run the objects the evaluator would
  // build.
  virtual bool takes_records() const { return false; }
  // Such a result, after expect() of at most as many: the members' values
  // in the record's order; false when it cannot be taken.
  virtual bool take_record(const engine::PathRecord&, const View*) { return false; }
  // The entries of `object`, an object, as one result: an array of
  // {"key": k, "value": v}, one for each member in order.
  virtual bool take_entries(const View&) { return false; }
  // Every result is in; false when they cannot all be taken.
  virtual bool finish() { return true; }
  // The text did not run to its end: what it gave goes.
  virtual void drop() = 0;
};

}  // namespace tamsel::texts
