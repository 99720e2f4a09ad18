// length, type, not, empty, tostring, tonumber, tojson, fromjson.
#include <cmath>
#include <variant>

#include "engine/builtins_internal.h"
#include "engine/number_text.h"
#include "engine/render.h"
#include "runtime/arena.h"
#include "unicode/utf8.h"
#include "value/json.h"

namespace tamsel::engine {
namespace {

const char* type_name(Kind kind) {
  switch (kind) {
    case Kind::Null: return "null";
    case Kind::Bool: return "boolean";
    case Kind::I64:
    case Kind::U64:
    case Kind::F64: return "number";
    case Kind::String: return "string";
    case Kind::Array: return "array";
    case Kind::Object: return "object";
  }
  return "null";
}

}  // namespace

namespace builtin {

void length(EvalValue input, ResultList& out) {
  const View v = input.view();
  switch (v.kind()) {
    case Kind::Null: out.push_back(EvalValue::owned(Value::i64(0))); return;
    case Kind::Bool: return;
    case Kind::I64: out.push_back(EvalValue::owned(integer_magnitude(v.as_i64()))); return;
    case Kind::U64: out.push_back(EvalValue::owned(Value::u64(v.as_u64()))); return;
    case Kind::F64: out.push_back(EvalValue::owned(Value::f64(std::fabs(v.as_f64())))); return;
    case Kind::String: {
      auto n = utf8::count_code_points(v.as_string());
      out.push_back(EvalValue::owned(Value::i64(static_cast<int64_t>(n))));
      return;
    }
    case Kind::Array:
    case Kind::Object:
      out.push_back(EvalValue::owned(Value::i64(static_cast<int64_t>(v.size()))));
      return;
  }
}

void type(EvalValue input, ResultList& out) {
  out.push_back(EvalValue::owned(Value::string(type_name(input.kind()))));
}

void not_(EvalValue input, ResultList& out) {
  out.push_back(EvalValue::owned(Value::boolean(!is_truthy(input))));
}

void empty(EvalValue /*input*/, ResultList& /*out*/) {}

void tostring(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::String) {
    out.push_back(std::move(input));
    return;
  }
  out.push_back(EvalValue::owned(Value::string(to_display_text(input.view()))));
}

void tonumber(EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.is_number()) {
    out.push_back(std::move(input));
  } else if (v.kind() == Kind::String) {
    if (auto number = parse_number_text(v.as_string())) {
      out.push_back(EvalValue::owned(std::move(*number)));
    }
  }
}

void tojson(EvalValue input, ResultList& out) {
  if (input.kind() == Kind::String) {
    out.push_back(EvalValue::owned(json_string_value(input.view().as_string())));
  } else {
    // A container's text starts with room for a few members, which spares
    // the steps of growing from nothing.
    const View v = input.view();
    out.push_back(EvalValue::owned(Value::string(to_json_text(v, v.is_container() ? 256 : 0))));
  }
}

void fromjson(EvalValue input, ResultList& out) {
  const View v = input.view();
  if (v.kind() != Kind::String) return;
  // The parser's storage dies with it, so the result must own its strings.
  // simdjson's own library frees some of what is allocated for its parser,
  // so none of it may come from the arena; the result comes from the system
  // too, and goes back there when it is freed.
  const runtime::ArenaPause system_memory;
  JsonParser parser;
  auto parsed = parser.parse(v.as_string(), /*view_strings=*/false);
  if (auto* value = std::get_if<Value>(&parsed)) {
    out.push_back(EvalValue::owned(std::move(*value)));
  }
}

}  // namespace builtin

}  // namespace tamsel::engine
