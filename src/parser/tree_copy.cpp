#include "parser/tree_copy.h"

#include <type_traits>

namespace tamsel::query {

namespace {

template <typename... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

ConditionPtr copy_operand(const ConditionPtr& operand) {
  return std::make_unique<Condition>(copy_condition(*operand));
}

}  // namespace

Pipeline copy_pipeline(const Pipeline& pipeline) {
  Pipeline out;
  out.reserve(pipeline.size());
  for (const Filter& filter : pipeline) out.push_back(copy_filter(filter));
  return out;
}

Condition copy_condition(const Condition& condition) {
  return std::visit(
      Overloaded{
          [](const CompareLiteral& c) {
            return Condition{CompareLiteral{copy_pipeline(c.lhs), c.op, c.rhs}};
          },
          [](const CompareFilter& c) {
            return Condition{CompareFilter{copy_pipeline(c.lhs), c.op, copy_pipeline(c.rhs)}};
          },
          [](const Truthy& c) { return Condition{Truthy{copy_pipeline(c.operand)}}; },
          [](const And& c) { return Condition{And{copy_operand(c.left), copy_operand(c.right)}}; },
          [](const Or& c) { return Condition{Or{copy_operand(c.left), copy_operand(c.right)}}; },
          [](const Not& c) { return Condition{Not{copy_operand(c.operand)}}; },
      },
      condition.node);
}

Filter copy_filter(const Filter& filter) {
  return std::visit(
      Overloaded{
          [](const ObjectConstruct& f) {
            ObjectConstruct out;
            out.entries.reserve(f.entries.size());
            for (const ObjectEntry& entry : f.entries) {
              out.entries.push_back({entry.key, copy_pipeline(entry.value)});
            }
            return Filter{std::move(out)};
          },
          [](const Select& f) { return Filter{Select{copy_condition(f.condition)}}; },
          [](const Comma& f) {
            Comma out;
            out.branches.reserve(f.branches.size());
            for (const Pipeline& branch : f.branches) out.branches.push_back(copy_pipeline(branch));
            return Filter{std::move(out)};
          },
          [](const Arithmetic& f) {
            return Filter{Arithmetic{copy_pipeline(f.left), copy_pipeline(f.right), f.op}};
          },
          // The remaining kinds hold no subtrees and copy as they are.
          [](const auto& f) { return Filter{f}; },
      },
      filter.node);
}

}  // namespace tamsel::query
