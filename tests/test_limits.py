"""Values a query builds stay within the nesting bound instead of exhausting the stack."""
import threading

import pytest

from tamsel_vonk import PanicException, compile

DEEP_DOCUMENT = "[" * 1024 + "]" * 1024


@pytest.mark.parametrize("stage", ["{a: .} | ", "{a: {b: .}, c: 1} | "])
def test_values_nested_past_the_bound_raise_panic(stage):
    program = compile(stage * 5000 + ".")
    with pytest.raises(PanicException, match="^value nested deeper than 2048 levels$"):
        program.first('{"x": 1}')
    # The program stays usable.
    assert compile(stage * 10 + ".").first('{"x": 1}') is not None


def test_wrapping_the_deepest_document_is_allowed():
    wrapped = compile("{a: .} | " * 1000 + "{b: .}").first(DEEP_DOCUMENT)
    depth = 0
    while isinstance(wrapped, dict):
        wrapped = next(iter(wrapped.values()))
        depth += 1
    assert depth == 1001


def test_deep_values_in_a_thread():
    results = []

    def work():
        results.append(len(list(compile("..").input(DEEP_DOCUMENT))))
        results.append(len(compile("tojson").first(DEEP_DOCUMENT)))

    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
    assert results == [1024, 2048]


def test_a_record_of_built_values_keeps_the_bound():
    # The last stage takes its members from the values the stages before it
    # built; past the bound it raises as the evaluator's object does.
    def outcome(query):
        try:
            compile(query).first('{"x": 1}')
            return "made"
        except PanicException as error:
            return str(error)

    seen = set()
    for n in range(2043, 2050):
        query = "{a: .} | " * n + "{b: .a}"
        seen.add(outcome(query))
        assert outcome(query) == outcome(query + " | ."), n
    assert seen == {"made", "value nested deeper than 2048 levels"}
