"""stream(elements=...): the elements of a source's one JSON array as its
texts. Each element gives what input() gives on it alone, with its index,
offset and line; the array's own grammar, and the objects around it, end
the stream with a ValueError after the results before, whatever the policy
for bad texts."""
import gzip
import io
import json

import pytest
from hypothesis import given, settings, strategies as st

from tamsel_vonk import TamselTextError, compile
from test_stream import RUNNERS, check_stream, new_stream

IDENTITY = compile(".")

SOURCES = {
    "bytes": lambda data, tmp_path: data,
    "file object": lambda data, tmp_path: io.BytesIO(data),
    "path": lambda data, tmp_path: write(tmp_path / "array.json", data),
    "gzip path": lambda data, tmp_path: write(tmp_path / "array.json.gz", gzip.compress(data)),
}


def write(path, data):
    path.write_bytes(data)
    return path


ELEMENTS = [
    # source, elements=, the texts of its elements (each run as input() runs it)
    ("[]", True, []),
    ("[1]", True, ["1"]),
    ('[1, "a", null, true, false, -2.5e3, 1e400, 18446744073709551615]', True,
     ["1", '"a"', "null", "true", "false", "-2.5e3", "1e400", "18446744073709551615"]),
    ("[[1, [2]], [], {}, [[[]]]]", True, ["[1, [2]]", "[]", "{}", "[[[]]]"]),
    ('[{"a": [1, {"b": "]}"}]}, {"c": ",\\""}]', True,
     ['{"a": [1, {"b": "]}"}]}', '{"c": ",\\""}']),
    ("\ufeff \r\n[ \t1\n,\n\n2 ,3\r\n]\n\n", True, ["1", "2", "3"]),
    ("[\n  {\n    \"a\": 1\n  },\n  {\n    \"a\": 2\n  }\n]", True,
     ['{\n    "a": 1\n  }', '{\n    "a": 2\n  }']),
    # Bad elements are bad texts.
    ('[1, tru, {"a":}, "x\\q", 2]', True, ["1", "tru", '{"a":}', '"x\\q"', "2"]),
    ("[1, [2, 3}, 4]", True, ["1", "[2, 3}", "4"]),
    ('{"count": 2, "items": [{"a": 1}, {"a": 2}], "next": null}', ".items",
     ['{"a": 1}', '{"a": 2}']),
    ('{"meta": {"items": [0]}, "data": {"rows": [[1], [2]]}}', ".data.rows", ["[1]", "[2]"]),
    ('{"a b": [1, 2]}', ["a b"], ["1", "2"]),
    ('{"a b": [1, 2]}', '."a b"', ["1", "2"]),
]


@pytest.mark.parametrize("query", [".", ".a", "keys"])
@pytest.mark.parametrize("source, elements, texts", ELEMENTS)
def test_each_element_gives_what_it_gives_alone(query, source, elements, texts):
    check_stream(compile(query), source.encode(), texts, elements=elements)


def test_per_text_gives_a_list_an_element():
    assert list(IDENTITY.stream(b"[1, [2], {}]", elements=True, per_text=True)) == [[1], [[2]], [{}]]


def test_a_bad_element_is_skipped_with_its_place():
    stream = IDENTITY.stream(b'[1,\n  {"a" 1},\n  3]', elements=True, errors="skip")
    assert list(stream) == [1, 3]
    [error] = stream.skipped
    assert isinstance(error, TamselTextError)
    assert (error.index, error.offset, error.line) == (1, 6, 2)


BROKEN = [
    # source, elements=, the results before, the ValueError's message after its prefix
    ("", True, [], "the source holds no JSON array: expected '[', found the end of the source at byte 0"),
    ('{"a": 1}', True, [], "the source is not a JSON array: expected '[', found '{' at byte 0"),
    ("[1, 2", True, [1, 2], "the array never closes, found the end of the source at byte 5"),
    ("[1 2]", True, [1], "expected ',' or ']' after an element, found '2' at byte 3"),
    ("[1,, 2]", True, [1], "expected an element after ',', found ',' at byte 3"),
    ("[1, 2,]", True, [1, 2], "expected an element after ',', found ']' at byte 6"),
    ("[1] [2]", True, [1], "text after the end of the array, found '[' at byte 4"),
    ("[1]\n\x00", True, [1], "text after the end of the array, found byte 0x00 at byte 4"),
    ('{"x": [1]}', ".items", [],
     "the source has no array at .items: the object holds no member \"items\", found '}' at byte 9"),
    ('{"items": {}}', ".items", [], "the value at .items is not an array: expected '[', found '{' at byte 10"),
    ('{"items": [1], "n": [1,}', ".items", [1],
     "the value of the member \"n\" around the array is not JSON: ExpectedArrayContent at "
     "character 3 ('}') at byte 20"),
    ('{"items": [1] "n": 2}', ".items", [1], "expected ',' or '}' after a member, found '\"' at byte 14"),
    ('{"items": [1]}}', ".items", [1], "text after the end of the array, found '}' at byte 14"),
]


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("runner", RUNNERS, ids=["serial", "piece 1", "piece 13"])
@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("source, elements, before, message", BROKEN)
def test_a_broken_array_raises_after_the_results_before(source, elements, before, message,
                                                         errors, runner, kind, tmp_path):
    stream = new_stream(IDENTITY, SOURCES[kind](source.encode(), tmp_path), elements=elements,
                        errors=errors, **runner)
    delivered = []
    with pytest.raises(ValueError) as raised:
        for result in stream:
            delivered.append(result)
    assert delivered == before
    assert type(raised.value) is ValueError
    assert str(raised.value) == "not one JSON array of elements: " + message
    assert next(stream, "ended") == "ended"


def records(count):
    return b"[\n" + b",\n".join(b'{"n": %d, "s": "%s"}' % (i, b"x" * (i % 40)) for i in range(count)) + b"\n]\n"


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("runner", RUNNERS[:2] + [{"threads": 2, "piece": "4096"}],
                         ids=["serial", "piece 1", "piece 4096"])
def test_every_source_gives_every_element(kind, runner, tmp_path):
    source = SOURCES[kind](records(5000), tmp_path)
    assert list(new_stream(compile(".n"), source, elements=True, **runner)) == list(range(5000))


def test_an_array_on_one_line_runs_on_threads():
    data = records(3000).replace(b"\n", b"")
    stream = new_stream(compile(".n"), io.BytesIO(data), elements=True, threads=2, piece="2000")
    assert list(stream) == list(range(3000))


OPTIONS = [
    # elements=, the exception and its message
    (3, TypeError, "elements must be True, a path of keys (str) or a list of keys, not 'int'"),
    ("items", ValueError,
     "elements must be a path of keys such as '.items' or '.data.\"rows\"', not 'items'"),
    (".a.", ValueError,
     "elements must be a path of keys such as '.items' or '.data.\"rows\"', not '.a.'"),
    (["a", 1], TypeError, "the keys of elements must be str, not 'int'"),
]


@pytest.mark.parametrize("elements, kind, message", OPTIONS)
def test_elements_that_name_no_path_are_refused(elements, kind, message):
    with pytest.raises(kind) as raised:
        IDENTITY.stream(b"[]", elements=elements)
    assert str(raised.value) == message


def test_elements_and_lines_are_refused_together():
    with pytest.raises(ValueError, match="elements and lines do not go together"):
        IDENTITY.stream(b"[]", elements=True, lines=True)


@pytest.mark.parametrize("off", [False, None])
def test_elements_off_reads_texts(off):
    assert list(IDENTITY.stream(b"[1] [2]", elements=off)) == [[1], [2]]


VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.sampled_from([1.5, -0.0, 1e300])
    | st.text(alphabet=',[]{}":\\ \nab\u00e9', max_size=6),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.sampled_from("ab,"), inner, max_size=2),
    max_leaves=8)
SEPARATORS = st.sampled_from([",", ", ", ",\n", "\n,", " ,\n\t"])


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(VALUES, SEPARATORS), max_size=8), st.booleans(), st.integers(0, 2**31),
       st.sampled_from("]x,} \"["))
def test_threads_and_broken_arrays_match_one_parse(elements, pretty, seed, stray):
    """The elements of any array, laid out any way, are what json.loads
    finds, on one thread or two cut into small pieces; an array changed at
    one byte either still parses as json.loads parses it, or raises or
    skips: it is never read as other elements in silence."""
    texts = [json.dumps(value, indent=1 if pretty else None) for value, _ in elements]
    data = "[" + "".join(text + (sep if i + 1 < len(texts) else "") for i, (text, (_, sep))
                         in enumerate(zip(texts, elements))) + "]"
    runs = [{}, {"threads": 2, "piece": "7"}]
    for runner in runs:
        got = list(new_stream(IDENTITY, data.encode(), elements=True, **runner))
        assert got == json.loads(data)
    at = seed % len(data)
    changed = (data[:at] + stray + data[at + 1:]).encode()
    try:
        expected = json.loads(changed)
    except ValueError:
        expected = None
    for runner in runs:
        stream = new_stream(IDENTITY, changed, elements=True, errors="skip", **runner)
        try:
            got = list(stream)
        except ValueError:
            assert expected is None or not isinstance(expected, list)
            continue
        if expected is None or not isinstance(expected, list):
            assert stream.skipped
        else:
            assert got == expected and not stream.skipped


@pytest.mark.parametrize("runner", RUNNERS, ids=["serial", "piece 1", "piece 13"])
@pytest.mark.parametrize("source, elements", [
    (b'[{"n": 1, "s": "a"},\n{"n": 2},\n{"s": "c"}]', True),
    (b'{"count": 3, "items": [{"n": 1, "s": "a"}, {"n": 2}, {"s": "c"}]}', ".items"),
])
def test_a_table_of_the_elements(source, elements, runner, monkeypatch):
    pa = pytest.importorskip("pyarrow")
    if "piece" in runner:
        monkeypatch.setenv("TAMSEL_VONK_PIECE_BYTES", runner["piece"])
    table = IDENTITY.table(source, columns={"n": ".n", "s": ".s"}, elements=elements,
                           threads=runner.get("threads", 1))
    assert pa.table(table).to_pylist() == [{"n": 1, "s": "a"}, {"n": 2, "s": None},
                                           {"n": None, "s": "c"}]


def test_a_table_of_a_broken_array_raises():
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(ValueError, match="not one JSON array of elements: expected ',' or ']'"):
        pa.table(IDENTITY.table(b"[1 2]", columns={"n": "."}, elements=True))
    with pytest.raises(TypeError, match="elements reads a source that is one document"):
        IDENTITY.table([b"[1]"], elements=True)
