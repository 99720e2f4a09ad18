"""Builtins with and without an argument, over the kinds they accept and a few they do not."""
import json
import random

import pytest

from tamsel_vonk import compile
from value_match import assert_same

NAN = float("nan")
INF = float("inf")
U64_MAX = 18446744073709551615
I64_MAX = 9223372036854775807
I64_MIN = -9223372036854775808
NOTHING = "nothing"


def run(query, text):
    return list(compile(query).input(text))


def check(query, doc, expected):
    results = run(query, doc)
    assert_same(results, [] if expected is NOTHING else [expected])


# query, document (JSON text), single result or NOTHING
GENERAL = [
    ("length", "null", 0),
    ("length", "true", NOTHING),
    ("length", "-5", 5),
    ("length", "5", 5),
    ("length", "-2.5", 2.5),
    ("length", "-0.0", 0.0),
    ("length", str(U64_MAX), U64_MAX),
    ("length", str(I64_MIN), 9223372036854775808),
    ("length", '"h\\u00e9llo"', 5),
    ("length", '"\\ud83d\\ude00"', 1),
    ("length", '""', 0),
    ("length", "[1,[2,3]]", 2),
    ("length", '{"a":1}', 1),
    ("length", "{}", 0),
    ("nan | length", "null", NAN),
    ("type", "null", "null"),
    ("type", "false", "boolean"),
    ("type", "1", "number"),
    ("type", "-1", "number"),
    ("type", "1.0", "number"),
    ("type", '"1"', "string"),
    ("type", "[]", "array"),
    ("type", "{}", "object"),
    ("not", "null", True),
    ("not", "false", True),
    ("not", "true", False),
    ("not", "0", False),
    ("not", '""', False),
    ("not", "[]", False),
    ("not", "{}", False),
    ("empty", "1", NOTHING),
    ("empty", "null", NOTHING),
    ("empty | 1", "[1,2]", NOTHING),
    # tostring
    ("tostring", '"a"', "a"),
    ("tostring", '"a\\"b"', 'a"b'),
    ("tostring", '[1,"a"]', '[1,"a"]'),
    ("tostring", '{"a":[1,2.5,null,true],"b":"x"}', '{"a":[1,2.5,null,true],"b":"x"}'),
    ("tostring", "1.0", "1"),
    ("tostring", "null", "null"),
    ("tostring", "true", "true"),
    ("tostring", str(U64_MAX), str(U64_MAX)),
    ("tostring", str(I64_MIN), str(I64_MIN)),
    ("nan | tostring", "null", "NaN"),
    ("infinite | tostring", "null", "inf"),
    (".a / .b | tostring", '{"a":-1,"b":0}', "-inf"),
    ("tostring", "[0.5]", "[0.5]"),
    # tojson
    ("tojson", '"a"', '"a"'),
    ("tojson", "null", "null"),
    ("tojson", "false", "false"),
    ("tojson", "[]", "[]"),
    ("tojson", "{}", "{}"),
    ("tojson", '{"a":[1,2.5,null,true],"b":"x"}', '{"a":[1,2.5,null,true],"b":"x"}'),
    ("tojson", '"\\t\\"\\\\\\u0001"', '"\\t\\"\\\\\\u0001"'),
    ("tojson", '"\\b\\f\\n\\r\\u001f\\u007f/"', '"\\u0008\\u000c\\n\\r\\u001f\x7f/"'),
    ("tojson", '"\\u00e9\\u20ac"', '"é€"'),
    ("tojson", '{"k\\"ey":"v"}', '{"k\\"ey":"v"}'),
    ("tojson", '{"b":1,"a":2}', '{"b":1,"a":2}'),
    ("nan | tojson", "null", "null"),
    ("infinite | tojson", "null", "1.7976931348623157e+308"),
    (".a / .b | tojson", '{"a":-1,"b":0}', "-1.7976931348623157e+308"),
    ("{a: nan} | tojson", "null", '{"a":null}'),
    (".[] | .a / .b | tostring", '[{"a":0,"b":0}]', "NaN"),
    # tonumber
    ("tonumber", "42", 42),
    ("tonumber", "-1.5", -1.5),
    ("tonumber", str(U64_MAX), U64_MAX),
    ("tonumber", '" 42 "', 42),
    ("tonumber", '"4.5e1"', 45.0),
    ("tonumber", '"42"', 42),
    ("tonumber", '"+5"', 5),
    ("tonumber", '"-0"', 0),
    ("tonumber", '"007"', 7),
    ("tonumber", '"9223372036854775807"', I64_MAX),
    ("tonumber", '"-9223372036854775808"', I64_MIN),
    ("tonumber", '"9223372036854775808"', 9.223372036854775808e18),
    ("tonumber", '"18446744073709551615"', 1.8446744073709552e19),
    ("tonumber", '"5."', 5.0),
    ("tonumber", '".5"', 0.5),
    ("tonumber", '"-.5e-1"', -0.05),
    ("tonumber", '"1.5E+2"', 150.0),
    ("tonumber", '"1e400"', INF),
    ("tonumber", '"-0.0"', -0.0),
    ("tonumber", '"00.5"', 0.5),
    ("tonumber", '"1e-400"', 0.0),
    ("tonumber", '"nan"', NAN),
    ("tonumber", '"-nan"', NAN),
    ("tonumber", '"NaN"', NAN),
    ("tonumber", '"INF"', INF),
    ("tonumber", '"-Infinity"', -INF),
    ("tonumber", '"+inf"', INF),
    ("tonumber", '"\\t\\n\\u000b\\f\\r 7\\u0085\\u00a0\\u1680\\u2000\\u200a\\u2028\\u2029\\u202f\\u205f\\u3000"', 7),
    ("tonumber", '"0x10"', NOTHING),
    ("tonumber", '"-"', NOTHING),
    ("tonumber", '"."', NOTHING),
    ("tonumber", '"1e"', NOTHING),
    ("tonumber", '"e5"', NOTHING),
    ("tonumber", '"1_000"', NOTHING),
    ("tonumber", '"1 2"', NOTHING),
    ("tonumber", '""', NOTHING),
    ("tonumber", '"  "', NOTHING),
    ("tonumber", '"\\u200b5"', NOTHING),
    ("tonumber", '"infinit"', NOTHING),
    ("tonumber", '"--1"', NOTHING),
    ("tonumber", '"+-1"', NOTHING),
    ("tonumber", '"1.5e"', NOTHING),
    ("tonumber", '"\\u0663"', NOTHING),
    ("tonumber", "null", NOTHING),
    ("tonumber", "true", NOTHING),
    ("tonumber", "[1]", NOTHING),
    # fromjson
    ("fromjson", '"[1,2]"', [1, 2]),
    ("fromjson", '"1"', 1),
    ("fromjson", '"-1"', -1),
    ("fromjson", '"1.0"', 1.0),
    ("fromjson", '" {\\"a\\": \\"\\\\u00e9\\"} "', {"a": "é"}),
    ("fromjson", '"\\"x\\""', "x"),
    ("fromjson", '"null"', None),
    ("fromjson", '"[1,"', NOTHING),
    ("fromjson", '"1 2"', NOTHING),
    ("fromjson", '""', NOTHING),
    ("fromjson", '"18446744073709551616"', NOTHING),
    ("fromjson", "5", NOTHING),
    ("fromjson", "[\"1\"]", NOTHING),
    ("tojson | fromjson", '{"a":[1,-2,2.5,null,"\\u0001"]}', {"a": [1, -2, 2.5, None, "\x01"]}),
]


@pytest.mark.parametrize("query, doc, expected", GENERAL)
def test_general_builtins(query, doc, expected):
    check(query, doc, expected)


# Finite floats in both renderings: shortest digits, never an exponent.
FLOAT_TEXT = [
    (1.5, "1.5"),
    (2.0, "2"),
    (100.0, "100"),
    (0.1, "0.1"),
    (-0.0, "-0"),
    (0.0, "0"),
    (1e-7, "0.0000001"),
    (1e-5, "0.00001"),
    (1e16, "10000000000000000"),
    (1e21, "1" + "0" * 21),
    (123456.789, "123456.789"),
    (-2.5e-3, "-0.0025"),
    (5e-324, "0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (2.0 ** 70, "1180591620717411300000"),
]


@pytest.mark.parametrize("value, text", FLOAT_TEXT)
def test_float_rendering(value, text):
    doc = json.dumps([value])
    assert run(".[0] | tojson", doc) == [text]
    assert run(".[0] | tostring", doc) == [text]
    assert run("tojson", doc) == [f"[{text}]"]


def test_tojson_of_1e300_is_plain_digits():
    text = compile("tojson").first("1e300")
    assert len(text) == 301
    assert text == "1" + "0" * 300


def test_sum_of_floats_renders_shortest():
    assert run(".a + .b | tojson", '{"a":0.1,"b":0.2}') == ["0.30000000000000004"]


STRINGS = [
    ("ascii_downcase", '"\\u00c0BcXYZ@["', "Àbcxyz@["),
    ("ascii_upcase", '"stra\\u00dfe`{az"', "STRAßE`{AZ"),
    ("ascii_downcase", '""', ""),
    ("ascii_downcase", "1", NOTHING),
    ("ascii_upcase", "[\"a\"]", NOTHING),
    ("ascii_downcase", "null", NOTHING),
    ("explode", '"a\\u00e9\\u20ac\\ud83d\\ude00"', [97, 233, 8364, 128512]),
    ("explode", '""', []),
    ("explode", '"\\u0000"', [0]),
    ("explode", "1", NOTHING),
    ("explode", "[97]", NOTHING),
    ("implode", "[104, 105]", "hi"),
    ("implode", "[97, 55296, 98, 57343, 99]", "abc"),
    ("implode", "[65.0, 66]", "B"),
    ("implode", "[1114112]", ""),
    ("implode", "[1114111, 57344, 0]", "\U0010ffff\ue000\x00"),
    ('implode', '["a", null, 67, true, [68], {"x": 69}]', "C"),
    ("implode", "[4294967361]", "A"),
    ("implode", "[-4294967231]", "A"),
    ("implode", "[-1]", ""),
    ("implode", f"[{U64_MAX}, 128512]", "😀"),
    ("implode", "[]", ""),
    ("implode", '"abc"', NOTHING),
    ("implode", "{}", NOTHING),
    ("reverse", '"abc"', "cba"),
    ("reverse", '"a\\u00e9b"', "béa"),
    ("reverse", '"e\\u0301x"', "x\u0301e"),
    ("reverse", '"\\ud83d\\ude00!"', "!😀"),
    ("reverse", '""', ""),
]


@pytest.mark.parametrize("query, doc, expected", STRINGS)
def test_string_builtins(query, doc, expected):
    check(query, doc, expected)


COLLECTIONS = [
    # keys, keys_unsorted, values
    ("keys", '{"b":1,"a":2,"B":3,"ab":4,"\\u00e9":5}', ["B", "a", "ab", "b", "é"]),
    # Keys alike in their first eight bytes, a NUL byte, repeated keys.
    ("keys", '{"abcdefgh2":1,"abcdefgh1":2,"abcdefgh":3,"a\\u0000":4,"a":5,"\\u00e9":6,'
             '"abcdefgh1":7,"z":8}',
     ["a", "a\x00", "abcdefgh", "abcdefgh1", "abcdefgh1", "abcdefgh2", "z", "é"]),
    ("keys_unsorted", '{"b":1,"a":2,"B":3}', ["b", "a", "B"]),
    ("keys", "[5,6,7]", [0, 1, 2]),
    ("keys", "[]", []),
    ("keys", "{}", []),
    ("keys_unsorted", "[5,6,7]", NOTHING),
    ("keys", '"abc"', NOTHING),
    ("keys", "null", NOTHING),
    ("values", '{"a":1,"b":[2]}', [1, [2]]),
    ("values", "[1,2]", [1, 2]),
    ("values", '"x"', NOTHING),
    ("values", "null", NOTHING),
    # reverse of arrays
    ("reverse", "[1,[2,3],{}]", [{}, [2, 3], 1]),
    ("reverse", "[]", []),
    ("reverse", "null", NOTHING),
    ("reverse", "{}", NOTHING),
    ("reverse", "5", NOTHING),
    # sort and unique
    ("sort", '"cba"', NOTHING),
    ("sort", "{}", NOTHING),
    ("unique", "[2,1,2,1.0]", [1, 2]),
    ("unique", "[1.0,2,1]", [1.0, 2]),
    ("unique", "[[1],[1]]", [[1], [1]]),
    ("unique", '[{"a":1},{"a":1}]', [{"a": 1}, {"a": 1}]),
    ("unique", '["b","a","b",null,null,true,false,true]', [None, False, True, "a", "b"]),
    ("unique", "[9007199254740993, 9007199254740992, 9007199254740993]",
     [9007199254740993, 9007199254740992, 9007199254740993]),
    ("unique", "[]", []),
    ("unique", '"aa"', NOTHING),
    # min, max, first, last
    ("min", "[]", NOTHING),
    ("max", "[]", NOTHING),
    ("min", "{}", NOTHING),
    ("max", '"ab"', NOTHING),
    ("first", "[7,8]", 7),
    ("last", "[7,8]", 8),
    ("first", "[]", NOTHING),
    ("last", "[]", NOTHING),
    ("first", '"ab"', NOTHING),
    ("last", '{"a":1}', NOTHING),
    # flatten without a depth
    ("flatten", '[1,[2,[3,[4]]],{"a":[5]}]', [1, 2, 3, 4, {"a": [5]}]),
    ("flatten", "[]", []),
    ("flatten", "[[],[[]]]", []),
    ("flatten", '{"a":[1]}', NOTHING),
    ("flatten", '"a"', NOTHING),
    # add
    ("add", "[1,2,3]", 6),
    ("add", "[1,2.5]", 3.5),
    ("add", '["a","b"]', "ab"),
    ("add", "[[1],[2]]", [1, 2]),
    ("add", '[{"a":1,"b":1},{"b":2}]', {"a": 1, "b": 2}),
    ("add", "[]", None),
    ("add", "[null]", None),
    ("add", '[1,"x",2]', 3),
    ("add", '["a",1,"b"]', "ab"),
    ("add", "[null,1]", 1),
    ("add", "[1,null]", 1),
    ("add", "[true,1]", True),
    ("add", "[1,true,{}]", 1),
    ("add", f"[{I64_MAX}, 1]", I64_MIN),
    # The total grows in place; these follow + step by step.
    ("add", '[null,{"a":1,"a":2},null,{"b":3},5,{"a":4}]', {"a": 4, "b": 3}),
    ("add | keys_unsorted", '[{"a":1,"a":2},{}]', ["a"]),
    ("add | tojson", '[{"a":1},{"b":[2]}]', '{"a":1,"b":[2]}'),
    ("add", '[null,null]', None),
    ("add", '[[1],null,"x",[2,[3]]]', [1, 2, [3]]),
    ("add", '["a",null,1,"b",[],"c"]', "abc"),
    ("add", '[false,null,true]', False),
    ("add", '{"a":1}', NOTHING),
    ("add", '"ab"', NOTHING),
    # to_entries and from_entries
    ("to_entries", '{"a":1,"b":[2]}', [{"key": "a", "value": 1}, {"key": "b", "value": [2]}]),
    ("to_entries", "{}", []),
    ("to_entries", "[1]", NOTHING),
    ("to_entries | from_entries", '{"a":1,"b":{"c":null}}', {"a": 1, "b": {"c": None}}),
    ("from_entries",
     '[{"name":"x","value":1},{"key":2},{"key":null,"value":3},5,{"k":"y","v":4}]',
     {"x": 1, "2": None}),
    ("from_entries",
     '[{"key":"a","value":1},{"key":"b","value":2},{"key":"a","value":3}]',
     {"a": 3, "b": 2}),
    ("from_entries", '[{"key":"k","name":"n","value":1}]', {"k": 1}),
    ("from_entries", '[{"key":null,"name":"n","value":1}]', {}),
    ("from_entries", '[{"key":1.0,"value":1},{"key":true},{"key":[1]},{"key":{}}]', {}),
    ("from_entries", f'[{{"key":-3}},{{"key":{U64_MAX},"value":[]}}]', {"-3": None, str(U64_MAX): []}),
    ("from_entries", '[{"key":"","value":0}]', {"": 0}),
    ("from_entries", "[]", {}),
    ("from_entries", '{"key":"a"}', NOTHING),
    ("from_entries", '"a"', NOTHING),
    # recurse
    ("recurse", "5", 5),
]


@pytest.mark.parametrize("query, doc, expected", COLLECTIONS)
def test_collection_builtins(query, doc, expected):
    check(query, doc, expected)


@pytest.mark.parametrize("doc", [
    '{"a":[1,2]}',
    '[[[]], {"x": {"y": [null]}}, "s"]',
    '{}',
    '"s"',
])
def test_recurse_is_recursive_descent(doc):
    assert_same(run("recurse", doc), run("..", doc))
    assert_same(run("{w: .} | recurse", doc), run("{w: .} | ..", doc))


def test_recurse_order():
    assert_same(run("recurse", '{"a":[1,2]}'), [{"a": [1, 2]}, [1, 2], 1, 2])


@pytest.mark.parametrize("count", [5, 127, 128, 129, 3000])
def test_unique_of_many_numbers_keeps_the_first_of_each_value(count):
    rng = random.Random(count)
    numbers = [rng.choice([rng.randrange(-20, 20), rng.randrange(-40, 40) / 2, -0.0])
               for _ in range(count)]
    kept = []
    for x in sorted(numbers):  # stable: ties in their first order
        if not kept or kept[-1] != x:
            kept.append(x)
    doc = json.dumps(numbers)
    for query in ("unique", "sort | unique", "unique | unique"):
        assert_same(run(query, doc), [kept])
    assert run("unique | length", doc) == [len(kept)]
    # Any element that is not a number takes the general way, with the same result.
    assert_same(run("unique", json.dumps(numbers + ["x", "x"])), [kept + ["x"]])


def members(count):
    return {f"k{i:02}": i for i in reversed(range(count))}


@pytest.mark.parametrize("count", [32, 33, 40])
def test_keys_of_large_objects(count):
    obj = members(count)
    doc = json.dumps(obj)
    assert run("keys", doc) == [sorted(obj)]
    assert sorted(run("keys_unsorted", doc)[0]) == sorted(obj)
    assert sorted(run("values", doc)[0]) == list(range(count))
    assert run("to_entries | from_entries", doc) == [obj]


def test_from_entries_of_many_elements():
    # Forty elements of which three are usable: every usable entry arrives.
    elements = [{"key": "a", "value": 1}, {"key": "b", "value": 2}] + [5] * 37 + [{"name": "c"}]
    result = run("from_entries", json.dumps(elements))
    assert result == [{"a": 1, "b": 2, "c": None}]
    # Thirty-two elements keep their insertion order.
    elements = [{"key": f"k{i}", "value": i} for i in reversed(range(32))]
    assert_same(run("from_entries", json.dumps(elements)), [{f"k{i}": i for i in reversed(range(32))}])
    # Forty distinct keys all arrive, later duplicates replacing values.
    elements = [{"key": f"k{i % 35}", "value": i} for i in range(40)]
    expected = {f"k{i % 35}": i for i in range(40)}
    assert run("from_entries", json.dumps(elements)) == [expected]


WITH_ARGUMENT = [
    # has
    ("has(-1)", "[5]", True),
    ("has(0)", "[5]", True),
    ("has(1)", "[5]", False),
    ("has(-2)", "[5]", False),
    ("has(0)", "[]", False),
    ("has(1.0)", "[5,6]", False),
    ("has(\"a\")", '{"a":null}', True),
    ("has(\"b\")", '{"a":null}', False),
    ("has(0)", '{"0":1}', False),
    ("has(\"a\")", '["a"]', False),
    ("has(0)", '"abc"', False),
    ("has(null)", "null", False),
    ("has(-9223372036854775808)", "[1]", False),
    ("has(9223372036854775807)", "[1]", False),
    # startswith, endswith
    ("startswith(\"\")", '"abc"', True),
    ("startswith(\"ab\")", '"abc"', True),
    ("startswith(\"b\")", '"abc"', False),
    ("startswith(\"abcd\")", '"abc"', False),
    ("startswith(\"1\")", "1", NOTHING),
    ("startswith(1)", '"1"', NOTHING),
    ("endswith(\"\u00e9\")", '"caf\\u00e9"', True),
    ("endswith(\"\")", '""', True),
    ("endswith(\"a\")", '"caf\\u00e9"', False),
    ("endswith(\"a\")", '["a"]', NOTHING),
    # contains, inside
    ("contains(\"b\")", '"abc"', True),
    ("contains(\"\")", '"abc"', True),
    ("contains(\"ac\")", '"abc"', False),
    ("contains(\"\u00e9\")", '"caf\\u00e9"', True),
    ("contains(1)", "[1,2]", False),
    ("contains(1.0)", "1", True),
    ("contains(2)", "1", False),
    ("contains(null)", "null", True),
    ("contains(false)", "null", False),
    ("contains(\"a\")", '{"a":1}', False),
    ("contains(\"a\")", '["a"]', False),
    ("contains(1)", '"1"', False),
    ("inside(\"abc\")", '"b"', True),
    ("inside(\"b\")", '"abc"', False),
    ("inside(1)", "1.0", True),
    ("inside(\"abc\")", '["b"]', False),
    ("inside(null)", "{}", False),
    # split
    ("split(\",\")", '"a,b,"', ["a", "b", ""]),
    ("split(\",\")", '"a,,b"', ["a", "", "b"]),
    ("split(\",\")", '""', [""]),
    ("split(\",\")", '"abc"', ["abc"]),
    ("split(\"\")", '"abc"', ["", "a", "b", "c", ""]),
    ("split(\"\")", '"\\u00e9\\u20ac"', ["", "é", "€", ""]),
    ("split(\"ab\")", '"abab"', ["", "", ""]),
    ("split(\"aa\")", '"aaa"', ["", "a"]),
    ("split(\"\u00e9\")", '"a\\u00e9b"', ["a", "b"]),
    ("split(1)", '"1"', NOTHING),
    ("split(\",\")", '["a,b"]', NOTHING),
    # join
    ("join(\"-\")", '["a",1,null,true,[2]]', "a-1-true-[2]"),
    ("join(\", \")", '["a","b"]', "a, b"),
    ("join(\"-\")", "[]", ""),
    ("join(\"-\")", "[null]", ""),
    ("join(\"-\")", '[null,"a",null]', "a"),
    ("join(\"-\")", '["a",null,"b"]', "a-b"),
    ("join(\"\")", '[1.5,2.0,-0.0,false]', "1.52-0false"),
    ("join(\",\")", f'[{U64_MAX},{I64_MIN},1e21]', f"{U64_MAX},{I64_MIN},1{'0' * 21}"),
    ("join(\",\")", '[{"a":"x"},[1,"y"]]', '{"a":"x"},[1,"y"]'),
    ("{a: nan, b: infinite, c: .} | values | join(\",\")", "[]", "NaN,inf,[]"),
    ("{a: .x / .y} | values | join(\",\")", '{"x":-1,"y":0}', "-inf"),
    ("join(1)", '["a"]', NOTHING),
    ("join(\"-\")", '"ab"', NOTHING),
    ("join(\"-\")", '{"a":"b"}', NOTHING),
    # ltrimstr, rtrimstr
    ("ltrimstr(\"a\")", '"abc"', "bc"),
    ("ltrimstr(\"x\")", '"abc"', "abc"),
    ("ltrimstr(\"abc\")", '"abc"', ""),
    ("ltrimstr(\"abcd\")", '"abc"', "abc"),
    ("ltrimstr(\"a\")", "5", 5),
    ("ltrimstr(\"a\")", '["a"]', ["a"]),
    ("ltrimstr(1)", '"1abc"', "1abc"),
    ("rtrimstr(\"c\")", '"abc"', "ab"),
    ("rtrimstr(\"\u00e9\")", '"caf\\u00e9"', "caf"),
    ("rtrimstr(\"b\")", '"abc"', "abc"),
    ("rtrimstr(\"c\")", "null", None),
    ("rtrimstr(\"c\")", "1.5", 1.5),
    # flatten with a depth
    ("flatten(1)", "[1,[2,[3]]]", [1, 2, [3]]),
    ("flatten(0)", "[1,[2,[3]]]", [1, [2, [3]]]),
    ("flatten(-1)", "[1,[2,[3]]]", [1, 2, 3]),
    ("flatten(2)", "[[[[1]]],[]]", [[1]]),
    ("flatten(5)", '[[{"a":[1]}]]', [{"a": [1]}]),
    ("flatten(-9223372036854775808)", "[[1,[2]]]", [1, 2]),
    ("flatten(1.5)", "[[1]]", NOTHING),
    ("flatten(\"1\")", "[[1]]", NOTHING),
    ("flatten(1)", '{"a":[1]}', NOTHING),
    # index, rindex, indices
    ("index(\"b\")", '"a\\u00e9b"', 2),
    ("index(\"\")", '"abc"', 0),
    ("index(\"z\")", '"abc"', None),
    ("index(\"bc\")", '"abcbc"', 1),
    ("index(2)", "[1,2.0,2]", 1),
    ("index(\"a\")", '[["a"],"a"]', 1),
    ("index(1)", "[]", None),
    ("index(\"a\")", "{}", None),
    ("index(\"a\")", "null", None),
    ("index(1)", '"1"', None),
    ("rindex(\"\")", '"a\\u00e9b"', 3),
    ("rindex(\"a\")", '"aba"', 2),
    ("rindex(\"\u00e9\")", '"\\u00e9a\\u00e9"', 2),
    ("rindex(\"z\")", '"aba"', None),
    ("rindex(2)", "[1,2.0,2]", 2),
    ("rindex(null)", "[null,1,null]", 2),
    ("rindex(1)", "5", None),
    ("indices(\"aa\")", '"aaaa"', [0, 1, 2]),
    ("indices(\"\u00e9\")", '"\\u00e9\\u00e9"', [0, 1]),
    ("indices(\"\u00e9\u00e9\")", '"\\u00e9\\u00e9\\u00e9"', [0, 1]),
    ("indices(\"ab\")", '"xabab"', [1, 3]),
    ("indices(\"\")", '"abc"', []),
    ("indices(\"z\")", '"abc"', []),
    ("indices(1)", '[1,2,1.0,"1",[1]]', [0, 2]),
    ("indices(1)", "5", []),
    ("indices(\"a\")", '{"a":1}', []),
    # limit
    ("limit(2)", "[1,2,3]", [1, 2]),
    ("limit(5)", "[1,2,3]", [1, 2, 3]),
    ("limit(0)", "[1,2,3]", []),
    ("limit(-1)", "[1,2,3]", [1, 2, 3]),
    ("limit(-9223372036854775808)", "[1,2]", [1, 2]),
    ("limit(1.0)", "[1,2,3]", NOTHING),
    ("limit(2)", '"abc"', NOTHING),
    ("limit(2)", '{"a":1}', NOTHING),
]


@pytest.mark.parametrize("query, doc, expected", WITH_ARGUMENT)
def test_builtins_with_argument(query, doc, expected):
    check(query, doc, expected)


NUMERIC = [
    ("floor", "3.7", 3),
    ("floor", "-3.2", -4),
    ("ceil", "3.2", 4),
    ("ceil", "-3.7", -3),
    ("ceil", "-0.5", 0),
    ("round", "3.5", 4),
    ("round", "-3.5", -4),
    ("round", "2.5", 3),
    ("round", "-2.5", -3),
    ("round", "0.49999999999999994", 0),
    ("round", "-0.4", 0),
    ("floor", "5", 5),
    ("floor", "-5", -5),
    ("ceil", str(U64_MAX), U64_MAX),
    ("round", str(I64_MIN), I64_MIN),
    ("floor", "1e300", I64_MAX),
    ("ceil", "-1e300", I64_MIN),
    ("round", "9.3e18", I64_MAX),
    ("floor", "9223372036854774784.0", 9223372036854774784),
    ("nan | floor", "null", 0),
    ("infinite | round", "null", I64_MAX),
    (".a / .b | ceil", '{"a":-1,"b":0}', I64_MIN),
    ("floor", '"3"', NOTHING),
    ("ceil", "null", NOTHING),
    ("round", "[1.5]", NOTHING),
    ("sqrt", "2", 1.4142135623730951),
    ("sqrt", "4", 2.0),
    ("sqrt", "6.25", 2.5),
    ("sqrt", "-1", NAN),
    ("sqrt", "-0.0", -0.0),
    ("sqrt", "null", NOTHING),
    ("sqrt", '"4"', NOTHING),
    ("fabs", "-3", 3),
    ("fabs", "-2.5", 2.5),
    ("fabs", "-0.0", 0.0),
    ("fabs", str(U64_MAX), U64_MAX),
    ("fabs", str(I64_MIN), 9223372036854775808),
    ("nan | fabs", "null", NAN),
    ("fabs", '"-1"', NOTHING),
    ("fabs", "true", NOTHING),
    ("nan", '"x"', NAN),
    ("infinite", "[]", INF),
    ("nan | isnan", "null", True),
    ("isnan", "1", False),
    ("isnan", "1.5", False),
    ("isnan", '"nan"', False),
    ("infinite | isnan", "null", False),
    ("infinite | isinfinite", "null", True),
    (".a / .b | isinfinite", '{"a":-1,"b":0}', True),
    (". * 10 | isinfinite", "1e308", True),
    ("isinfinite", str(U64_MAX), False),
    ("isinfinite", "1.7976931348623157e308", False),
    ("nan | isinfinite", "null", False),
    ("isinfinite", '"inf"', False),
    ("isnormal", "1e-310", False),
    ("isnormal", "2.2250738585072014e-308", True),
    ("isnormal", "0.0", False),
    ("isnormal", "0", False),
    ("isnormal", "1.0", True),
    ("isnormal", "1", True),
    ("isnormal", "-1", True),
    ("isnormal", str(U64_MAX), True),
    ("nan | isnormal", "null", False),
    ("infinite | isnormal", "null", False),
    ("isnormal", "null", False),
    ("isnormal", '"1"', False),
]


@pytest.mark.parametrize("query, doc, expected", NUMERIC)
def test_numeric_builtins(query, doc, expected):
    check(query, doc, expected)


def test_nan_and_infinite_once_per_input():
    results = run(".[] | nan", "[1, 2, 3]")
    assert len(results) == 3 and all(r != r for r in results)
    assert run(".[] | infinite", '["a", null]') == [INF, INF]

