// Each rule takes the byte offset of the remaining text and returns what it
// built with the offset after it, or an error record. Alternatives move on
// only after a recoverable error; everything else passes straight up.
//
// Depth: evaluating and destroying a tree recurse once per level, so no tree
// may nest its operator nodes (Select, ObjectConstruct, Comma, Arithmetic,
// And, Or, Not) more than kMaxQueryDepth deep. Every rule reports the height
// of what it built, and a node that would exceed the limit fails with a
// TooDeep error. The parser's own recursion runs through "select(", "{" and
// grouping "(", so those are counted on the way down as well, which bounds
// the native stack however deeply the text nests.
//
// Stack: one level of that nesting passes through about ten rules, so the
// rules on the recursive path are kept out of line, write into their
// caller's result and hold at most one or two results of their own; the
// additive and multiplicative levels share one frame, as do "or" and "and".
//
// Backtracking: the only rule that parses the same text twice is the
// not-condition ("not" then a comparison, else a comparison of the whole).
// Nested, that doubles per level, so select and object terms that failed are
// remembered by position and not parsed again.

#include "parser/grammar.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "parser/lexical.h"
#include "parser/literal.h"
#include "parser/parser.h"

#define TAMSEL_OUT_OF_LINE __attribute__((noinline))

namespace tamsel::query {

namespace {

ParseError too_deep(size_t at) { return {Severity::TooDeep, ErrorKind::Tag, at}; }

ConditionPtr boxed(Condition condition) {
  return std::make_unique<Condition>(std::move(condition));
}

std::optional<ArithOp> additive_op(char c) {
  if (c == '+') return ArithOp::Add;
  if (c == '-') return ArithOp::Sub;
  return std::nullopt;
}

std::optional<ArithOp> multiplicative_op(char c) {
  if (c == '*') return ArithOp::Mul;
  if (c == '/') return ArithOp::Div;
  if (c == '%') return ArithOp::Mod;
  return std::nullopt;
}

// Builds node kind `Node` from `args` straight into `out`, without a
// temporary Filter or Condition on the stack. Nodes are aggregates, built
// with braces: clang before 16 has no parenthesised aggregate initialisation,
// which emplace would need.
template <typename Node, typename T, typename... Args>
void build(Parsed<T>& out, size_t rest, int height, Args&&... args) {
  out.value.emplace();
  out.value->node.template emplace<Node>(Node{std::forward<Args>(args)...});
  out.rest = rest;
  out.height = height;
}

// Makes `left` the pipeline of one Arithmetic node over `left` and `right`.
TAMSEL_OUT_OF_LINE bool combine(Parsed<Pipeline>& left, ArithOp op, Parsed<Pipeline>& right) {
  int height = std::max(left.height, right.height) + 1;
  if (height > kMaxQueryDepth) return false;
  Pipeline operand = std::move(*left.value);
  left.value->clear();
  left.value->emplace_back();
  left.value->back().node.emplace<Arithmetic>(
      Arithmetic{std::move(operand), std::move(*right.value), op});
  left.rest = right.rest;
  left.height = height;
  return true;
}

// Makes `left` the condition Node(left, right) (And or Or).
template <typename Node>
TAMSEL_OUT_OF_LINE bool join(Parsed<Condition>& left, Parsed<Condition>& right) {
  int height = std::max(left.height, right.height) + 1;
  if (height > kMaxQueryDepth) return false;
  auto operand = boxed(std::move(*left.value));
  left.value->node.emplace<Node>(Node{std::move(operand), boxed(std::move(*right.value))});
  left.rest = right.rest;
  left.height = height;
  return true;
}

// Wraps `operand` in Not, or fails it when that is one level too many.
TAMSEL_OUT_OF_LINE void negate(Parsed<Condition>& operand, size_t at) {
  if (operand.height + 1 > kMaxQueryDepth) return operand.fail(too_deep(at));
  auto inner = boxed(std::move(*operand.value));
  operand.value->node.emplace<Not>(Not{std::move(inner)});
  operand.height += 1;
}

struct CompareOperator {
  CompareOp op;
  size_t length;
};

std::optional<CompareOperator> compare_operator_at(std::string_view text, size_t pos) {
  std::string_view two = text.substr(std::min(pos, text.size()), 2);
  if (two == "==") return CompareOperator{CompareOp::Eq, 2};
  if (two == "!=") return CompareOperator{CompareOp::Ne, 2};
  if (two == ">=") return CompareOperator{CompareOp::Ge, 2};
  if (two == "<=") return CompareOperator{CompareOp::Le, 2};
  if (two.starts_with('<')) return CompareOperator{CompareOp::Lt, 1};
  if (two.starts_with('>')) return CompareOperator{CompareOp::Gt, 1};
  return std::nullopt;
}

// The rules write their outcome into `out`, so that one level of nesting
// holds as few results on the stack as possible.
class Grammar {
 public:
  explicit Grammar(std::string_view text) : text_(text) {}

  // query: comma ("|" comma)*, all parts concatenated.
  void query(size_t pos, Parsed<Pipeline>& out) {
    comma(pos, out);
    if (out.ok()) continue_pipeline(out, &Grammar::comma);
  }

  // The farthest offset at which any rule failed: where the parser got
  // furthest before it gave up, which is where a reader looks for the
  // mistake. The messages never show it; they keep the error they report.
  size_t farthest() const { return farthest_; }

 private:
  using PipelineRule = void (Grammar::*)(size_t, Parsed<Pipeline>&);
  using FilterRule = void (Grammar::*)(size_t, Parsed<Filter>&);

  bool char_at(size_t pos, char c) const { return pos < text_.size() && text_[pos] == c; }
  bool starts_with(size_t pos, std::string_view word) const {
    return pos <= text_.size() && text_.substr(pos).starts_with(word);
  }
  size_t ws(size_t pos) const { return skip_ws(text_, pos); }

  void reached(size_t pos) { farthest_ = std::max(farthest_, pos); }
  void reached(const ParseError& error) { reached(std::max(error.at, error.reached)); }
  // A recoverable error at `pos`, which counts as reached.
  ParseError stop(ErrorKind kind, size_t pos) {
    reached(pos);
    return recoverable(kind, pos);
  }

  // One level of textual nesting ("select(", "{", grouping "(") for as long
  // as it lives; `exceeded()` tells whether it is one level too many.
  class NestingLevel {
   public:
    explicit NestingLevel(Grammar& grammar) : grammar_(grammar) { ++grammar_.nesting_; }
    ~NestingLevel() { --grammar_.nesting_; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
    bool exceeded() const { return grammar_.nesting_ > kMaxQueryDepth; }

   private:
    Grammar& grammar_;
  };

  // Appends (ws "|" ws part)* to `head`; a part that fails recoverably ends
  // the list before the white space ahead of its "|".
  TAMSEL_OUT_OF_LINE void continue_pipeline(Parsed<Pipeline>& head, PipelineRule part_rule) {
    Parsed<Pipeline> part;
    for (;;) {
      size_t bar = ws(head.rest);
      if (!char_at(bar, '|')) return;
      (this->*part_rule)(ws(bar + 1), part);
      if (!part.ok()) {
        if (!part.error.recoverable()) head.fail(part.error);
        return;
      }
      Pipeline& nodes = *head.value;
      for (Filter& filter : *part.value) nodes.push_back(std::move(filter));
      head.rest = part.rest;
      head.height = std::max(head.height, part.height);
    }
  }

  // comma: arithmetic ("," arithmetic)*; two or more branches make one Comma.
  TAMSEL_OUT_OF_LINE void comma(size_t pos, Parsed<Pipeline>& out) {
    arithmetic(pos, out);
    if (!out.ok()) return;
    std::vector<Pipeline> branches;
    Parsed<Pipeline> branch;
    for (;;) {
      size_t separator = ws(out.rest);
      if (!char_at(separator, ',')) break;
      arithmetic(ws(separator + 1), branch);
      if (!branch.ok()) {
        if (branch.error.recoverable()) break;
        return out.fail(branch.error);
      }
      if (branches.empty()) branches.push_back(std::move(*out.value));
      branches.push_back(std::move(*branch.value));
      out.rest = branch.rest;
      out.height = std::max(out.height, branch.height);
    }
    if (branches.empty()) return;
    if (out.height + 1 > kMaxQueryDepth) return out.fail(too_deep(pos));
    out.value->clear();
    out.value->emplace_back();
    out.value->back().node.emplace<Comma>(Comma{std::move(branches)});
    out.height += 1;
  }

  // additive: product (("+" | "-") product)*, product: chain (("*" | "/" |
  // "%") chain)*, both left-associative. Once an operator is read, a failing
  // right operand fails the whole rule.
  TAMSEL_OUT_OF_LINE void arithmetic(size_t pos, Parsed<Pipeline>& out) {
    out.value.reset();
    Parsed<Pipeline> product;
    Parsed<Pipeline> right;
    ArithOp sum_op = ArithOp::Add;
    for (;;) {
      chain(pos, product);
      for (;;) {
        if (!product.ok()) return out.fail(product.error);
        size_t op_pos = ws(product.rest);
        auto op = op_pos < text_.size() ? multiplicative_op(text_[op_pos]) : std::nullopt;
        if (!op) break;
        chain(ws(op_pos + 1), right);
        if (!right.ok()) {
          product.fail(right.error);
        } else if (!combine(product, *op, right)) {
          product.fail(too_deep(op_pos));
        }
      }
      if (!out.ok()) {
        out = std::move(product);
      } else if (!combine(out, sum_op, product)) {
        return out.fail(too_deep(pos));
      }
      size_t op_pos = ws(out.rest);
      auto op = op_pos < text_.size() ? additive_op(text_[op_pos]) : std::nullopt;
      if (!op) return;
      sum_op = *op;
      pos = ws(op_pos + 1);
    }
  }

  // chain: term+ with nothing between the terms, or else one literal.
  TAMSEL_OUT_OF_LINE void chain(size_t pos, Parsed<Pipeline>& out) {
    Parsed<Filter> next;
    term(pos, next);
    if (!next.ok()) {
      if (next.error.recoverable()) return literal_chain(pos, out);
      return out.fail(next.error);
    }
    out.succeed(Pipeline{}, pos);
    do {
      out.value->push_back(std::move(*next.value));
      out.rest = next.rest;
      out.height = std::max(out.height, next.height);
      term(out.rest, next);
    } while (next.ok());
    if (!next.error.recoverable()) out.fail(next.error);
  }

  TAMSEL_OUT_OF_LINE void literal_chain(size_t pos, Parsed<Pipeline>& out) {
    Parsed<LiteralValue> literal = parse_literal(text_, pos);
    if (!literal.ok()) {
      reached(literal.error);
      return out.fail(literal.error);
    }
    out.succeed(Pipeline{}, literal.rest);
    out.value->emplace_back();
    out.value->back().node.emplace<Literal>(Literal{std::move(*literal.value)});
  }

  TAMSEL_OUT_OF_LINE void term(size_t pos, Parsed<Filter>& out) {
    if (starts_with(pos, "select")) {
      remembered(pos, &Grammar::select_term, out);
      if (out.ok() || !out.error.recoverable()) return;
    }
    if (builtin_term(pos, out) || path_term(pos, out)) return;
    if (char_at(pos, '{')) {
      remembered(pos, &Grammar::object_term, out);
      if (out.ok() || !out.error.recoverable()) return;
    }
    if (char_at(pos, '.')) return build<Identity>(out, pos + 1, 0);
    out.fail(stop(ErrorKind::Char, pos));
  }

  // Select and object terms are the only ones that recurse, so their
  // failures are remembered by position: the second attempt of a
  // not-condition meets them again at the same place. (A term that succeeded
  // is not worth keeping: the second attempt can only differ from the first
  // before it, so the inner term is read at most twice per failing level.) A
  // failure met at some nesting level stands for any shallower level too;
  // deeper, the nesting limit might have cut the parse short first.
  struct RememberedFailure {
    int nesting;
    ParseError error;
  };

  TAMSEL_OUT_OF_LINE void remembered(size_t pos, FilterRule rule, Parsed<Filter>& out) {
    auto found = failures_.find(pos);
    if (found != failures_.end() && nesting_ <= found->second.nesting) {
      return out.fail(found->second.error);
    }
    (this->*rule)(pos, out);
    if (!out.ok() && out.error.severity != Severity::TooDeep) {
      failures_.insert_or_assign(pos, RememberedFailure{nesting_, out.error});
    }
  }

  // "select" (no word-boundary test), ws, "(", ws, or-condition, ws, ")".
  TAMSEL_OUT_OF_LINE void select_term(size_t pos, Parsed<Filter>& out) {
    size_t open = ws(pos + 6);
    if (!char_at(open, '(')) return out.fail(stop(ErrorKind::Char, open));
    NestingLevel level(*this);
    if (level.exceeded()) return out.fail(too_deep(open));
    Parsed<Condition> condition;
    or_condition(ws(open + 1), condition);
    if (!condition.ok()) return out.fail(condition.error);
    size_t close = ws(condition.rest);
    if (!char_at(close, ')')) return out.fail(stop(ErrorKind::Char, close));
    if (condition.height + 1 > kMaxQueryDepth) return out.fail(too_deep(pos));
    build<Select>(out, close + 1, condition.height + 1, std::move(*condition.value));
  }

  // A call with one literal argument, else a bare builtin name. Returns
  // whether `out` now holds the outcome of the term. Calls are tried first,
  // so that "flatten(1)" is a call rather than "flatten" followed by "(1)";
  // within a table the order is free (names_are_distinct_words).
  TAMSEL_OUT_OF_LINE bool builtin_term(size_t pos, Parsed<Filter>& out) {
    // Every name starts with a lower-case letter; this saves fifty lookups
    // per path step.
    if (pos >= text_.size() || text_[pos] < 'a' || text_[pos] > 'z') return false;
    for (const auto& builtin : kArgBuiltins) {
      if (!keyword_at(text_, pos, builtin.name)) continue;
      size_t open = ws(pos + builtin.name.size());
      if (!char_at(open, '(')) {
        reached(open);
        continue;
      }
      Parsed<LiteralValue> argument = parse_literal(text_, ws(open + 1));
      if (!argument.ok()) {
        reached(argument.error);
        if (argument.error.recoverable()) continue;
        out.fail(argument.error);
        return true;
      }
      size_t close = ws(argument.rest);
      if (!char_at(close, ')')) {
        reached(close);
        continue;
      }
      build<BuiltinWithArg>(out, close + 1, 0, std::move(*argument.value), builtin.kind);
      return true;
    }
    for (const auto& builtin : kBuiltins) {
      if (keyword_at(text_, pos, builtin.name)) {
        build<Builtin>(out, pos + builtin.name.size(), 0, builtin.kind);
        return true;
      }
    }
    return false;
  }

  // The forms after "." other than "." alone: ".[]", slices, indexes, ".."
  // and fields. Returns whether one matched into `out`.
  TAMSEL_OUT_OF_LINE bool path_term(size_t pos, Parsed<Filter>& out) {
    if (!char_at(pos, '.')) return false;
    if (char_at(pos + 1, '[')) {
      size_t inside = pos + 2;
      if (char_at(inside, ']')) {
        build<Iterate>(out, inside + 1, 0);
        return true;
      }
      if (slice_at(inside, out)) return true;
      size_t end = 0;
      if (auto index = integer_at(text_, inside, INT32_MIN, INT32_MAX, &end);
          index && char_at(end, ']')) {
        build<Index>(out, end + 1, 0, static_cast<int32_t>(*index));
        return true;
      }
    }
    if (char_at(pos + 1, '.')) {
      build<RecursiveDescent>(out, pos + 2, 0);
      return true;
    }
    if (auto end = identifier_end(text_, pos + 1)) {
      build<Field>(out, *end, 0, std::string(text_.substr(pos + 1, *end - pos - 1)));
      return true;
    }
    return false;
  }

  // Optional bound ":" optional bound "]", from just after ".[". A bound
  // outside 64 bits counts as absent, and its digits then stop the match.
  bool slice_at(size_t pos, Parsed<Filter>& out) {
    std::optional<int64_t> from, to;
    size_t end = 0;
    if ((from = integer_at(text_, pos, INT64_MIN, INT64_MAX, &end))) pos = end;
    if (!char_at(pos, ':')) return false;
    ++pos;
    if ((to = integer_at(text_, pos, INT64_MIN, INT64_MAX, &end))) pos = end;
    if (!char_at(pos, ']')) return false;
    build<Slice>(out, pos + 1, 0, from, to);
    return true;
  }

  // "{" entry ("," entry)* "}" with ws around the punctuation; a failing
  // entry after a "," ends the list before that ",".
  TAMSEL_OUT_OF_LINE void object_term(size_t pos, Parsed<Filter>& out) {
    NestingLevel level(*this);
    if (level.exceeded()) return out.fail(too_deep(pos));
    std::vector<ObjectEntry> entries;
    Parsed<ObjectEntry> entry;
    size_t end = pos + 1;
    int height = 0;
    for (size_t next = ws(pos + 1);;) {
      object_entry(next, entry);
      if (!entry.ok()) {
        if (entries.empty() || !entry.error.recoverable()) return out.fail(entry.error);
        break;  // the list ends before the "," ahead of this entry
      }
      entries.push_back(std::move(*entry.value));
      end = entry.rest;
      height = std::max(height, entry.height);
      size_t separator = ws(end);
      if (!char_at(separator, ',')) break;
      next = ws(separator + 1);
    }
    size_t close = ws(end);
    if (!char_at(close, '}')) return out.fail(stop(ErrorKind::Char, close));
    if (height + 1 > kMaxQueryDepth) return out.fail(too_deep(pos));
    build<ObjectConstruct>(out, close + 1, height + 1, std::move(entries));
  }

  // identifier ws ":" ws pipe-expression
  TAMSEL_OUT_OF_LINE void object_entry(size_t pos, Parsed<ObjectEntry>& out) {
    auto key_end = identifier_end(text_, pos);
    size_t colon = key_end ? ws(*key_end) : pos;
    if (!key_end || !char_at(colon, ':')) return out.fail(stop(ErrorKind::Char, colon));
    Parsed<Pipeline> value;
    pipe_expression(ws(colon + 1), value);
    if (!value.ok()) return out.fail(value.error);
    out.value.emplace();
    out.value->key.assign(text_.substr(pos, *key_end - pos));
    out.value->value = std::move(*value.value);
    out.rest = value.rest;
    out.height = value.height;
  }

  // Object values and comparison operands: an optional leading "|", then
  // arithmetic ("|" arithmetic)*.
  TAMSEL_OUT_OF_LINE void pipe_expression(size_t pos, Parsed<Pipeline>& out) {
    size_t bar = ws(pos);
    arithmetic(char_at(bar, '|') ? ws(bar + 1) : pos, out);
    if (out.ok()) continue_pipeline(out, &Grammar::arithmetic);
  }

  // or-condition: conjunction ("or" conjunction)*, conjunction:
  // not-condition ("and" not-condition)*, both left-associative. Once the
  // keyword is read, a failing operand fails the whole rule.
  TAMSEL_OUT_OF_LINE void or_condition(size_t pos, Parsed<Condition>& out) {
    out.value.reset();
    Parsed<Condition> conjunction;
    Parsed<Condition> right;
    for (;;) {
      not_condition(pos, conjunction);
      for (;;) {
        if (!conjunction.ok()) return out.fail(conjunction.error);
        size_t word = ws(conjunction.rest);
        if (!keyword_at(text_, word, "and")) break;
        not_condition(ws(word + 3), right);
        if (!right.ok()) {
          conjunction.fail(right.error);
        } else if (!join<And>(conjunction, right)) {
          conjunction.fail(too_deep(word));
        }
      }
      if (!out.ok()) {
        out = std::move(conjunction);
      } else if (!join<Or>(out, conjunction)) {
        return out.fail(too_deep(pos));
      }
      size_t word = ws(out.rest);
      if (!keyword_at(text_, word, "or")) return;
      pos = ws(word + 2);
    }
  }

  // KW "not" ws comparison, else a comparison from the same place (where
  // "not" may be the builtin at the start of a pipeline).
  TAMSEL_OUT_OF_LINE void not_condition(size_t pos, Parsed<Condition>& out) {
    if (keyword_at(text_, pos, "not")) {
      comparison(ws(pos + 3), out);
      if (out.ok()) negate(out, pos);
      if (out.ok() || !out.error.recoverable()) return;
    }
    comparison(pos, out);
  }

  // "(" or-condition ")" groups; otherwise a pipe-expression, compared with
  // a right side if an operator follows, else tested for truth.
  TAMSEL_OUT_OF_LINE void comparison(size_t pos, Parsed<Condition>& out) {
    if (char_at(pos, '(')) {
      grouped(pos, out);
      if (out.ok() || !out.error.recoverable()) return;
    }
    Parsed<Pipeline> left;
    pipe_expression(pos, left);
    if (!left.ok()) return out.fail(left.error);
    size_t op_pos = ws(left.rest);
    if (auto op = compare_operator_at(text_, op_pos)) {
      compare_with_right_side(left, op->op, ws(op_pos + op->length), out);
      if (out.ok() || out.error.severity == Severity::TooDeep) return;
    }
    build<Truthy>(out, left.rest, left.height, std::move(*left.value));
  }

  TAMSEL_OUT_OF_LINE void grouped(size_t pos, Parsed<Condition>& out) {
    NestingLevel level(*this);
    if (level.exceeded()) return out.fail(too_deep(pos));
    or_condition(ws(pos + 1), out);
    if (!out.ok()) return;
    size_t close = ws(out.rest);
    if (!char_at(close, ')')) return out.fail(stop(ErrorKind::Char, close));
    out.rest = close + 1;
  }

  // The right side: a literal, else a pipe-expression; a trailing "| not"
  // negates the comparison. `left` is taken only on success; a right side
  // that fails (even unrecoverably) leaves `out` failed and `left` intact.
  TAMSEL_OUT_OF_LINE void compare_with_right_side(Parsed<Pipeline>& left, CompareOp op,
                                                  size_t pos, Parsed<Condition>& out) {
    if (!compare_with_literal(left, op, pos, out)) {
      if (!out.error.recoverable()) return;
      Parsed<Pipeline> right;
      pipe_expression(pos, right);
      if (!right.ok()) return out.fail(right.error);
      build<CompareFilter>(out, right.rest, std::max(left.height, right.height),
                           std::move(*left.value), op, std::move(*right.value));
    }
    size_t bar = ws(out.rest);
    if (!char_at(bar, '|')) return;
    size_t word = ws(bar + 1);
    if (keyword_at(text_, word, "not")) {
      out.rest = word + 3;
      negate(out, word);
    }
  }

  TAMSEL_OUT_OF_LINE bool compare_with_literal(Parsed<Pipeline>& left, CompareOp op, size_t pos,
                                               Parsed<Condition>& out) {
    Parsed<LiteralValue> literal = parse_literal(text_, pos);
    if (!literal.ok()) {
      reached(literal.error);
      out.fail(literal.error);
      return false;
    }
    build<CompareLiteral>(out, literal.rest, left.height, std::move(*left.value), op,
                          std::move(*literal.value));
    return true;
  }

  std::string_view text_;
  int nesting_ = 0;  // enclosing "select(", "{" and grouping "("
  size_t farthest_ = 0;
  std::unordered_map<size_t, RememberedFailure> failures_;
};

}  // namespace

Parsed<Pipeline> parse_query(std::string_view text, size_t* farthest) {
  Parsed<Pipeline> result;
  Grammar grammar(text);
  grammar.query(0, result);
  if (farthest) *farthest = grammar.farthest();
  return result;
}

}  // namespace tamsel::query
