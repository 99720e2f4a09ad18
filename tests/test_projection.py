"""A query that reads only part of a document gets a document built only of
that part, while the whole text is still checked. Every pair here runs both
ways, that and the whole document (TAMSEL_VONK_WHOLE_DOCUMENT), and must give
the same results, or the same error, to the last character."""
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import tamsel_vonk

SHARED = Path(__file__).resolve().parents[2] / "shared"


def outcomes(program, data):
    """What every way of running `program` over `data` (bytes) gives, as text."""
    seen = []
    for run in (program.input_bytes, program.first_bytes):
        try:
            result = run(data)
            seen.append(repr(list(result) if run == program.input_bytes else result))
        except Exception as error:  # noqa: BLE001 - the error is what is compared
            seen.append(f"{type(error).__name__}: {error}")
    return seen


def assert_same_both_ways(monkeypatch, query, data):
    if isinstance(data, str):
        data = data.encode()
    monkeypatch.delenv("TAMSEL_VONK_WHOLE_DOCUMENT", raising=False)
    projected = tamsel_vonk.compile(query)
    monkeypatch.setenv("TAMSEL_VONK_WHOLE_DOCUMENT", "1")
    whole = tamsel_vonk.compile(query)
    assert outcomes(projected, data) == outcomes(whole, data), (query, data[:200])
    return outcomes(whole, data)


SELECTIVE = [
    ".a",
    ".a.b",
    ".[0]",
    ".[2]",
    ".[-1]",
    ".[]",
    ".[] | .a",
    ".a.[]",
    ".a, .b",
    ".a | 1",
    ".[1] | 2",
    "select(.a)",
    "select(.a == 1) | .b",
    'select(.a != "x") | .c',
    "select(.a == .b)",
    "select(.a > 0 and (.b or (.c | not)))",
    ".[] | select(.k == .k)",
    "{x: .a, y: .b.c}",
    "{x: .a.[], y: .b}",
    ".a + .b",
    ".a | length",
    "..",
]

DOCUMENTS = [
    # members, duplicates, escaped keys, places of elements
    '{"a": {"b": [1, 2.5, "x\\u00e9"], "c": 3}, "z": [1, {"q": null}]}',
    '{"a": 1, "b": 2, "a": 3}',
    '{"\\u0061": "escaped key", "b": {"c": "\\ud83d\\ude00"}}',
    '{"a\\"b": 1, "a": [true, false, null]}',
    '[{"a": 1, "b": 2}, {"a": "x", "b": {"c": []}}, [], {}, 5, null]',
    '[[1], [2, 3], {"k": [1]}, {"k": 1}]',
    '{"a": [], "b": {}, "c": ""}',
    '{"a": -0, "b": -0.0, "c": 1e-400, "d": 18446744073709551615, "e": -9223372036854775808}',
    '{"a": 12345678901234567890123, "b": 1}',
    '{"a": 1, "b": 1.7976931348623157e309}',
    '{"a": 1, "b": 1e0000000000000000001}',
    '{"a": 1, "b": 1e99999999999}',
    '{"a": 1, "b": 1.5e-00012}',
    '"just a string"',
    "42",
    "[1, 2, 3]",
    " \n[ 1 , [ ] , { } ] \t",
    # invalid where the query does not look
    '{"a": 1, "b": 01}',
    '{"a": 1, "b": [1, 2,]}',
    '{"a": 1, "b": "\\x"}',
    '{"a": 1, "b": "\\ud800"}',
    '{"a": 1, "b": "\\udc00x"}',
    '{"a": 1, "b": "\\u12"}',
    '{"a": 1, "b": tru}',
    '{"a": 1, "b": nulll}',
    '{"a": 1, "b": [1 2]}',
    '{"a": 1, "b": {"c" 1}}',
    '{"a": 1, "b": {1: 2}}',
    '{"a": 1, "b": -}',
    '{"a": 1, "b": 1.}',
    '{"a": 1, "b": 1e}',
    '{"a": 1, "b": .5}',
    '{"a": 1}, 2',
    '{"a": 1} x',
    '{"a": 1',
    '[1, 2] ]',
    '"a" "b"',
    '"a"x',
    '{"a": 1, "b": ["a"x, 1]}',
    '{"a": 1, "b": ["a" , 1] , "c" : "d"x}',
    "1 2",
    "",
    "   ",
    '{"a": "\x01"}',
    '{"a": 1, "b": "\xff"}',
    '{"a": 1, "b": ["' + "[" * 1030 + "]" * 1030 + '"]}',
    '{"a": 1, "b": ' + "[" * 1024 + "]" * 1024 + "}",
    '{"a": 1, "b": ' + "[" * 1030 + "]" * 1030 + "}",
    '{"a": 1, "b": ' + "[" * 1023 + "]" * 1023 + "}",
]


@pytest.mark.parametrize("query", SELECTIVE)
def test_selective_queries_agree_with_the_whole_document(monkeypatch, query):
    for document in DOCUMENTS:
        assert_same_both_ways(monkeypatch, query, document)


def test_skipped_parts_are_still_checked(monkeypatch):
    # The reader must not accept what the whole parse refuses, wherever it is.
    seen = assert_same_both_ways(monkeypatch, ".a", '{"a": 1, "b": [1, 2,]}')
    assert seen[0].startswith("ValueError: ")
    seen = assert_same_both_ways(monkeypatch, ".[0]", '[1, {"x": 1e99999999999}]')
    assert seen[0].startswith("ValueError: InvalidNumber")


def test_empty_text_with_no_parser_buffers_yet():
    # A fresh process's parser has nothing allocated, and one that has just
    # read a text over 4 MiB drops its buffers for a smaller one: an empty
    # text then meets a parser with no room at all, and must be refused as
    # when read whole. In a process of its own, so that a crash fails only
    # this test.
    script = (
        "import tamsel_vonk\n"
        "p = tamsel_vonk.compile('.a')\n"
        "for data in (b'', b'[' + b'0,' * (3 << 20) + b'0]', b''):\n"
        "    try:\n"
        "        print(list(p.input_bytes(data)))\n"
        "    except Exception as error:\n"
        "        print(type(error).__name__, error)\n"
    )
    seen = []
    for whole in ("", "1"):
        env = dict(os.environ, TAMSEL_VONK_WHOLE_DOCUMENT=whole)
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        seen.append(done.stdout)
    assert seen[0] == seen[1]
    assert seen[0].splitlines()[0] == seen[0].splitlines()[2]


SUITE = SHARED / "json-test-suite"
suite_files = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []


@pytest.mark.skipif(not suite_files, reason="JSON conformance files not present")
def test_conformance_suite_both_ways(monkeypatch):
    for path in suite_files:
        data = path.read_bytes()
        for query in (".[0]", ".a", ".[] | .a", "select(.a) | 1"):
            assert_same_both_ways(monkeypatch, query, data)


BENCH = SHARED / "bench-data"
BENCH_QUERIES = {
    "twitter.json": [".statuses.[] | .user.screen_name", ".search_metadata.count",
                     ".statuses.[0].user.id", ".statuses.[] | {id: .id, n: .entities.hashtags.[0]}"],
    "citm_catalog.json": ['.performances.[] | select(.venueCode == "PLEYEL_PLEYEL") | {id: .id, name: .name}'],
    "github_events.json": ['.[] | select(.type == "PushEvent") | .actor.login'],
    "canada.json": [".features.[0].geometry.type", ".features.[0].geometry.coordinates.[0].[1]"],
    "update-center.json": [".plugins.git.dependencies.[0].name"],
}


@pytest.mark.skipif(not BENCH.is_dir(), reason="benchmark documents not present")
@pytest.mark.parametrize("name", sorted(BENCH_QUERIES))
def test_real_documents_and_their_mutations_both_ways(monkeypatch, name):
    data = (BENCH / name).read_bytes()
    rng = random.Random(name)
    mutations = [data]
    for _ in range(40):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            at = rng.randrange(len(mutated))
            mutated[at] = rng.choice(b'{}[]:,"\\0123456789.eE-+ tfnux\x00\xff')
        mutations.append(bytes(mutated))
    for query in BENCH_QUERIES[name]:
        for document in mutations:
            assert_same_both_ways(monkeypatch, query, document)


def test_a_program_that_switches_ways_keeps_its_results(monkeypatch):
    # A read that builds most of its document sends the next ones to the
    # whole parse, and a later one back: the results never change.
    monkeypatch.delenv("TAMSEL_VONK_WHOLE_DOCUMENT", raising=False)
    program = tamsel_vonk.compile(".a | length")
    most = '{"a": [' + ",".join(str(i) for i in range(1000)) + '], "b": 1}'
    little = '{"a": [1, 2], "b": [' + ",".join(str(i) for i in range(1000)) + "]}"
    broken = '{"a": [1, 2], "b": [1,]}'
    for round_ in range(80):
        text = (most, little, broken)[round_ % 3]
        try:
            got = list(program.input(text))
        except ValueError as error:
            got = str(error)
        assert got == ([1000], [2], "ExpectedArrayContent at character 22 (']')")[round_ % 3]
