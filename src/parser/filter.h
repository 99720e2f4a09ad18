// The filter tree: what the query parser builds and the evaluator walks.
// A compiled query is one Pipeline; every operand inside a node is again a
// Pipeline. Nodes own their children outright and never point into the query
// text, so a tree outlives the text it was parsed from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "parser/builtin_table.h"

namespace tamsel::query {

struct Filter;
// One or more filters, each applied to every output of the one before it.
using Pipeline = std::vector<Filter>;

enum class ArithOp : uint8_t { Add = 0, Sub = 1, Mul = 2, Div = 3, Mod = 4 };
enum class CompareOp : uint8_t { Eq = 0, Ne = 1, Gt = 2, Lt = 3, Ge = 4, Le = 5 };

// A constant written in the query. Never an array or object.
struct LiteralValue {
  enum class Kind : uint8_t { Null, Bool, Integer, Float, String };
  Kind kind = Kind::Null;
  bool boolean = false;
  int64_t integer = 0;
  double number = 0.0;
  std::string string;  // UTF-8, escapes decoded

  static LiteralValue null() { return {}; }
  static LiteralValue of_bool(bool b) { LiteralValue v; v.kind = Kind::Bool; v.boolean = b; return v; }
  static LiteralValue of_integer(int64_t i) { LiteralValue v; v.kind = Kind::Integer; v.integer = i; return v; }
  static LiteralValue of_float(double d) { LiteralValue v; v.kind = Kind::Float; v.number = d; return v; }
  static LiteralValue of_string(std::string s) { LiteralValue v; v.kind = Kind::String; v.string = std::move(s); return v; }
};

struct Condition;
using ConditionPtr = std::unique_ptr<Condition>;

struct CompareLiteral { Pipeline lhs; CompareOp op; LiteralValue rhs; };
struct CompareFilter { Pipeline lhs; CompareOp op; Pipeline rhs; };
struct Truthy { Pipeline operand; };
struct And { ConditionPtr left, right; };
struct Or { ConditionPtr left, right; };
struct Not { ConditionPtr operand; };

// The operand of select: comparisons joined by and / or / not.
struct Condition {
  std::variant<CompareLiteral, CompareFilter, Truthy, And, Or, Not> node;
};

struct Identity {};
struct Field { std::string name; };
struct Index { int32_t index; };
struct Iterate {};
struct ObjectEntry { std::string key; Pipeline value; };
struct ObjectConstruct { std::vector<ObjectEntry> entries; };
struct Select { Condition condition; };
struct Comma { std::vector<Pipeline> branches; };
struct Arithmetic { Pipeline left; Pipeline right; ArithOp op; };
struct Literal { LiteralValue value; };
struct Builtin { BuiltinKind kind; };
struct BuiltinWithArg { LiteralValue argument; ArgBuiltinKind kind; };
struct RecursiveDescent {};
struct Slice { std::optional<int64_t> from, to; };

// The evaluator and dump() visit a node with std::visit, and fail to compile
// while a kind is not handled; nothing depends on the order of the kinds.
struct Filter {
  std::variant<Identity, Field, Index, Iterate, ObjectConstruct, Select, Comma, Arithmetic,
               Literal, Builtin, BuiltinWithArg, RecursiveDescent, Slice>
      node;
};

}  // namespace tamsel::query
