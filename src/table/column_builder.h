// Builds the Arrow array of one column from its values on a result tape:
// validity bitmap, offsets and values, as its type lays them out, with each
// value converted to the type where it can be without loss of meaning (an
// integer into a float column, an integral float into an integer one, any
// value into a JSON text column). A value that cannot be is a mismatch:
// reported, or made null, as the policy says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "table/arrow_abi.h"
#include "table/buffer.h"
#include "table/column_type.h"
#include "value/result_tape.h"

namespace tamsel::table {

enum class Mismatch : uint8_t { kRaise, kNull };

// What did not fit: the place inside the column ("" for the column itself,
// "payload.size" or "tags[]" for a part) and what was there.
struct Misfit {
  std::string path;
  std::string message;
};

class ColumnBuilder {
 public:
  // For values of `type`. `open_structs` when a struct's fields are only
  // those the caller wants (a schema given): members with other names are
  // left out; otherwise they are a mismatch.
  ColumnBuilder(const ColumnType& type, bool open_structs, std::string path);

  // Appends the value at `reader`, which moves past it. False when it does
  // not fit and the policy raises, with `misfit` said; the builder is then
  // of no further use.
  bool append(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit);
  void append_null();
  // For a record batch's rows, given as objects: each member goes to the
  // field of its name, and a row that is null or (made null by the policy)
  // not an object has every field null. A struct type only.
  bool append_row(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit);

  size_t length() const { return length_; }

  // The type the array has: the one it was made for, with string columns
  // made large_string where they pass 2 GiB, when `may_grow`.
  ColumnType finished_type(bool may_grow) const;
  // Hands the array over to `out` (its release frees all it holds), as
  // `type` (finished_type()'s) lays it out, and empties the builder. A
  // record batch's struct (`batch`) has no validity of its own. False when
  // a string column of `type` cannot hold what it took (2 GiB or more).
  bool finish(const ColumnType& type, bool batch, ArrowArray* out);

 private:
  bool mismatch(ResultTape::Reader& reader, ResultTape::Tag tag, Mismatch policy, Misfit* misfit,
                const std::string& what);
  void set_valid();
  void set_null_bit();
  bool append_tagged(ResultTape::Tag tag, ResultTape::Reader& reader, Mismatch policy,
                     Misfit* misfit);
  bool append_struct(ResultTape::Reader& reader, Mismatch policy, Misfit* misfit);
  bool append_integer(ResultTape::Tag tag, uint64_t bits, ResultTape::Reader& reader,
                      Mismatch policy, Misfit* misfit);
  bool append_float(double x, ResultTape::Reader& reader, Mismatch policy, Misfit* misfit);
  void push_offset(size_t end);

  ColumnType type_;
  bool open_structs_;
  std::string path_;
  size_t length_ = 0;
  size_t nulls_ = 0;
  Buffer validity_;  // made at the first null
  Buffer values_;    // fixed-width values, bits for bool
  Buffer offsets_;   // int64 ends of strings or lists, after a 0
  Buffer data_;      // string bytes
  std::vector<ColumnBuilder> children_;
  size_t field_cursor_ = 0;  // the field the next member likely names
};

// Appends the JSON text of the value at `reader`, as tojson writes it.
void append_tape_json(std::string& out, ResultTape::Reader& reader);

// A struct array of `length` rows with no validity, owning `children`:
// a record batch. Takes over the children (their release is called by its own).
void export_batch(std::vector<ArrowArray> children, int64_t length, ArrowArray* out);

}  // namespace tamsel::table
