#include "engine/needed_parts.h"

#include <type_traits>
#include <utility>

namespace tamsel::engine {
namespace {

using namespace query;

// A query of more filters than this, or whose projection grows past this
// many nodes, gets the whole document: working out what it reads would cost
// more than it saves, and the projection's depth stays bounded.
constexpr size_t kMaxFiltersAnalysed = 512;
constexpr size_t kMaxProjectionNodes = 4096;

// Counts the filters visited; once past the limit every answer is "whole".
struct Analysis {
  size_t filters = 0;
  bool gave_up() const { return filters > kMaxFiltersAnalysed; }
};

Projection input_need(Analysis& analysis, const Pipeline& pipeline, Projection output_need);

// What a condition observes of the value it is asked about. Comparisons and
// truthiness settle an array or object by its kind alone.
Projection condition_need(Analysis& analysis, const Condition& condition) {
  return std::visit(
      [&](const auto& node) -> Projection {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, CompareLiteral>) {
          return input_need(analysis, node.lhs, Projection());
        } else if constexpr (std::is_same_v<Node, CompareFilter>) {
          Projection need = input_need(analysis, node.lhs, Projection());
          need.merge(input_need(analysis, node.rhs, Projection()));
          return need;
        } else if constexpr (std::is_same_v<Node, Truthy>) {
          return input_need(analysis, node.operand, Projection());
        } else if constexpr (std::is_same_v<Node, And> || std::is_same_v<Node, Or>) {
          Projection need = condition_need(analysis, *node.left);
          need.merge(condition_need(analysis, *node.right));
          return need;
        } else {
          static_assert(std::is_same_v<Node, Not>);
          return condition_need(analysis, *node.operand);
        }
      },
      condition.node);
}

// Whether the builtin `kind` gives what its input's kind alone decides (type,
// not), or does not read its input (empty, nan, infinite). Every other
// builtin, and its error, may read all of its input.
bool reads_kind_alone(BuiltinKind kind) {
  switch (kind) {
    case BuiltinKind::Type:
    case BuiltinKind::Not:
    case BuiltinKind::Empty:
    case BuiltinKind::Nan:
    case BuiltinKind::Infinite: return true;
    default: return false;
  }
}

// What `filter` observes of its input, given what is observed of its outputs.
Projection node_need(Analysis& analysis, const Filter& filter, Projection output_need) {
  return std::visit(
      [&](const auto& node) -> Projection {
        using Node = std::decay_t<decltype(node)>;
        Projection need;
        if constexpr (std::is_same_v<Node, Identity>) {
          return output_need;
        } else if constexpr (std::is_same_v<Node, Field>) {
          need.add_member(node.name, std::move(output_need));
        } else if constexpr (std::is_same_v<Node, Index>) {
          // A position from the end depends on the length: every element.
          if (node.index >= 0) {
            need.add_element(static_cast<uint32_t>(node.index), std::move(output_need));
          } else {
            need.add_every(std::move(output_need));
          }
        } else if constexpr (std::is_same_v<Node, Iterate>) {
          need.add_every(std::move(output_need));
        } else if constexpr (std::is_same_v<Node, Select>) {
          // The value itself goes on.
          need = std::move(output_need);
          need.merge(condition_need(analysis, node.condition));
        } else if constexpr (std::is_same_v<Node, Comma>) {
          for (const Pipeline& branch : node.branches) need.merge(input_need(analysis, branch, output_need));
        } else if constexpr (std::is_same_v<Node, ObjectConstruct>) {
          for (const ObjectEntry& entry : node.entries)
            need.merge(input_need(analysis, entry.value, Projection::whole()));
        } else if constexpr (std::is_same_v<Node, Arithmetic>) {
          need = input_need(analysis, node.left, Projection::whole());
          need.merge(input_need(analysis, node.right, Projection::whole()));
        } else if constexpr (std::is_same_v<Node, Literal>) {
          // The input is not read.
        } else if constexpr (std::is_same_v<Node, Builtin>) {
          if (!reads_kind_alone(node.kind)) return Projection::whole();
        } else {
          return Projection::whole();
        }
        return need;
      },
      filter.node);
}

Projection input_need(Analysis& analysis, const Pipeline& pipeline, Projection output_need) {
  Projection need = std::move(output_need);
  for (auto node = pipeline.rbegin(); node != pipeline.rend(); ++node) {
    if (++analysis.filters > kMaxFiltersAnalysed) return Projection::whole();
    need = node_need(analysis, *node, std::move(need));
  }
  return need;
}

}  // namespace

Projection needed_parts(const Pipeline& pipeline) {
  Analysis analysis;
  Projection need = input_need(analysis, pipeline, Projection::whole());
  if (analysis.gave_up() || need.node_count() > kMaxProjectionNodes) return Projection::whole();
  return need;
}

}  // namespace tamsel::engine
