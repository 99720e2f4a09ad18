"""Path steps and the result stream through input() and first()."""
import pytest

from tamsel_vonk import TamselVonkIter, compile


def run(query, text):
    return list(compile(query).input(text))


DOC = '{"a": [1, 2, 3, 4], "b": {"c": "añb", "d": null}, "e": 5}'

CASES = [
    (".", "1", [1]),
    (".a", DOC, [[1, 2, 3, 4]]),
    (".b.c", DOC, ["añb"]),
    (".b.d", DOC, [None]),
    (".missing", DOC, []),
    (".a.x", DOC, []),
    (".e.x", DOC, []),
    (".x", "null", []),
    (".x", '"s"', []),
    (".[0]", "[1,2,3]", [1]),
    (".[-1]", "[1,2,3]", [3]),
    (".[3]", "[1,2,3]", []),
    (".[-4]", "[1,2,3]", []),
    (".[0]", '{"0": 1}', []),
    (".[0]", "null", []),
    (".[]", "[1,[2],{}]", [1, [2], {}]),
    (".[]", '{"x": 1, "y": [2]}', [1, [2]]),
    (".[]", "[]", []),
    (".[]", "{}", []),
    (".[]", "3", []),
    (".[]", '"abc"', []),
    (".a.[1:3]", DOC, [[2, 3]]),
    (".[1:]", '"añb"', ["ñb"]),
    (".[-2:]", "[1,2,3]", [[2, 3]]),
    (".[2:1]", "[1,2,3]", [[]]),
    (".[2:1]", '"abc"', [""]),
    (".[:100]", "[1]", [[1]]),
    (".[:]", "[1,2]", [[1, 2]]),
    (".[-100:-1]", "[1,2,3]", [[1, 2]]),
    (".[:-9223372036854775808]", "[1,2,3]", [[]]),
    (".[9223372036854775807:]", "[1,2,3]", [[]]),
    (".[1:3]", '"😀é漢字"', ["é漢"]),
    (".[1:]", "null", []),
    (".[1:]", "{}", []),
    ("..", '{"a":[1,{"b":2}]}', [{"a": [1, {"b": 2}]}, [1, {"b": 2}], 1, {"b": 2}, 2]),
    ("..", "7", [7]),
    (".a | .[]", DOC, [1, 2, 3, 4]),
    (".[] | .[]", "[[1,2],[3],[],5]", [1, 2, 3]),
    (".a.[]", '{"a": {"k": [1]}}', [[1]]),
    # Field access on values the query built itself.
    ("{x: .a} | .x", DOC, [[1, 2, 3, 4]]),
    ("{x: .a} | .x.[-1]", DOC, [4]),
    ("{x: .a, y: .e} | .[]", DOC, [[1, 2, 3, 4], 5]),
    ("{x: .b} | ..", DOC, [{"x": {"c": "añb", "d": None}}, {"c": "añb", "d": None}, "añb", None]),
]


@pytest.mark.parametrize("query, text, expected", CASES)
def test_paths(query, text, expected):
    assert run(query, text) == expected


# Paths inside other filters (a condition's operands), on the document and
# on values the query built, through both readers of a document.
OPERAND_CASES = [
    ('select(.b.c == "añb") | .e', DOC, [5]),
    ("select(.a.[1] == 2) | .b.d", DOC, [None]),
    ("select(.b.x.y == null) | .e", DOC, []),
    ("select(.e.x == 1)", DOC, []),
    ("select(.b.c.d == 1)", DOC, []),
    (".[] | select(.k.[0] == 1) | .k", '[{"k":[1]},{"k":{"0":1}},{"k":[2]},3]', [[1]]),
    ("{x: .a} | select(.x.[0] == 1) | .x.[3]", DOC, [4]),
    (".[] | select(.a == 2) | .b", '[{"a":2,"b":1},{"a":1,"a":2,"b":3}]', [1]),
]


@pytest.mark.parametrize("query, text, expected", OPERAND_CASES)
def test_paths_as_operands(query, text, expected):
    program = compile(query)
    assert list(program.input(text)) == expected
    assert list(program.input_bytes(text.encode())) == expected


def test_first():
    assert compile(".[]").first("[3, 4]") == 3
    assert compile(".[]").first("[]") is None
    assert compile(".a").first('{"a": null}') is None
    assert compile(".a").first("{}") is None


def test_first_cuts_only_the_last_stage():
    # The first input of the last stage produces two outputs; first() sees them
    # but hands back only one.
    assert compile(".[] | .[]").first("[[], [1, 2], [3]]") == 1


def test_iterator_protocol():
    it = compile(".[]").input("[1, 2]")
    assert isinstance(it, TamselVonkIter)
    assert iter(it) is it
    assert next(it) == 1
    assert next(it) == 2
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_empty_result_iterator():
    it = compile(".x").input("1")
    with pytest.raises(StopIteration):
        next(it)
    assert list(it) == []


def test_runs_are_independent():
    program = compile(".a")
    first = program.input('{"a": [1, {"b": 2}]}')
    second = program.input('{"a": [1, {"b": 2}]}')
    one, two = next(first), next(second)
    assert one == two and one is not two
    one[1]["b"] = 99
    assert two[1]["b"] == 2
    assert list(first) == [] and list(second) == []


def test_same_member_twice_gives_distinct_objects():
    a, b = run(".a, .a", '{"a": {"x": [1]}}')
    assert a == b and a is not b and a["x"] is not b["x"]


def test_program_reuse_many_times():
    program = compile(".items.[] | .n")
    for i in range(2000):
        assert list(program.input(f'{{"items": [{{"n": {i}}}, {{"n": "x"}}]}}')) == [i, "x"]


def test_error_then_success_on_the_same_program():
    program = compile(".a")
    with pytest.raises(ValueError):
        program.input("{")
    assert program.first('{"a": 1}') == 1
