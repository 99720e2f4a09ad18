// Query text to filter tree.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "parser/filter.h"
#include "tamsel_limits.h"

namespace tamsel::query {

// A query that did not compile; `message` is the full text that compile()
// raises as ValueError ("Invalid query syntax: ..." or "Extra chars").
struct CompileError {
  std::string message;
};

// Parses a whole query the way compile() does: the query rule over the full
// text, then the rest must be Unicode white space only.
std::variant<Pipeline, CompileError> compile_query(std::string_view text);

// A compact one-line rendering of a tree, for tests and debugging.
std::string dump(const Pipeline& pipeline);

}  // namespace tamsel::query
