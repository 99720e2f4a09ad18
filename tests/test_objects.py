"""Which Python objects a call makes anew and which it shares: input() and
first() make every object anew; the module's own methods share the str of
a short key between the dicts they make, and must never hand out the wrong
one, whatever keys meet in the cache behind them."""
import gc
import json
import sys

import pytest

from tamsel_vonk import compile

IDENTITY = compile(".")

# Each method, run over one JSON text (bytes), as the list of its results.
RUNS = {
    "input": lambda program, text: list(program.input(text.decode())),
    "first": lambda program, text: [program.first(text.decode())],
    "input_bytes": lambda program, text: list(program.input_bytes(text)),
    "first_bytes": lambda program, text: [program.first_bytes(text)],
    "stream": lambda program, text: list(program.stream(text)),
    "stream, threads": lambda program, text: list(program.stream(text, threads=2)),
    "batch": lambda program, text: program.batch([text])[0],
    "batch, first": lambda program, text: [program.batch([text], first=True)[0]],
}
SEPARATE = {"input", "first"}


def encoded(value):
    return json.dumps(value, ensure_ascii=False).encode()


@pytest.mark.parametrize("method", RUNS)
def test_which_methods_share_key_objects(method):
    run = RUNS[method]
    text = encoded([{"member": "a value"}, {"member": "a value"}])
    [first, second] = run(IDENTITY, text)[0]
    [again] = run(IDENTITY, text)[0][:1]
    keys = [next(iter(d)) for d in (first, second, again)]
    shared = method not in SEPARATE
    assert (keys[0] is keys[1], keys[0] is keys[2]) == (shared, shared)
    # Values are never shared, by any method.
    assert first["member"] == second["member"]
    assert first["member"] is not second["member"]


def test_input_and_first_make_each_result_anew():
    program = compile(".a, .a, .")
    a, again, whole = program.input('{"a": {"k": "text"}}')
    assert a == again and a is not again and a["k"] is not again["k"]
    assert next(iter(a)) is not next(iter(again)) is not next(iter(whole["a"]))
    one, two = (program.first('{"a": {"k": "text"}}') for _ in range(2))
    assert one == two and next(iter(one)) is not next(iter(two))


def middle(n, fill):
    """A key of 40 bytes whose first and last 16 are those of every other."""
    return "k" * 16 + str(n).rjust(8, fill) + "e" * 16


# Sets of keys that a cache could take for one another.
KEY_SETS = {
    "same ends, other middles": [middle(n, "0") for n in range(300)],
    "one byte apart, at every place": ["".join("b" if i == j else "a" for i in range(40))
                                       for j in range(40)],
    "lengths 0 to 80": ["x" * n for n in range(81)],
    "prefixes of one another": ["abcdefghijklmnopqrstuvwxyz0123456789"[:n] for n in range(37)],
    "not ASCII": ["cafe", "caf\u00e9", "caf\u00e8", "\U0001F600", "\u4e2d\u6587", "e\u0301"],
    "more than a cache holds": [f"key{n}" for n in range(6000)],
}


@pytest.mark.parametrize("method", RUNS)
@pytest.mark.parametrize("keys", KEY_SETS)
def test_colliding_keys_never_give_a_wrong_key(method, keys):
    run = RUNS[method]
    names = KEY_SETS[keys]
    flat = {name: n for n, name in enumerate(names)}
    # Each key with the next one's object inside it, and the set reversed.
    nested = [{name: {names[(n + 1) % len(names)]: n}} for n, name in enumerate(names)]
    document = {"flat": flat, "nested": nested, "reversed": dict(reversed(flat.items()))}
    text = encoded(document)
    for _ in range(2):
        [result] = run(IDENTITY, text)
        assert result == document
        assert list(result["reversed"]) == list(reversed(names))


@pytest.mark.parametrize("method", RUNS)
def test_a_key_in_the_cache_outlives_the_values_made_before_its_dict(method):
    # The first text leaves the key `outer` in the cache, and nothing else
    # holds it once its result is dropped; the second text's dict under
    # that key holds a key that may take the same place in the cache.
    outer, inner = middle(1, "X"), middle(2, "Y")
    run = RUNS[method]
    for _ in range(3):
        run(IDENTITY, encoded({outer: 0}))
        assert run(IDENTITY, encoded({outer: {inner: 1}})) == [{outer: {inner: 1}}]


EVENT = {"id": "7", "type": "PushEvent", "actor": {"id": 1, "login": "ann\u00e9", "k": "x"},
         "tags": [1, [2, 3.5], {"x": None}], "k": {"k": "k"}}
# Objects built of paths alone, which a call makes from the document's parts
# without the evaluator, beside those it leaves to the evaluator.
RECORDS = [
    "{id: .id, type: .type, who: .actor.login}",
    "{a: .tags.[1], b: .tags.[-1].x, c: .actor, d: .tags}",
    "{k: .k.k, actor: .actor, kk: .k}",  # a key met again inside a value
    "{id: .id, x: .missing}",
    "{a: .id.x}",
    "{a: .[0]}",
    "{a: .id, a: .type}",
    "{a: ., b: .id}",
    ".tags.[] | {x: .x, y: .[1]}",  # after other stages: a record of each output
    'select(.id == "7") | {id: .id}',
    "to_entries | .[] | {k: .key, v: .value.k}",
]
# Entries, which a call makes from the object itself.
ENTRIES = [
    "to_entries",
    ".actor | to_entries",
    ".tags.[] | to_entries",  # of the one object among them
    "{a: .id, t: .tags} | to_entries",  # of an object the evaluator built
]


@pytest.mark.parametrize("method", RUNS)
def test_what_a_call_makes_without_the_evaluator_is_what_it_builds(method):
    run = RUNS[method]
    text = encoded(EVENT)
    for query in RECORDS + ENTRIES:
        made = run(compile(query), text)
        assert made == run(compile(query + " | ."), text), query
        assert made == run(compile(query), text), query
    shared = method not in SEPARATE
    one, two = (run(compile("{who: .actor.login}"), text)[0] for _ in range(2))
    assert (next(iter(one)) is next(iter(two))) == shared
    # An entry's key is a value, and values are never shared.
    one, two = (run(compile(".actor | to_entries"), text)[0][-1] for _ in range(2))
    assert (next(iter(one)) is next(iter(two))) == shared
    assert one["key"] == two["key"] and one["key"] is not two["key"]


@pytest.mark.skipif(sys.version_info < (3, 10), reason="3.9 has no C switch for the collector")
@pytest.mark.parametrize("method", RUNS)
@pytest.mark.parametrize("query", [".", ".[] | {a: .a}", ".[] | to_entries", ".[] | .a"])
def test_the_collector_waits_while_many_objects_are_made(method, query):
    # Far more containers than a collection waits for, which without the
    # pause would start one pass after another, each over all made so far
    # (56 for json.loads of this text). One may start at the first
    # allocation after the pause, as the call hands its result back.
    text = encoded([{"a": [i]} for i in range(20_000)])
    program = compile(query)
    starts = []

    def note(phase, info):
        if phase == "start":
            starts.append(info["generation"])

    gc.collect()
    gc.callbacks.append(note)
    try:
        made = RUNS[method](program, text)
        during = len(starts)
    finally:
        gc.callbacks.remove(note)
    assert made and during <= 1
