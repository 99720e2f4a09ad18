// What a run hands back for each result of a text.
#pragma once

#include <string>

namespace tamsel::texts {

struct ResultForm {
  // Stop at the first result, as first() does.
  bool first_only = false;
  // The bytes of the result's JSON text, as tojson writes it, rather than a
  // value; laid out over lines, a level indented by `indent`, when `pretty`.
  bool as_json = false;
  bool pretty = false;
  std::string indent;
};

}  // namespace tamsel::texts
