"""Comparisons, ordering, arithmetic, object construction, comma and select."""
import json
import math

import pytest

from tamsel_vonk import PanicException, compile
from value_match import assert_same

NAN = float("nan")
INF = float("inf")
U64_MAX = 18446744073709551615
I64_MAX = 9223372036854775807
I64_MIN = -9223372036854775808


def run(query, text):
    return list(compile(query).input(text))


OPS = ("==", "!=", ">", "<", ">=", "<=")

# Left and right operand (JSON text, or a query yielding the operand) and the
# operators that hold between them; every other operator must not hold.
PAIRS = [
    # signed with signed
    ("-1", "-2", "!= > >="),
    ("-5", "-5", "== >= <="),
    # signed with unsigned: small values compare exactly, large unsigned ones are always above
    ("-1", "0", "!= < <="),
    ("-1", str(U64_MAX), "!= < <="),
    (str(I64_MIN), "9223372036854775808", "!= < <="),
    (str(U64_MAX), "-1", "!= > >="),
    ("9223372036854775808", str(I64_MIN), "!= > >="),
    # unsigned with unsigned: exact, even where the floats coincide
    ("9007199254740993", "9007199254740992", "!= > >="),
    (str(U64_MAX), "18446744073709551614", "!= > >="),
    ("0", "0", "== >= <="),
    # integers against floats go through the float conversion
    ("1", "1.0", "== >= <="),
    ("-1", "-1.0", "== >= <="),
    ("-0.0", "0", "== >= <="),
    ("9007199254740993", "9007199254740992.0", "== >= <="),
    (str(U64_MAX), "1.8446744073709552e19", "== >= <="),
    ("2.5", "2", "!= > >="),
    ("1.5", "2.5", "!= < <="),
    ("-0.0", "0.0", "== >= <="),
    # booleans and null
    ("false", "true", "!= < <="),
    ("true", "false", "!= > >="),
    ("true", "true", "== >= <="),
    ("null", "null", "== >= <="),
    # strings by bytes: prefix first, upper case before lower case, é after z
    ("\"a\"", "\"ab\"", "!= < <="),
    ("\"B\"", "\"a\"", "!= < <="),
    ("\"\\u00e9\"", "\"z\"", "!= > >="),
    ("\"x\"", "\"x\"", "== >= <="),
    ("\"\"", "\"\"", "== >= <="),
    # every other pairing is a mismatch: only != holds
    ("1", "\"1\"", "!="),
    ("null", "false", "!="),
    ("0", "false", "!="),
    ("1", "true", "!="),
    ("null", "0", "!="),
    ("\"a\"", "[\"a\"]", "!="),
    ("[1]", "[1]", "!="),
    ("[]", "[]", "!="),
    ("{}", "{}", "!="),
    ("{\"a\":1}", "{\"a\":1}", "!="),
]


@pytest.mark.parametrize("left, right, holding", PAIRS)
def test_compare_documents(left, right, holding):
    doc = f'{{"a": {left}, "b": {right}}}'
    for op in OPS:
        hits = run(f"select(.a {op} .b)", doc)
        assert len(hits) == (op in holding.split()), (op, left, right)


# The constant on the right is a literal: a signed integer, a float, a string,
# a boolean or null.
LITERAL_PAIRS = [
    ("1", "1", "== >= <="),
    ("1.0", "1", "== >= <="),
    ("1", "1.0", "== >= <="),
    ("5", "-1", "!= > >="),
    (str(U64_MAX), "-1", "!= > >="),
    ("9223372036854775808", "9223372036854775807", "!= > >="),
    ("9223372036854775807", "9223372036854775807", "== >= <="),
    ("-3", "-3", "== >= <="),
    ("9007199254740993", "9007199254740992", "!= > >="),
    ("1", "\"1\"", "!="),
    ("null", "null", "== >= <="),
    ("null", "false", "!="),
    ("false", "false", "== >= <="),
    ("true", "false", "!= > >="),
    ("\"ab\"", "\"a\"", "!= > >="),
    ("[1]", "1", "!="),
    ("{}", "null", "!="),
]


@pytest.mark.parametrize("value, literal, holding", LITERAL_PAIRS)
def test_compare_with_literal(value, literal, holding):
    for op in OPS:
        hits = run(f"select(. {op} {literal})", value)
        assert len(hits) == (op in holding.split()), (op, value, literal)


def test_nan_compares_unordered():
    # NaN made from the document (0 / 0) and by the nan builtin.
    doc = '{"a": 0, "b": 0, "c": 1}'
    for left, right in [(".a / .b", ".a / .b"), (".a / .b", ".c"), ("nan", "nan"), (".c", "nan")]:
        for op in OPS:
            hits = run(f"select({left} {op} {right})", doc)
            assert len(hits) == (op == "!="), (left, op, right)
    assert run("select(nan == 1.0)", "1") == []
    assert run("select(nan != 1.0)", "1") == [1]


def test_select_equality_keeps_the_matching_elements():
    doc = '[1, 1.0, "1", true, [1], {"a":1}, null, -1, 1.5]'
    assert_same(run(".[] | select(. == 1)", doc), [1, 1.0])
    assert_same(run(".[] | select(. != 1)", doc), ["1", True, [1], {"a": 1}, None, -1, 1.5])
    assert_same(run(".[] | select(. > 0)", doc), [1, 1.0, 1.5])
    assert_same(run(".[] | select(. >= \"\")", doc), ["1"])


# The sorting order: null < false < true < numbers < strings < arrays < objects.
SORTS = [
    ('[null, true, false, 0, "a", [], {}]', [None, False, True, 0, "a", [], {}]),
    ('[3, "a", null, [1], {"k":1}, true, 1.5]', [None, True, 1.5, 3, "a", [1], {"k": 1}]),
    ("[2, 1.5, 1]", [1, 1.5, 2]),
    ("[1, 1.0]", [1, 1.0]),
    ("[1.0, 1]", [1.0, 1]),
    ("[-0.0, 0, -1]", [-1, -0.0, 0]),
    ('[{"b":1}, {"a":2}, {}]', [{"b": 1}, {"a": 2}, {}]),
    ('["b", "a", "B", "ab", "", "\\u00e9"]', ["", "B", "a", "ab", "b", "é"]),
    ("[[1,2], [1], [0,5], [], [1,null]]", [[], [0, 5], [1], [1, None], [1, 2]]),
    ('[[{"a":1}], [{"b":0}, 1], [{"c":2}, 0]]', [[{"a": 1}], [{"c": 2}, 0], [{"b": 0}, 1]]),
    (f"[{U64_MAX}, {I64_MIN}, 0.5, -0.5]", [I64_MIN, -0.5, 0.5, U64_MAX]),
    # Equal as floats, so they keep their input order.
    ("[9007199254740993, 9007199254740992]", [9007199254740993, 9007199254740992]),
    ("[]", []),
]


@pytest.mark.parametrize("doc, expected", SORTS)
def test_sort_order(doc, expected):
    assert_same(run("sort", doc), [expected])


def test_long_sort_is_stable():
    # Past the short-sequence threshold, with many ties among objects, among
    # 1-element arrays and between equal integers and floats.
    def item(i):
        return [{"i": i}, [i % 3], float(i % 5), i % 5][i % 4]

    def key(value):
        if isinstance(value, dict):
            return (6, 0)
        if isinstance(value, list):
            return (5, value[0])
        return (3, value)

    items = [item(i) for i in range(61)]
    ordered = sorted(items, key=key)
    assert_same(run("sort", json.dumps(items)), [ordered])
    # unique keeps the first of equal numbers and every array and object.
    containers = [x for x in ordered if isinstance(x, (list, dict))]
    assert_same(run("unique", json.dumps(items)), [[0.0, 1.0, 2.0, 3, 4.0] + containers])


def test_sort_and_unique_with_nan_keep_every_element():
    sorted_values = run("{a: 3, b: nan, c: 1, d: nan, e: 2} | values | sort", "null")[0]
    assert len(sorted_values) == 5
    assert sum(math.isnan(v) for v in sorted_values) == 2
    assert sorted(v for v in sorted_values if not math.isnan(v)) == [1, 2, 3]
    # NaN is never equal to anything, so unique keeps both.
    unique_values = run("{a: nan, b: nan} | values | unique", "null")[0]
    assert len(unique_values) == 2 and all(math.isnan(v) for v in unique_values)


EXTREMES = [
    ("[2, 1, 1.0]", 1, 2),
    ("[1.0, 1]", 1.0, 1),
    ("[1, 2, 2.0]", 1, 2.0),
    ('[null, false, true, 0, "a", [], {}]', None, {}),
    ('[{"a":2}, {"a":1}]', {"a": 2}, {"a": 1}),
    ('["b", "B", "ab"]', "B", "b"),
    ("[[1], [0, 9], [1, 0]]", [0, 9], [1, 0]),
]


@pytest.mark.parametrize("doc, least, greatest", EXTREMES)
def test_min_max(doc, least, greatest):
    assert_same(run("min", doc), [least])
    assert_same(run("max", doc), [greatest])


def test_min_max_with_nan_in_the_middle():
    # NaN is Equal to everything under the order, so min replaces only on Greater.
    assert_same(run("{a: 2, b: nan, c: 1} | values | min", "null"), [1])
    assert_same(run("{a: 1, b: 2, c: nan} | values | max", "null"), [NAN])


ARITHMETIC = [
    # kinds of results
    (".a + .b", {"a": 1, "b": 2}, 3),
    (".a + .b", {"a": 1, "b": 2.5}, 3.5),
    (".a - .b", {"a": 1.5, "b": 1.5}, 0.0),
    (".a * .b", {"a": 3, "b": -2}, -6),
    (".a * .b", {"a": 3, "b": 2.0}, 6.0),
    (".a / .b", {"a": 4, "b": 2}, 2.0),
    (".a / .b", {"a": 7, "b": 2}, 3.5),
    (".a / .b", {"a": 1, "b": 0}, INF),
    (".a / .b", {"a": -1, "b": 0}, -INF),
    (".a / .b", {"a": 0, "b": 0}, NAN),
    (".a / .b", {"a": 1, "b": -0.0}, -INF),
    (".a * .b", {"a": 1e308, "b": 10}, INF),
    # integer wrapping and the float detour of integer operations
    (". + 1", I64_MAX, I64_MIN),
    (". - 1", I64_MIN, I64_MAX),
    (". * 2", I64_MAX, -2),
    (". * -1", I64_MIN, I64_MIN),
    (". + 0", 9007199254740993, 9007199254740992),
    (". + 0", U64_MAX, I64_MAX),
    (". - 1", U64_MAX, I64_MAX - 1),
    (". + 0", 9223372036854775808, I64_MAX),
    (". % 10", U64_MAX, 7),
    (". + 0.0", U64_MAX, 1.8446744073709552e19),
    (". + 1", -5, -4),
    # remainders: the sign follows the dividend
    (".a % .b", {"a": 7, "b": 3}, 1),
    (".a % .b", {"a": 7, "b": -3}, 1),
    (".a % .b", {"a": -7, "b": 3}, -1),
    (".a % .b", {"a": -7, "b": -3}, -1),
    (".a % .b", {"a": 6, "b": 3}, 0),
    (".a % .b", {"a": 7.5, "b": 2}, 1.5),
    (".a % .b", {"a": -7.5, "b": 2}, -1.5),
    (".a % .b", {"a": 7, "b": 2.5}, 2.0),
    (".a % .b", {"a": 5, "b": 0.0}, NAN),
    (".a % .b", {"a": 5.0, "b": 0}, NAN),
    (". % -1", 9223372036854775808, 0),
    # null is an identity for + only
    (".a + .b", {"a": None, "b": {"a": 1}}, {"a": 1}),
    (".a + .b", {"a": [1], "b": None}, [1]),
    (".a + .b", {"a": "a", "b": None}, "a"),
    (".a + .b", {"a": None, "b": None}, None),
    (".a + .b", {"a": None, "b": 2.5}, 2.5),
    (".a + .b", {"a": True, "b": None}, True),
    (".a - .b", {"a": 5, "b": None}, "nothing"),
    (".a * .b", {"a": None, "b": 2}, "nothing"),
    (".a / .b", {"a": None, "b": 2}, "nothing"),
    (".a % .b", {"a": 2, "b": None}, "nothing"),
    # arrays, objects, strings
    (".a + .b", {"a": [1, 2], "b": [3, [4]]}, [1, 2, 3, [4]]),
    (".a + .b", {"a": [], "b": []}, []),
    (".a + .b", {"a": {"a": 1, "b": 2}, "b": {"b": 3, "c": 4}}, {"a": 1, "b": 3, "c": 4}),
    (".a + .b", {"a": {"a": {"x": 1}}, "b": {"a": {"y": 2}}}, {"a": {"y": 2}}),
    (".a + .b", {"a": {}, "b": {"z": 0}}, {"z": 0}),
    (".a - .b", {"a": [1, 2, 1.0, "1", [1]], "b": [1]}, [2, "1", [1]]),
    (".a - .b", {"a": [{}, [], None, None], "b": [{}, [], None]}, [{}, []]),
    (".a - .b", {"a": [1, 2], "b": []}, [1, 2]),
    (".a + .b", {"a": "ab", "b": "cé"}, "abcé"),
    (".a + .b", {"a": "", "b": ""}, ""),
    # pairs that do not apply
    (".a - .b", {"a": "ab", "b": "b"}, "nothing"),
    (".a * .b", {"a": "ab", "b": 2}, "nothing"),
    (".a + .b", {"a": "1", "b": 1}, "nothing"),
    (".a + .b", {"a": True, "b": True}, "nothing"),
    (".a + .b", {"a": True, "b": 1}, "nothing"),
    (".a + .b", {"a": [1], "b": {"a": 1}}, "nothing"),
    (".a - .b", {"a": {"a": 1}, "b": {"a": 1}}, "nothing"),
    (".a * .b", {"a": [1], "b": [2]}, "nothing"),
    # an operand without output gives no result
    (".a + .missing", {"a": 1}, "nothing"),
    (".missing + .a", {"a": 1}, "nothing"),
    (".a + empty", {"a": 1}, "nothing"),
    # only the first output of each operand takes part
    (".[] + 10", [1, 2, 3], 11),
    (".[] * .[]", [3, 4], 9),
    # precedence and associativity
    ("1 + 2 * 3", None, 7),
    ("2 * 3 + 1", None, 7),
    ("10 - 2 - 3", None, 5),
    ("8 / 2 / 2", None, 2.0),
    ("2 * 3 % 4", None, 2),
    ("7 - 2 * 3 + 1", None, 2),
    (".a + .b * .c", {"a": 1, "b": 2, "c": 3.0}, 7.0),
    ("length * 2 - 1", [1, 2], 3),
]


@pytest.mark.parametrize("query, doc, expected", ARITHMETIC)
def test_arithmetic(query, doc, expected):
    results = run(query, json.dumps(doc))
    assert_same(results, [] if expected == "nothing" else [expected])


STREAMS = [
    # "," binds tighter than "|"
    (".a, .b | . + 1", '{"a": 1, "b": 2}', [2, 3]),
    ("1, 2 | . * 10", "null", [10, 20]),
    (".a | .x, .y", '{"a": {"x": 1, "y": 2}}', [1, 2]),
    # every branch on the first input before any branch on the next
    (".[] | ., . * 10", "[1, 2]", [1, 10, 2, 20]),
    (".[] | .a, .b", '[{"a": 1, "b": 2}, {"a": 3, "b": 4}]', [1, 2, 3, 4]),
    (".[], .[]", "[1, 2]", [1, 2, 1, 2]),
    ("empty, 1", "null", [1]),
    (".x, .y, .z", '{"x": 1, "z": 3}', [1, 3]),
    ("1 + 1, 2 * 2", "null", [2, 4]),
    ("7", "[1,2,3]", [7]),
    (".[] | 7", "[1,2,3]", [7, 7, 7]),
]


@pytest.mark.parametrize("query, doc, expected", STREAMS)
def test_comma_and_pipe(query, doc, expected):
    assert_same(run(query, doc), expected)


CONSTRUCTION = [
    ("{a: .[], b: .[]}", "[1, 2]",
     [{"a": 1, "b": 1}, {"a": 1, "b": 2}, {"a": 2, "b": 1}, {"a": 2, "b": 2}]),
    ("{a: .x.[], b: .y.[]}", '{"x": [1, 2], "y": [3, 4]}',
     [{"a": 1, "b": 3}, {"a": 1, "b": 4}, {"a": 2, "b": 3}, {"a": 2, "b": 4}]),
    ("{a: .x.[], b: 0, c: .y.[]}", '{"x": [1, 2], "y": [3, 4, 5]}',
     [{"a": a, "b": 0, "c": c} for a in (1, 2) for c in (3, 4, 5)]),
    # an entry without output suppresses the whole object
    ("{a: .[], b: .missing}", "[1, 2]", []),
    ("{a: empty, b: 1}", "null", []),
    ("{a: .[], b: .[]}", "[]", []),
    # keys keep the order written, a repeated key keeps the later value
    ("{b: 1, a: 2}", "null", [{"b": 1, "a": 2}]),
    ("{a: 1, a: 2}", "null", [{"a": 2}]),
    ("{a: 1, b: 2, a: 3}", "null", [{"a": 3, "b": 2}]),
    ("{a: .[], a: 5}", "[1, 2]", [{"a": 5}, {"a": 5}]),
    ("{a: 5, a: .[]}", "[1, 2]", [{"a": 1}, {"a": 2}]),
    # values are pipelines over the same input
    ("{a: .x | .y, b: . | length}", '{"x": {"y": "v"}}', [{"a": "v", "b": 1}]),
    ("{a: | .x}", '{"x": null}', [{"a": None}]),
    ("{s: .a + .b, t: .a / .b}", '{"a": 3, "b": 2}', [{"s": 5, "t": 1.5}]),
    (".[] | {v: .}", "[1, 2]", [{"v": 1}, {"v": 2}]),
    ("{x: .} | {y: .x}", "[1]", [{"y": [1]}]),
    # every entry a path: one object at most
    ("{id: .id, who: .actor.login, tag: .tags.[0]}",
     '{"id": 7, "actor": {"login": "ann"}, "tags": ["x"]}', [{"id": 7, "who": "ann", "tag": "x"}]),
    ("{a: .x, b: .missing.y, c: .z}", '{"x": 1, "z": 2}', []),
    ("{a: .x.y}", '{"x": 5}', []),
    ("{a: .x, a: .y, b: .}", '{"x": 1, "y": 2}', [{"a": 2, "b": {"x": 1, "y": 2}}]),
    ("{a: .[1], b: .[-1]}", "[1, 2, 3]", [{"a": 2, "b": 3}]),
    ("{a: .x} | {b: .a.y, c: .a}", '{"x": {"y": [1]}}', [{"b": [1], "c": {"y": [1]}}]),
]


@pytest.mark.parametrize("query, doc, expected", CONSTRUCTION)
def test_object_construction(query, doc, expected):
    assert_same(run(query, doc), expected)


ITEMS = json.dumps([
    {"a": 2, "b": 1, "c": True},
    {"a": 0, "b": 5, "c": False},
    {"a": 3, "b": None, "c": True},
    {"a": 1, "b": 7, "c": None},
    {"a": 5},
    {"b": "x"},
    {"a": 1, "c": 1},
])

SELECTS = [
    ("select(.a > 1 and .b or not .c)", [0, 1, 3, 4, 5]),
    ("select(.a > 1 and .b)", [0]),
    ("select(.a > 1 and (.b or .c))", [0, 2]),
    ("select((.a > 1 or .b) and .c)", [0, 2]),
    ("select(.a > 1 or .b == 5)", [0, 1, 2, 4]),
    ("select(not .c)", [1, 3, 4, 5]),
    ("select(not .a > 1)", [1, 3, 5, 6]),
    ("select(.a > 1 | not)", [1, 3, 5, 6]),
    ("select(.a == 1 | not)", [0, 1, 2, 4, 5]),
    ("select(.b)", [0, 1, 3, 5]),
    ("select(.c == false)", [1]),
    ("select(.c == null)", [3]),
    ("select(.a >= .b)", [0]),
    ("select(.a < .b)", [1, 3]),
    # null is the identity of +, so 3 + null == 3
    ("select(.a + .b == 3)", [0, 2]),
    # after a pipeline right side, "| not" belongs to that pipeline: .a == (.b - 1 | not)
    ("select(.a == .b - 1 | not)", []),
    ("select(.a != .missing)", []),
    ("select(.missing != 1)", []),
    ("select(not .missing == 1)", [0, 1, 2, 3, 4, 5, 6]),
    ("select(.a > 1 and .b or .a > 1 and .c or .b == \"x\")", [0, 2, 5]),
]


@pytest.mark.parametrize("query, indices", SELECTS)
def test_select_conditions(query, indices):
    items = json.loads(ITEMS)
    assert_same(run(f".[] | {query}", ITEMS), [items[i] for i in indices])


def test_select_then_construct():
    doc = json.dumps([
        {"a": 2, "b": 1, "c": True},
        {"a": 2, "b": None, "c": None},
        {"a": 0, "b": 4},
        {"a": 3, "b": 2.5, "c": 1},
        {"a": 1, "b": 1, "c": 1},
        {"a": 5},
    ])
    query = ".[] | select(.a > 1 and .b or not .c) | {x: .a, y: .b + 1}"
    assert_same(run(query, doc), [
        {"x": 2, "y": 2},
        {"x": 2, "y": 1},
        {"x": 0, "y": 5},
        {"x": 3, "y": 3.5},
    ])


TRUTHINESS = [
    ("0", True), ('""', True), ("[]", True), ("{}", True), ("0.0", True),
    ("null", False), ("false", False), ("true", True), ('"false"', True),
]


@pytest.mark.parametrize("doc, truthy", TRUTHINESS)
def test_truthiness(doc, truthy):
    assert len(run("select(.)", doc)) == truthy
    assert len(run("select(not .)", doc)) != truthy


def test_select_passes_the_input_on_unchanged():
    doc = '{"k": [1, {"x": 2}]}'
    assert_same(run(".k | select(.)", doc), [[1, {"x": 2}]])
    assert_same(run("{a: 1} | select(.a == 1) | .a", "null"), [1])


def test_right_side_is_skipped_when_left_side_is_empty():
    # .y % .z faults whenever it is evaluated, so a skipped right side shows.
    doc = '[{"y": 1, "z": 0}, {"x": 1, "y": 1, "z": 0}]'
    assert run(".[0] | select(.x == .y % .z)", doc) == []
    assert run(".[0] | select(.x > 0 and .y % .z == 1)", doc) == []
    assert run(".[0] | select(.y or .y % .z == 1)", doc) == [{"y": 1, "z": 0}]
    with pytest.raises(PanicException):
        run(".[1] | select(.x == .y % .z)", doc)


DIV_ZERO = "attempt to calculate the remainder with a divisor of zero"
OVERFLOW = "attempt to calculate the remainder with overflow"

# query, a document that faults, the fault's text, then a document that works
PANICS = [
    (". % 0", "5", DIV_ZERO, "5.5", [NAN]),
    (".[] | 10 % .", "[0, 3]", DIV_ZERO, "[3, 4]", [1, 2]),
    (".a % .b", '{"a": 0, "b": 0}', DIV_ZERO, '{"a": 0, "b": 1}', [0]),
    (". % -1", str(I64_MIN), OVERFLOW, "-7", [0]),
    (".a % .b", f'{{"a": {I64_MIN}, "b": -1}}', OVERFLOW, f'{{"a": {I64_MIN}, "b": 3}}', [-2]),
    ("{a: . % 0}", "1", DIV_ZERO, "null", []),
    ("select(. % 0 == 1)", "1", DIV_ZERO, '"s"', []),
]


@pytest.mark.parametrize("query, doc, message, good_doc, good_results", PANICS)
def test_remainder_faults(query, doc, message, good_doc, good_results):
    program = compile(query)
    with pytest.raises(PanicException) as raised:
        program.input(doc)
    assert str(raised.value) == message
    with pytest.raises(PanicException) as raised:
        program.first(doc)
    assert str(raised.value) == message
    # The same program keeps working afterwards.
    assert_same(list(program.input(good_doc)), good_results)


def test_program_runs_again_after_a_fault():
    program = compile(".[] | 10 % .")
    with pytest.raises(PanicException):
        program.input("[3, 0]")
    assert list(program.input("[3, 4]")) == [1, 2]
    assert program.first("[3, 0]") == 1
    with pytest.raises(PanicException):
        program.first("[0, 3]")
    assert program.first("[6]") == 4


def test_first_stops_before_a_later_fault():
    program = compile(".[] | 10 % .")
    assert program.first("[4, 0]") == 2
    with pytest.raises(PanicException):
        program.input("[4, 0]")
