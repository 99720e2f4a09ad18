// Help beside a query that did not compile: where the parser stopped, and how
// to write what stands there when it is a form of jq that this language
// writes otherwise or lacks, or a word that names no builtin. The messages
// stay as they are; these texts go into notes beside them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "parser/parser.h"

namespace tamsel::query {

// Two lines: the line of `query` that holds byte offset `at`, and under it a
// caret below the character there (past the last one when `at` is the end of
// the line), both indented by two spaces. The caret is placed by code
// points: a tab above it is a tab before it, and a character shown as
// \u{...} (as messages show it) takes the room of that text. A line longer
// than about 70 characters is cut to a window around `at`, each cut marked
// "...". In a query of several lines, the caret is followed by the line's
// number.
std::string caret_note(std::string_view query, size_t at);

// One line on what stands at byte offset `at` of `query`, or "" when there
// is nothing to say about it.
std::string query_hint(std::string_view query, size_t at);

// The notes for `error`, raised for `query`: the caret note at the place
// where the parser stopped (unless the query is empty), then the hint
// there, if any. None for a query nested too deep.
std::vector<std::string> compile_notes(std::string_view query, const CompileError& error);

}  // namespace tamsel::query
