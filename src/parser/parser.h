// Query text to filter tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "parser/filter.h"
#include "tamsel_limits.h"

namespace tamsel::query {

// A query that did not compile; `message` is the full text that compile()
// raises as ValueError ("Invalid query syntax: ..." or "Extra chars").
// `stopped_at` is the byte offset where the parser got furthest before it
// gave up, which the message does not always show: "Extra chars" shows
// none, and an error inside a term is reported at the term's start. A query
// nested too deep has none worth showing.
struct CompileError {
  std::string message;
  std::optional<size_t> stopped_at;
};

// Parses a whole query the way compile() does: the query rule over the full
// text, then the rest must be Unicode white space only.
std::variant<Pipeline, CompileError> compile_query(std::string_view text);

// A compact one-line rendering of a tree, for tests and debugging.
std::string dump(const Pipeline& pipeline);

}  // namespace tamsel::query
