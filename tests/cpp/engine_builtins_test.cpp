#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/builtins.h"
#include "engine_builtins_support.h"

namespace {

using namespace tamsel::testing;
using tamsel::Value;
using tamsel::engine::apply_builtin;
using tamsel::engine::EvalValue;
using tamsel::engine::ResultList;
using K = tamsel::query::BuiltinKind;


// Inputs are JSON text; outputs are kind-tagged (3 is I64, 3u U64, 3f F64),
// space-separated, and "" when there is none.
struct Case {
  K kind;
  const char* input;
  const char* expected;
};

void check(const Case* begin, const Case* end) {
  for (const Case* c = begin; c != end; ++c) {
    Value input = parse_json(c->input);
    auto apply = [&](EvalValue v, ResultList& out) { apply_builtin(c->kind, std::move(v), out); };
    EXPECT_EQ(run_both_ways(apply, input), c->expected)
        << tamsel::query::builtin_name(c->kind) << " of " << c->input;
  }
}

template <size_t N>
void check(const Case (&cases)[N]) {
  check(cases, cases + N);
}

TEST(Builtins, General) {
  const Case cases[] = {
      {K::Length, "null", "0"},
      {K::Length, "true", ""},
      {K::Length, "-5", "5"},
      {K::Length, "7", "7u"},
      {K::Length, "-2.5", "2.5f"},
      {K::Length, "\"h\u00e9llo\"", "5"},  // code points, not bytes
      {K::Length, "[1,[2,3]]", "2"},
      {K::Length, "{\"a\":1,\"a\":2}", "2"},  // parsed duplicates are entries too
      // The magnitude of INT64_MIN only fits a U64.
      {K::Length, "-9223372036854775808", "9223372036854775808u"},
      {K::Type, "1.0", "\"number\""},
      {K::Type, "18446744073709551615", "\"number\""},
      {K::Type, "false", "\"boolean\""},
      {K::Type, "{}", "\"object\""},
      {K::Not, "0", "false"},
      {K::Not, "null", "true"},
      {K::Not, "false", "true"},
      {K::Not, "\"\"", "false"},
      {K::Not, "[]", "false"},
      {K::Empty, "[1]", ""},
      {K::Tostring, "\"a\"", "\"a\""},
      {K::Tostring, "[1,\"a\"]", "\"[1,\"a\"]\""},
      {K::Tostring, "1.0", "\"1\""},
      {K::Tostring, "null", "\"null\""},
      {K::Tojson, "\"a\"", "\"\"a\"\""},
      {K::Tojson, "{\"a\":[1.5,null]}", "\"{\"a\":[1.5,null]}\""},
      {K::Fromjson, "\"[1,2]\"", "[1u,2u]"},
      {K::Fromjson, "\" {\\\"k\\\":\\\"v\\\"} \"", "{k:\"v\"}"},
      {K::Fromjson, "\"[1,\"", ""},
      {K::Fromjson, "\"1 2\"", ""},
      {K::Fromjson, "[1]", ""},
  };
  check(cases);
}

TEST(Builtins, Tonumber) {
  const Case cases[] = {
      {K::Tonumber, "5", "5u"},
      {K::Tonumber, "-2.5", "-2.5f"},
      {K::Tonumber, "\" 42 \"", "42"},
      {K::Tonumber, "\"\\u00a0\\t42\\u3000\\n\"", "42"},  // Unicode white space
      {K::Tonumber, "\"+7\"", "7"},
      {K::Tonumber, "\"-0\"", "0"},
      {K::Tonumber, "\"007\"", "7"},
      // Integers first, as I64 while they fit, then floats.
      {K::Tonumber, "\"-9223372036854775808\"", "-9223372036854775808"},
      {K::Tonumber, "\"9223372036854775808\"", "9.2233720368547758e+18f"},
      {K::Tonumber, "\"4.5e1\"", "45f"},
      {K::Tonumber, "\"+1.5E-1\"", "0.14999999999999999f"},
      {K::Tonumber, "\"5.\"", "5f"},
      {K::Tonumber, "\".5\"", "0.5f"},
      {K::Tonumber, "\"nan\"", "nanf"},
      {K::Tonumber, "\"-Infinity\"", "-inff"},
      {K::Tonumber, "\"INF\"", "inff"},
      {K::Tonumber, "\"1e400\"", "inff"},
      {K::Tonumber, "\"-1e400\"", "-inff"},
      {K::Tonumber, "\"1e-400\"", "0f"},
      {K::Tonumber, "\"0.000001e-400\"", "0f"},
      {K::Tonumber, "\"1e99999999999999999999\"", "inff"},
      {K::Tonumber, "\"4.9e-324\"", "4.9406564584124654e-324f"},
      {K::Tonumber, "\"0x10\"", ""},
      {K::Tonumber, "\"0x1p3\"", ""},
      {K::Tonumber, "\"nan(1)\"", ""},
      {K::Tonumber, "\"-\"", ""},
      {K::Tonumber, "\".\"", ""},
      {K::Tonumber, "\"1e\"", ""},
      {K::Tonumber, "\"e5\"", ""},
      {K::Tonumber, "\"1 2\"", ""},
      {K::Tonumber, "\"1_000\"", ""},
      {K::Tonumber, "\"++1\"", ""},
      {K::Tonumber, "\"\"", ""},
      {K::Tonumber, "\" \"", ""},
      {K::Tonumber, "\"\\u0661\"", ""},  // a non-ASCII digit
      {K::Tonumber, "null", ""},
      {K::Tonumber, "\"true\"", ""},
  };
  check(cases);
}

TEST(Builtins, Strings) {
  const Case cases[] = {
      {K::AsciiDowncase, "\"\u00c0Bc\"", "\"\u00c0bc\""},
      {K::AsciiUpcase, "\"stra\u00dfe\"", "\"STRA\u00dfE\""},
      {K::AsciiUpcase, "5", ""},
      {K::Explode, "\"a\u00e9\u20ac\\ud83d\\ude00\"", "[97,233,8364,128512]"},
      {K::Explode, "\"\"", "[]"},
      {K::Implode, "[104,105]", "\"hi\""},
      {K::Implode, "[97,55296,98]", "\"ab\""},      // surrogates are skipped
      {K::Implode, "[65.0,66]", "\"B\""},           // so are floats
      {K::Implode, "[1114112,1114111]", "\"\U0010FFFF\""},
      {K::Implode, "[\"a\",null,67,[68]]", "\"C\""},
      {K::Implode, "[4294967361]", "\"A\""},        // low 32 bits: 65
      {K::Implode, "[-1]", "\"\""},
      {K::Implode, "[]", "\"\""},
      {K::Implode, "\"abc\"", ""},
      {K::Reverse, "\"a\u00e9b\u20ac\"", "\"\u20acb\u00e9a\""},
      {K::Reverse, "\"\"", "\"\""},
  };
  check(cases);
}

TEST(Builtins, ExplodeThenImplodeRoundTrips) {
  for (const char* text : {"", "plain", "\u00e9\u20ac\U0001F600\U0010FFFF", "a\u0301b"}) {
    ResultList exploded, imploded;
    apply_builtin(K::Explode, EvalValue::owned(Value::string(text)), exploded);
    ASSERT_EQ(exploded.size(), 1u);
    apply_builtin(K::Implode, std::move(exploded[0]), imploded);
    ASSERT_EQ(imploded.size(), 1u);
    EXPECT_EQ(imploded[0].get().as_string(), text);
  }
}

TEST(Builtins, ArraysAndObjects) {
  const Case cases[] = {
      {K::Keys, "{\"b\":1,\"a\":2,\"B\":3}", "[\"B\",\"a\",\"b\"]"},
      {K::Keys, "{\"\u00e9\":1,\"ab\":2,\"z\":3,\"a\":4}", "[\"a\",\"ab\",\"z\",\"\u00e9\"]"},
      {K::Keys, "[5,6,7]", "[0,1,2]"},
      {K::KeysUnsorted, "{\"b\":1,\"a\":2,\"B\":3}", "[\"b\",\"a\",\"B\"]"},
      {K::KeysUnsorted, "[5,6,7]", ""},
      {K::Values, "{\"a\":1,\"b\":[2]}", "[1u,[2u]]"},
      {K::Values, "\"x\"", ""},
      {K::Reverse, "[1,\"a\",[2]]", "[[2u],\"a\",1u]"},
      {K::Reverse, "null", ""},
      {K::Sort, "[3,\"a\",null,[1],{\"k\":1},true,1.5]", "[null,true,1.5f,3u,\"a\",[1u],{k:1u}]"},
      {K::Sort, "[1,1.0]", "[1u,1f]"},
      {K::Sort, "[1.0,1]", "[1f,1u]"},
      {K::Sort, "[{\"b\":1},{\"a\":2}]", "[{b:1u},{a:2u}]"},
      {K::Sort, "[\"b\",\"a\",\"B\",\"ab\"]", "[\"B\",\"a\",\"ab\",\"b\"]"},
      {K::Sort, "\"cba\"", ""},
      {K::Unique, "[2,1,2,1.0]", "[1u,2u]"},
      {K::Unique, "[1.0,2,1]", "[1f,2u]"},
      {K::Unique, "[[1],[1]]", "[[1u],[1u]]"},
      {K::Unique, "[{\"a\":1},{\"a\":1}]", "[{a:1u},{a:1u}]"},
      {K::Unique, "[9007199254740993,9007199254740992,9007199254740993]",
       "[9007199254740993u,9007199254740992u,9007199254740993u]"},
      {K::Unique, "[]", "[]"},
      {K::Min, "[2,1,1.0]", "1u"},
      {K::Max, "[1,2,2.0]", "2f"},
      {K::Min, "[{\"a\":2},{\"a\":1}]", "{a:2u}"},
      {K::Max, "[{\"a\":2},{\"a\":1}]", "{a:1u}"},
      {K::Min, "[]", ""},
      {K::Max, "{\"a\":1}", ""},
      {K::First, "[7,8]", "7u"},
      {K::Last, "[7,8]", "8u"},
      {K::First, "[]", ""},
      {K::Last, "[]", ""},
      {K::Flatten, "[1,[2,[3,[4]]],{\"a\":[5]}]", "[1u,2u,3u,4u,{a:[5u]}]"},
      {K::Flatten, "[[],[[]]]", "[]"},
      {K::Add, "[1,2,3]", "6"},
      {K::Add, "[\"a\",\"b\",\"c\"]", "\"abc\""},
      {K::Add, "[[1],[2],[3]]", "[1u,2u,3u]"},
      {K::Add, "[]", "null"},
      {K::Add, "[1,\"x\",2]", "3"},    // the string does not add to a number
      {K::Add, "[\"a\",1,\"b\"]", "\"ab\""},
      {K::Add, "[null,1]", "1u"},
      {K::Add, "[[1],null,[2],{\"x\":1}]", "[1u,2u]"},
      {K::Add, "[{\"a\":1,\"b\":2},{\"b\":3}]", "{a:1u,b:3u}"},
      {K::Add, "[\"a\",null]", "\"a\""},
      {K::ToEntries, "{\"a\":1,\"b\":[2]}", "[{key:\"a\",value:1u},{key:\"b\",value:[2u]}]"},
      {K::ToEntries, "[]", ""},
      {K::FromEntries, "[{\"key\":\"a\",\"value\":1}]", "{a:1u}"},
      {K::FromEntries,
       "[{\"name\":\"x\",\"value\":1},{\"key\":2},{\"key\":null,\"value\":3},5,"
       "{\"k\":\"y\",\"v\":4}]",
       "{x:1u,2:null}"},
      {K::FromEntries,
       "[{\"key\":\"a\",\"value\":1},{\"key\":\"b\",\"value\":2},{\"key\":\"a\",\"value\":3}]",
       "{a:3u,b:2u}"},
      {K::FromEntries, "[{\"key\":\"k\",\"name\":\"n\",\"value\":1}]", "{k:1u}"},
      {K::FromEntries, "[{\"key\":false,\"name\":\"n\"}]", "{}"},  // no fallback to name
      {K::FromEntries, "[{\"key\":-3,\"value\":true},{\"key\":1.0}]", "{-3:true}"},
      {K::FromEntries, "{}", ""},
      {K::Recurse, "{\"a\":[1,2]}", "{a:[1u,2u]} [1u,2u] 1u 2u"},
  };
  check(cases);
}

TEST(Builtins, FromEntriesFormFollowsArrayLength) {
  auto build = [](int elements, int usable) {
    std::string text = "[";
    for (int i = 0; i < elements; ++i) {
      if (i) text += ',';
      text += i < usable ? "{\"key\":\"k" + std::to_string(usable - i) + "\"}" : "0";
    }
    Value input = parse_json(text + "]");
    ResultList out;
    apply_builtin(K::FromEntries, EvalValue::owned(std::move(input)), out);
    return std::move(out.at(0)).take();
  };
  Value small = build(32, 32);
  EXPECT_FALSE(small.as_object().is_hashed());
  EXPECT_EQ(small.as_object().begin()->key.as_string(), "k32");  // insertion order
  Value sparse = build(40, 3);
  EXPECT_TRUE(sparse.as_object().is_hashed());
  EXPECT_EQ(sparse.as_object().size(), 3u);
}

TEST(Builtins, Numeric) {
  const Case cases[] = {
      {K::Floor, "3.7", "3"},
      {K::Floor, "-3.2", "-4"},
      {K::Ceil, "3.2", "4"},
      {K::Ceil, "-3.7", "-3"},
      {K::Round, "2.5", "3"},
      {K::Round, "-2.5", "-3"},
      {K::Round, "0.49999999999999994", "0"},
      {K::Floor, "5", "5u"},
      {K::Ceil, "-5", "-5"},
      {K::Round, "18446744073709551615", "18446744073709551615u"},
      {K::Floor, "\"3\"", ""},
      {K::Floor, "1e300", "9223372036854775807"},
      {K::Ceil, "-1e300", "-9223372036854775808"},
      {K::Round, "9223372036854775807.0", "9223372036854775807"},  // 2^63 as a float
      {K::Floor, "-9223372036854775808.0", "-9223372036854775808"},
      {K::Sqrt, "2", "1.4142135623730951f"},
      {K::Sqrt, "4", "2f"},
      {K::Sqrt, "null", ""},
      {K::Fabs, "-3", "3"},
      {K::Fabs, "-2.5", "2.5f"},
      {K::Fabs, "-0.0", "0f"},
      {K::Fabs, "7", "7u"},
      {K::Fabs, "-9223372036854775808", "9223372036854775808u"},
      {K::Fabs, "[]", ""},
      {K::Nan, "\"x\"", "nanf"},
      {K::Infinite, "null", "inff"},
      {K::Isinfinite, "1", "false"},
      {K::Isinfinite, "\"inf\"", "false"},
      {K::Isnan, "1", "false"},
      {K::Isnormal, "1e-310", "false"},
      {K::Isnormal, "0.0", "false"},
      {K::Isnormal, "0", "false"},
      {K::Isnormal, "1", "true"},
      {K::Isnormal, "null", "false"},
  };
  check(cases);
}

// Inputs JSON text cannot spell: NaN and the infinities.
TEST(Builtins, NonFiniteInputs) {
  struct ValueCase {
    K kind;
    double input;
    const char* expected;
  };
  const ValueCase cases[] = {
      {K::Floor, kNaN, "0"},           {K::Ceil, kInf, "9223372036854775807"},
      {K::Round, -kInf, "-9223372036854775808"},
      {K::Length, -kInf, "inff"},      {K::Fabs, -kNaN, "nanf"},
      {K::Isnan, kNaN, "true"},        {K::Isinfinite, -kInf, "true"},
      {K::Isnormal, kInf, "false"},    {K::Isnormal, kNaN, "false"},
      {K::Tostring, kNaN, "\"NaN\""},  {K::Tostring, -kInf, "\"-inf\""},
      {K::Tojson, kInf, "\"1.7976931348623157e+308\""},
  };
  for (const ValueCase& c : cases) {
    Value input = Value::f64(c.input);
    auto apply = [&](EvalValue v, ResultList& out) { apply_builtin(c.kind, std::move(v), out); };
    EXPECT_EQ(run_both_ways(apply, input), c.expected)
        << tamsel::query::builtin_name(c.kind) << " of " << c.input;
  }
  ResultList out;
  apply_builtin(K::Nan, EvalValue::owned(Value::null()), out);
  EXPECT_EQ(std::bit_cast<uint64_t>(out.at(0).get().as_f64()), 0x7FF8000000000000u);
  // The sign of the NaN a negative square root gives is the hardware's.
  apply_builtin(K::Sqrt, EvalValue::owned(Value::i64(-1)), out);
  EXPECT_TRUE(std::isnan(out.at(1).get().as_f64()));
}

// Where the result is the input itself, a reference into the document must
// come back as that same reference, not as a copy.
TEST(Builtins, InputPassedOnKeepsItsReference) {
  const Case cases[] = {
      {K::Values, "[1,{\"a\":2}]", ""}, {K::Tonumber, "-5", ""},  {K::Tonumber, "2.5", ""},
      {K::Floor, "5", ""},              {K::Ceil, "-5", ""},      {K::Round, "5", ""},
      {K::Fabs, "18446744073709551615", ""},
  };
  for (const Case& c : cases) {
    Value input = parse_json(c.input);
    ResultList out;
    apply_builtin(c.kind, EvalValue::borrowed(input), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].is_borrowed()) << tamsel::query::builtin_name(c.kind) << " of " << c.input;
    EXPECT_EQ(&out[0].get(), &input);
  }
}

}  // namespace
