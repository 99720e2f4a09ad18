// Terse constructors and a structural equality for values in engine tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include "value/value.h"

namespace tamsel::testing {

// Number edges the tables use.
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// Concatenates text pieces by appending (GCC 12 warns falsely on
// `"literal" + std::string` at -O3).
template <typename... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  (out.append(pieces), ...);
  return out;
}

inline Value N() { return Value::null(); }
inline Value B(bool b) { return Value::boolean(b); }
inline Value I(int64_t i) { return Value::i64(i); }
inline Value U(uint64_t u) { return Value::u64(u); }
inline Value F(double d) { return Value::f64(d); }
inline Value S(std::string_view s) { return Value::string(s); }

template <typename... Vs>
Value arr(Vs&&... elements) {
  Array a;
  a.reserve(sizeof...(Vs));
  (a.push_back(std::forward<Vs>(elements)), ...);
  return Value::array(std::move(a));
}

inline void add_members(ObjectMap&) {}
template <typename... Rest>
void add_members(ObjectMap& m, std::string_view key, Value value, Rest&&... rest) {
  m.insert(Value::string(key), std::move(value));
  add_members(m, std::forward<Rest>(rest)...);
}

// obj("a", I(1), "b", S("x")): members in insertion order.
template <typename... Members>
Value obj(Members&&... members) {
  ObjectMap m = ObjectMap::with_capacity(sizeof...(Members) / 2);
  add_members(m, std::forward<Members>(members)...);
  return Value::object(std::move(m));
}

// Same kinds and payloads all the way down, floats by their bits (so -0.0
// does not match 0.0) except that any NaN matches any NaN, object members in
// order.
inline bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null: return true;
    case Kind::Bool: return a.as_bool() == b.as_bool();
    case Kind::I64: return a.as_i64() == b.as_i64();
    case Kind::U64: return a.as_u64() == b.as_u64();
    case Kind::F64: {
      const double x = a.as_f64(), y = b.as_f64();
      if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
      return std::memcmp(&x, &y, sizeof x) == 0;
    }
    case Kind::String: return a.as_string() == b.as_string();
    case Kind::Array: {
      const Array& x = a.as_array();
      const Array& y = b.as_array();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!same(x[i], y[i])) return false;
      }
      return true;
    }
    case Kind::Object: {
      const ObjectMap& x = a.as_object();
      const ObjectMap& y = b.as_object();
      if (x.size() != y.size()) return false;
      const ObjectMap::Entry* p = x.begin();
      for (const ObjectMap::Entry& e : y) {
        if (p->key.as_string() != e.key.as_string() || !same(p->value, e.value)) return false;
        ++p;
      }
      return true;
    }
  }
  return false;
}

// Kind-tagged text for failure messages: 3 (I64), 3u (U64), 3f (F64).
inline void describe_into(std::string& out, const Value& v) {
  char buf[40];
  switch (v.kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Kind::I64: out += std::to_string(v.as_i64()); return;
    case Kind::U64: out += std::to_string(v.as_u64()); out += 'u'; return;
    case Kind::F64:
      std::snprintf(buf, sizeof buf, "%.17gf", v.as_f64());
      out += buf;
      return;
    case Kind::String:
      out += '"';
      out += v.as_string();
      out += '"';
      return;
    case Kind::Array: {
      out += '[';
      const char* sep = "";
      for (const Value& e : v.as_array()) {
        out += sep;
        sep = ",";
        describe_into(out, e);
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      const char* sep = "";
      for (const ObjectMap::Entry& e : v.as_object()) {
        out += sep;
        sep = ",";
        out += e.key.as_string();
        out += ':';
        describe_into(out, e.value);
      }
      out += '}';
      return;
    }
  }
}

inline std::string describe(const Value& v) {
  std::string out;
  describe_into(out, v);
  return out;
}

}  // namespace tamsel::testing
