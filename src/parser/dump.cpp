// dump(): one line per tree, for tests and debugging. Nested pipelines are
// bracketed, nodes within a pipeline are joined by " | ":
//   Field(a) | Comma([Field(b)], [Add([Literal(1)], [Literal(2.0)])])
//   Select(Or(Gt([Field(a)], 1), Not(Truthy([Field(c)]))))
// Floats always show a "." or an exponent, so 1.0 and 1 stay apart.

#include <charconv>
#include <string>

#include "parser/error_text.h"
#include "parser/parser.h"

namespace tamsel::query {

namespace {

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

void dump_pipeline(std::string& out, const Pipeline& pipeline);
void dump_condition(std::string& out, const Condition& condition);

void dump_literal(std::string& out, const LiteralValue& value) {
  switch (value.kind) {
    case LiteralValue::Kind::Null: out += "null"; break;
    case LiteralValue::Kind::Bool: out += value.boolean ? "true" : "false"; break;
    case LiteralValue::Kind::Integer: out += std::to_string(value.integer); break;
    case LiteralValue::Kind::Float: {
      char buffer[32];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, value.number);
      std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
      out += text;
      if (text.find_first_of(".en") == std::string_view::npos) out += ".0";
      break;
    }
    case LiteralValue::Kind::String: out += quoted(value.string); break;
  }
}

void dump_nested(std::string& out, const Pipeline& pipeline) {
  out += '[';
  dump_pipeline(out, pipeline);
  out += ']';
}

const char* arith_name(ArithOp op) {
  static const char* const names[] = {"Add", "Sub", "Mul", "Div", "Mod"};
  return names[static_cast<int>(op)];
}

const char* compare_name(CompareOp op) {
  static const char* const names[] = {"Eq", "Ne", "Gt", "Lt", "Ge", "Le"};
  return names[static_cast<int>(op)];
}

void dump_pair(std::string& out, const char* name, const Condition& left, const Condition& right) {
  out += name;
  out += '(';
  dump_condition(out, left);
  out += ", ";
  dump_condition(out, right);
  out += ')';
}

void dump_condition(std::string& out, const Condition& condition) {
  std::visit(Overloaded{
                 [&](const CompareLiteral& c) {
                   out += compare_name(c.op);
                   out += '(';
                   dump_nested(out, c.lhs);
                   out += ", ";
                   dump_literal(out, c.rhs);
                   out += ')';
                 },
                 [&](const CompareFilter& c) {
                   out += compare_name(c.op);
                   out += '(';
                   dump_nested(out, c.lhs);
                   out += ", ";
                   dump_nested(out, c.rhs);
                   out += ')';
                 },
                 [&](const Truthy& c) {
                   out += "Truthy(";
                   dump_nested(out, c.operand);
                   out += ')';
                 },
                 [&](const And& c) { dump_pair(out, "And", *c.left, *c.right); },
                 [&](const Or& c) { dump_pair(out, "Or", *c.left, *c.right); },
                 [&](const Not& c) {
                   out += "Not(";
                   dump_condition(out, *c.operand);
                   out += ')';
                 },
             },
             condition.node);
}

void dump_filter(std::string& out, const Filter& filter) {
  std::visit(Overloaded{
                 [&](const Identity&) { out += "Identity"; },
                 [&](const Field& f) { out += "Field(" + f.name + ")"; },
                 [&](const Index& f) { out += "Index(" + std::to_string(f.index) + ")"; },
                 [&](const Iterate&) { out += "Iterate"; },
                 [&](const ObjectConstruct& f) {
                   out += "Object(";
                   for (size_t i = 0; i < f.entries.size(); ++i) {
                     if (i > 0) out += ", ";
                     out += f.entries[i].key + ": ";
                     dump_nested(out, f.entries[i].value);
                   }
                   out += ')';
                 },
                 [&](const Select& f) {
                   out += "Select(";
                   dump_condition(out, f.condition);
                   out += ')';
                 },
                 [&](const Comma& f) {
                   out += "Comma(";
                   for (size_t i = 0; i < f.branches.size(); ++i) {
                     if (i > 0) out += ", ";
                     dump_nested(out, f.branches[i]);
                   }
                   out += ')';
                 },
                 [&](const Arithmetic& f) {
                   out += arith_name(f.op);
                   out += '(';
                   dump_nested(out, f.left);
                   out += ", ";
                   dump_nested(out, f.right);
                   out += ')';
                 },
                 [&](const Literal& f) {
                   out += "Literal(";
                   dump_literal(out, f.value);
                   out += ')';
                 },
                 [&](const Builtin& f) {
                   out += "Builtin(";
                   out += builtin_name(f.kind);
                   out += ')';
                 },
                 [&](const BuiltinWithArg& f) {
                   out += "Call(";
                   out += builtin_name(f.kind);
                   out += ", ";
                   dump_literal(out, f.argument);
                   out += ')';
                 },
                 [&](const RecursiveDescent&) { out += "RecursiveDescent"; },
                 [&](const Slice& f) {
                   out += "Slice(";
                   if (f.from) out += std::to_string(*f.from);
                   out += ':';
                   if (f.to) out += std::to_string(*f.to);
                   out += ')';
                 },
             },
             filter.node);
}

void dump_pipeline(std::string& out, const Pipeline& pipeline) {
  for (size_t i = 0; i < pipeline.size(); ++i) {
    if (i > 0) out += " | ";
    dump_filter(out, pipeline[i]);
  }
}

}  // namespace

std::string dump(const Pipeline& pipeline) {
  std::string out;
  dump_pipeline(out, pipeline);
  return out;
}

}  // namespace tamsel::query
