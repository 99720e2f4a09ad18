// The recursive-descent grammar of the query language.
#pragma once

#include <string_view>

#include "parser/filter.h"
#include "parser/parse_result.h"

namespace tamsel::query {

// Runs the query rule from the start of `text`. On success `rest` is where
// the parse stopped; the caller decides what may follow. `farthest`, when
// given, is set to the farthest offset at which a rule failed.
Parsed<Pipeline> parse_query(std::string_view text, size_t* farthest = nullptr);

}  // namespace tamsel::query
