#include "engine/builtins.h"

namespace tamsel::engine {

Value literal_to_value(const query::LiteralValue& literal) {
  using K = query::LiteralValue::Kind;
  switch (literal.kind) {
    case K::Null: return Value::null();
    case K::Bool: return Value::boolean(literal.boolean);
    case K::Integer: return Value::i64(literal.integer);
    case K::Float: return Value::f64(literal.number);
    // A view of the query's text, which outlives every value of a run (as
    // the keys of constructed objects do): no copy per comparison.
    case K::String:
      return Value::string_view(literal.string.data(),
                                Value::checked_length(literal.string.size()));
  }
  return Value::null();
}

}  // namespace tamsel::engine
