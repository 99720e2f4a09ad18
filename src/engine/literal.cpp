#include "engine/builtins.h"

namespace tamsel::engine {

Value literal_to_value(const query::LiteralValue& literal) {
  using K = query::LiteralValue::Kind;
  switch (literal.kind) {
    case K::Null: return Value::null();
    case K::Bool: return Value::boolean(literal.boolean);
    case K::Integer: return Value::i64(literal.integer);
    case K::Float: return Value::f64(literal.number);
    case K::String: return Value::string(literal.string);
  }
  return Value::null();
}

}  // namespace tamsel::engine
