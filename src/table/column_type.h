// The Arrow type of a table's column: inferred from the values of its first
// batch, or given by the caller as an Arrow schema, and handed to consumers
// as one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "table/arrow_abi.h"
#include "value/result_tape.h"

namespace tamsel::table {

enum class TypeKind : uint8_t {
  kNull, kBool,
  kInt8, kInt16, kInt32, kInt64,
  kUInt8, kUInt16, kUInt32, kUInt64,
  kFloat32, kFloat64,
  kString, kLargeString,
  kList, kLargeList, kStruct,
};

struct ColumnType {
  TypeKind kind = TypeKind::kNull;
  // A string column of JSON texts (the arrow.json extension type).
  bool json = false;
  std::string name;
  bool nullable = true;
  // The field's metadata as the interface encodes it, kept as given;
  // empty for none.
  std::string metadata;
  std::vector<ColumnType> children;  // a list's item, or a struct's fields

  bool is_string() const { return kind == TypeKind::kString || kind == TypeKind::kLargeString; }
  bool is_list() const { return kind == TypeKind::kList || kind == TypeKind::kLargeList; }
  // The field's index among a struct's children, if it has one by that name.
  std::optional<size_t> field(std::string_view key) const;
};

// The type's name as messages give it: "int64", "list<string>",
// "struct<a: int64>", "json".
std::string describe(const ColumnType& type);

// Accumulates the values a column holds, to infer its type from them:
// the narrowest type that takes them all. Values whose shapes disagree (a
// string and a number, an array and an object) make a JSON text column
// at the level they disagree.
class TypeInference {
 public:
  // Takes the value at `reader`, which moves past it.
  void add(ResultTape::Reader& reader);
  // The type of the values taken, as the column `name`.
  ColumnType type(std::string name) const;

 private:
  enum class Seen : uint8_t { kNothing, kBool, kInteger, kFloat, kString, kArray, kObject, kMixed };
  Seen seen_ = Seen::kNothing;
  bool negative_ = false;        // an integer below zero
  bool above_int64_ = false;     // an integer above the largest int64
  std::vector<TypeInference> item_;  // an array's elements: none, or one
  std::vector<std::pair<std::string, TypeInference>> fields_;  // in order of first sight

  void mix(Seen seen);
};

// Skips the value at `reader`.
void skip_value(ResultTape::Reader& reader);
// The same, for a value whose tag was read already.
void skip_rest(ResultTape::Tag tag, ResultTape::Reader& reader);

// The type a caller's Arrow schema names, or nullopt with `error` saying
// why it cannot be a column's type here.
std::optional<ColumnType> import_type(const ArrowSchema& schema, std::string* error);

// Fills `out` with the type, as the interface describes it; its release
// frees all of it.
void export_type(const ColumnType& type, ArrowSchema* out);

}  // namespace tamsel::table
