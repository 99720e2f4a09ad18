"""Many texts per call: TamselProgram.stream over a source of JSON texts, and
TamselProgram.batch over separate documents. Every text must give exactly
what input() or first() give on it alone, so expectations are worked out by
running each text by itself."""
import array
import contextlib
import copy
import gzip
import io
import itertools
import mmap
import os
import re
import sys

import pytest
from hypothesis import given, settings, strategies as st

import ctrl_c
from our_threads import running_threads, threads_left_after
from tamsel_vonk import PanicException, TamselTextError, compile

IDENTITY = compile(".")


# --- what a text gives alone ------------------------------------------------------

def alone(program, text, first=False):
    """(results, None) of `text` run by itself as input() (or first()) runs
    it, or ([], the exception it raises)."""
    try:
        if not first:
            return list(program.input_bytes(text)), None
        value = program.first_bytes(text)
    except (ValueError, PanicException) as error:
        return [], error
    if value is not None:
        return [value], None
    try:  # None is a null first result, or no result at all
        return list(program.input_bytes(text))[:1], None
    except PanicException:  # first() stopped at a null before the fault
        return [None], None


def utf8(text):
    return text.encode() if isinstance(text, str) else bytes(text)


def described(error):
    return type(error), str(error), error.index, error.offset, error.line


def among_many(kind):
    """The class of the error of a text of a stream or a batch that fails
    alone with `kind`: the ValueError that says which text it is."""
    return TamselTextError if kind is ValueError else kind


def outcomes(program, source, texts, first=False, per_text=False):
    """Per text of `source` (found in order), ("ok", what it adds to the
    stream) or ("bad", the described exception the stream must give)."""
    data, position, found = utf8(source), 0, []
    for index, text in enumerate(map(utf8, texts)):
        offset = data.index(text, position)
        position = offset + len(text)
        results, error = alone(program, text, first)
        if error is None:
            found.append(("ok", [results] if per_text else results))
        else:
            line = data.count(b"\n", 0, offset) + 1
            message = f"text {index} at byte {offset} (line {line}): {error}"
            found.append(("bad", (among_many(type(error)), message, index, offset, line)))
    return found


# The stream's threads: none, then two over pieces cut at every line break,
# and after every 13 bytes, so that texts run over many cuts.
RUNNERS = [{}, {"threads": 2, "piece": "1"}, {"threads": 2, "piece": "13"}]


def new_stream(program, source, **options):
    """program.stream(source, **options), a piece size set for its threads."""
    piece = options.pop("piece", None)
    if piece is None:
        return program.stream(source, **options)
    os.environ["TAMSEL_VONK_PIECE_BYTES"] = piece
    try:
        return program.stream(source, **options)
    finally:
        del os.environ["TAMSEL_VONK_PIECE_BYTES"]


def check_stream(program, source, texts, make=lambda source: source, **options):
    for runner in RUNNERS:
        check_stream_run(program, source, texts, make, **options, **runner)


def check_stream_run(program, source, texts, make, **options):
    """stream() over make(source), under both policies, gives what the texts
    give alone. Each run gets a program of its own (a copy compiles the
    query again): a program that has read small documents for a projection
    goes on to read some whole, which would spare the stream its fastest
    way of reading."""
    expected = outcomes(copy.copy(program), source, texts, options.get("first"),
                        options.get("per_text"))
    good = [result for kind, results in expected if kind == "ok" for result in results]
    bad = [error for kind, error in expected if kind == "bad"]

    with new_stream(copy.copy(program), make(source), errors="skip", **options) as stream:
        got = list(stream)
        if options.get("per_text"):
            # One entry a text: a bad text's error stands in its list's place.
            in_place = []
            for kind, results in expected:
                in_place += results if kind == "ok" else [results]
            assert [described(entry) if isinstance(entry, BaseException) else entry
                    for entry in got] == in_place
            assert stream.skipped == []
        else:
            assert got == good
            assert [described(error) for error in stream.skipped] == bad

    stream = new_stream(copy.copy(program), make(source), **options)
    if not bad:
        assert list(stream) == good
        return
    before = []
    for kind, results in expected:
        if kind == "bad":
            break
        before += results
    delivered = []
    with pytest.raises(bad[0][0]) as raised:
        for result in stream:
            delivered.append(result)
    assert delivered == before
    assert described(raised.value) == bad[0]
    assert next(stream, "ended") == "ended"


# --- splitting a source into texts ------------------------------------------------

SPLITS = [
    # source, its texts by default, its texts with lines=True
    (" \t\n\r1 \t\n\r2\r\n", ["1", "2"], ["\r1 \t", "\r2\r"]),
    ("1 2\t3\n4\r5", ["1", "2", "3", "4", "5"], ["1 2\t3", "4\r5"]),
    ("[1][2]", ["[1]", "[2]"], ["[1][2]"]),
    ('{"a":1}{"b":2}', ['{"a":1}', '{"b":2}'], ['{"a":1}{"b":2}']),
    ('"a""b"', ['"a"', '"b"'], ['"a""b"']),
    ('1"a"', ["1", '"a"'], ['1"a"']),
    ("1[2]", ["1", "[2]"], ["1[2]"]),
    ('null{"a":[1]}true', ["null", '{"a":[1]}', "true"], ['null{"a":[1]}true']),
    ('"]" ["[", {"}": "{"}]', ['"]"', '["[", {"}": "{"}]'], ['"]" ["[", {"}": "{"}]']),
    ('"a\\"b"1 "c\\\\"2', ['"a\\"b"', "1", '"c\\\\"', "2"], ['"a\\"b"1 "c\\\\"2']),
    ("\ufeff1 2", ["1", "2"], ["1 2"]),
    ("\ufeff[1}\n x", ["[1}", "x"], ["[1}", " x"]),
    ("1 \ufeff2", ["1", "\ufeff2"], ["1 \ufeff2"]),
    ("1\n\ufeff2", ["1", "\ufeff2"], ["1", "\ufeff2"]),
    ("\ufeff", [], []),
    ("", [], []),
    (" \n\t\r\n ", [], []),
    ("1\n2", ["1", "2"], ["1", "2"]),
    ('{"a":1}\r\n\r\n{"a":2}\r\n', ['{"a":1}', '{"a":2}'], ['{"a":1}\r', '{"a":2}\r']),
    ("{\r\n", ["{\r\n"], ["{\r"]),
    ("1 ] 2", ["1", "]", "2"], ["1 ] 2"]),
    ("[1} 2\n3", ["[1}", "2", "3"], ["[1} 2", "3"]),
    ("1,2 truefalse null", ["1,2", "truefalse", "null"], ["1,2 truefalse null"]),
    ('1 "abc\n2 3', ["1", '"abc\n2 3'], ['1 "abc', "2 3"]),
    ("[1, [2]\n3", ["[1, [2]\n3"], ["[1, [2]", "3"]),
    ('{\n"a": 1\n}\n{"b" 2}\n', ['{\n"a": 1\n}', '{"b" 2}'], ["{", '"a": 1', "}", '{"b" 2}']),
    ('"\u00e9" 1 x "\u20ac" y', ['"\u00e9"', "1", "x", '"\u20ac"', "y"], ['"\u00e9" 1 x "\u20ac" y']),
]


@pytest.mark.parametrize("source, texts, lines_texts", SPLITS)
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
def test_splitting(source, texts, lines_texts, lines):
    texts = lines_texts if lines else texts
    check_stream(IDENTITY, source, texts, lines=lines)
    check_stream(IDENTITY, source, texts, make=utf8, lines=lines)


def test_offset_and_position_in_the_message_point_at_the_fault():
    source = '\ufeff"\u00e9"\n[1,  2}\n  x'.encode()
    for lines in (False, True):
        with IDENTITY.stream(source, lines=lines, errors="skip") as stream:
            assert list(stream) == ["\u00e9"]
            faults = [re.search(r"at character (\d+) \('(.)'\)$", str(e)) for e in stream.skipped]
            assert [source[e.offset + int(m[1])] for e, m in zip(stream.skipped, faults)] == [
                ord(m[2]) for m in faults] == [ord("}"), ord("x")]


# --- every text gives what it gives alone -----------------------------------------

TEXTS = ['{"a": 1, "b": 2}', "[1, 2, 3]", "[]", '{"a": [null, 4], "b": 0}', '"s"', "null",
         '{"a": 1, "b": 0}', "[1, 0]", "[null, 0]", '{"a" 1}', "[1}", "01", "nul", '{"a": 5}']
QUERIES = [".", ".[]", ".a", ".a, .b", ".a % .b", ".[] | 1 % .", "select(.a == 1) | .b",
           "..", "empty", "keys"]


@pytest.mark.parametrize("query", QUERIES)
def test_every_text_gives_what_it_gives_alone(query):
    program = compile(query)
    for lines, first, per_text in itertools.product([False, True], repeat=3):
        source = ("\n" if lines else " \t").join(TEXTS)
        check_stream(program, source, TEXTS, lines=lines, first=first, per_text=per_text)

    for first in (False, True):
        entries = program.batch(TEXTS, first=first, errors="skip")
        for index, (text, entry) in enumerate(zip(TEXTS, entries)):
            results, error = alone(program, text.encode(), first)
            if error is not None:
                assert (type(entry), str(entry), entry.index) == (
                    among_many(type(error)), f"text {index}: {error}", index)
            elif first:
                assert entry == (results[0] if results else None)
            else:
                assert entry == results


def test_skipped_fills_as_iteration_passes():
    stream = IDENTITY.stream(b"1 x 2 ] 3 nul", errors="skip")
    seen = []
    for result in stream:
        seen.append((result, [error.index for error in stream.skipped]))
    assert seen == [(1, []), (2, [1]), (3, [1, 3])]
    assert [error.index for error in stream.skipped] == [1, 3, 5]


def test_results_before_a_bad_text_come_first_and_the_stream_ends():
    stream = compile(".[]").stream(b"[1, 2] [3] x [4]")
    assert [next(stream), next(stream), next(stream)] == [1, 2, 3]
    with pytest.raises(ValueError, match=r"^text 2 at byte 11 \(line 1\): "):
        next(stream)
    assert list(stream) == []
    assert stream.skipped == []


# --- sources ----------------------------------------------------------------------

class Chunks:
    """A binary file whose read() returns a few bytes at a time (1 to 7, in turn)."""

    def __init__(self, data):
        self.data, self.position, self.sizes = data, 0, itertools.cycle(range(1, 8))

    def read(self, size=-1):
        size = min(next(self.sizes), size) if size >= 0 else len(self.data)
        chunk = self.data[self.position:self.position + size]
        self.position += len(chunk)
        return chunk


class BytesPath(os.PathLike):
    """A path given as bytes by __fspath__."""

    def __init__(self, path):
        self.path = os.fsencode(path)

    def __fspath__(self):
        return self.path


SOURCE = '\ufeff{"name": "caf\u00e9"}\n[1, 2] "\u20ac"\n{"a" 1}\n3 ] 4.5e1' + " " * 300 + "\n[[6]]\n"
SOURCE_TEXTS = ['{"name": "caf\u00e9"}', "[1, 2]", '"\u20ac"', '{"a" 1}', "3", "]", "4.5e1", "[[6]]"]


FILE_NUMBERS = itertools.count()


def in_file(tmp_path, data):
    path = tmp_path / f"texts{next(FILE_NUMBERS)}.json"
    path.write_bytes(data)
    return path


SOURCES = {
    "bytes": lambda data, tmp_path, stack: data,
    "bytearray": lambda data, tmp_path, stack: bytearray(data),
    "memoryview": lambda data, tmp_path, stack: memoryview(b"xx" + data)[2:],
    "array": lambda data, tmp_path, stack: array.array("B", data),
    "str": lambda data, tmp_path, stack: data.decode(),
    "BytesIO": lambda data, tmp_path, stack: io.BytesIO(data),
    "short reads": lambda data, tmp_path, stack: Chunks(data),
    "file": lambda data, tmp_path, stack: stack.enter_context(open(in_file(tmp_path, data), "rb")),
    "pathlib": lambda data, tmp_path, stack: in_file(tmp_path, data),
    "bytes path": lambda data, tmp_path, stack: BytesPath(in_file(tmp_path, data)),
    "mmap": lambda data, tmp_path, stack: stack.enter_context(mmap.mmap(
        stack.enter_context(open(in_file(tmp_path, data), "rb")).fileno(), 0,
        access=mmap.ACCESS_READ)),
}


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
def test_sources(kind, lines, tmp_path):
    texts = SOURCE.split("\n")[:-1] if lines else SOURCE_TEXTS
    texts = [text.lstrip("\ufeff") for text in texts]
    with contextlib.ExitStack() as stack:
        check_stream(IDENTITY, SOURCE, texts, lines=lines,
                     make=lambda source: SOURCES[kind](utf8(source), tmp_path, stack))


# Documents among blank lines, two of whose runs fault (a remainder by zero).
FAULTING = '{"a": 1, "b": 2}\n\n \r\n\n{"a": 1, "b": 0}\n{"a": 7, "b": 2}\n\n  {"a": 1, "b": 0}\n'


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
def test_sources_read_for_a_query(kind, lines, tmp_path):
    # A query that reads parts of its documents reads them from an indexed
    # stretch where it can: a fault there names its text as any other.
    texts = [line for line in FAULTING.split("\n") if line.strip()]
    if not lines:
        texts = [text.strip() for text in texts]
    with contextlib.ExitStack() as stack:
        check_stream(compile(".a % .b"), FAULTING, texts, lines=lines,
                     make=lambda source: SOURCES[kind](utf8(source), tmp_path, stack))


def test_short_reads_over_many_texts():
    texts = [f'{{"n": {n}, "s": "{"x" * (n % 13)}"}}' for n in range(2000)]
    data = " ".join(texts).encode()
    assert list(compile(".n").stream(Chunks(data))) == list(range(2000))
    assert list(compile(".n").stream(Chunks(b"\n".join(t.encode() for t in texts)),
                                     lines=True)) == list(range(2000))


def open_files():
    return len(os.listdir("/proc/self/fd"))


FINISHES = ["exhausted", "closed", "with", "dropped", "bad text"]


def finish(stream, how):
    """Ends `stream` after its first result as `how` says; returns what is left of it."""
    assert next(stream) == 1
    if how == "exhausted":
        assert list(stream) == [2, 3]
    elif how == "closed":
        stream.close()
        stream.close()
    elif how == "with":
        with stream as inside:
            assert inside is stream
    elif how == "bad text":
        with pytest.raises(ValueError):
            next(stream)
    if how == "dropped":
        return None
    assert next(stream, "ended") == "ended"
    return stream


@pytest.mark.parametrize("how", FINISHES)
def test_a_path_source_is_closed_when_the_stream_ends(tmp_path, how):
    path = in_file(tmp_path, b"1 x 3" if how == "bad text" else b"1 2 3")
    before = open_files()
    stream = IDENTITY.stream(path)
    assert open_files() == before + 1
    stream = finish(stream, how)
    assert open_files() == before


@pytest.mark.parametrize("how", FINISHES)
def test_a_buffer_is_released_when_the_stream_ends(tmp_path, how):
    text = b"1 x 3" if how == "bad text" else b"1 2 3"
    data = bytearray(text)
    stream = IDENTITY.stream(data)
    with pytest.raises(BufferError):
        data.extend(b" 4")
    stream = finish(stream, how)
    data.extend(b" 4")

    with open(in_file(tmp_path, text), "rb") as f:
        view = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    stream = IDENTITY.stream(view)
    with pytest.raises(BufferError):
        view.close()
    stream = finish(stream, how)
    view.close()


@pytest.mark.parametrize("how", FINISHES)
def test_the_callers_file_is_never_closed(tmp_path, how):
    data = b"1 x 3" if how == "bad text" else b"1 2 3"
    with open(in_file(tmp_path, data), "rb") as f:
        stream = finish(IDENTITY.stream(f), how)
        assert not f.closed
        f.seek(0)
        assert f.read() == data
    memory = io.BytesIO(data)
    stream = finish(IDENTITY.stream(memory), how)
    assert not memory.closed


def test_a_stream_is_its_own_iterator():
    stream = IDENTITY.stream("1")
    assert iter(stream) is stream
    assert stream.skipped == []


class Failing:
    """A binary file whose second read() fails, or returns what `second` says."""

    def __init__(self, first, second):
        self.reads = iter([first, second])

    def read(self, size=-1):
        value = next(self.reads, b"")
        if isinstance(value, BaseException):
            raise value
        return value


@pytest.mark.parametrize("runner", RUNNERS)
@pytest.mark.parametrize("first, before", [(b"1 2 3 ", [1, 2, 3]), (b"1 2 [3", [1, 2])],
                         ids=["between texts", "inside a text"])
def test_a_read_error_ends_the_stream_whatever_the_policy(runner, first, before):
    # What was read before the error is handed out first, threads or none.
    for errors in ("raise", "skip"):
        failure = OSError(5, "Input/output error")
        stream = new_stream(IDENTITY, Failing(first, failure), errors=errors, **runner)
        delivered = []
        with pytest.raises(OSError) as raised:
            for result in stream:
                delivered.append(result)
        assert raised.value is failure
        assert delivered == before
        assert next(stream, "ended") == "ended"


@pytest.mark.parametrize("make", [
    lambda: io.StringIO("1 2"), lambda: Failing(b"1 ", "2"), lambda: Failing(b"1 ", None),
], ids=["StringIO", "str later", "None"])
def test_a_read_that_gives_no_bytes_raises_type_error(make):
    with pytest.raises(TypeError):
        list(IDENTITY.stream(make(), errors="skip"))


def test_a_text_mode_file_names_the_fix(tmp_path):
    with open(in_file(tmp_path, b"1"), "r", encoding="utf-8") as f:
        with pytest.raises(TypeError) as raised:
            list(IDENTITY.stream(f))
    assert "'rb'" in str(raised.value) and "sys.stdin.buffer" in str(raised.value)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name, kind", [("missing.json", FileNotFoundError),
                                        (".", IsADirectoryError)])
def test_a_path_that_cannot_be_read_raises_from_the_call(tmp_path, name, kind, threads):
    with pytest.raises(kind):
        IDENTITY.stream(tmp_path / name, threads=threads)


# --- texts larger than a batch, and many texts across batches ---------------------

BIG = b'{"s": "' + b"x" * (3 << 20) + b'", "n": [1, [2, "]"]]}'


@pytest.mark.parametrize("where", ["memory", "file"])
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
def test_a_text_larger_than_a_batch(tmp_path, where, lines):
    make = (lambda source: in_file(tmp_path, source)) if where == "file" else bytes
    source = b'{"n": 0}\n' + BIG + b'\n{"n": 2}\n'
    unclosed = b'{"n": 0}\n' + BIG[:-1] + b"\n"
    for program in (compile(".n"), compile(".s | length")):
        check_stream(program, source, [b'{"n": 0}', BIG, b'{"n": 2}'], make=make, lines=lines)
        texts = [b'{"n": 0}', BIG[:-1] + (b"" if lines else b"\n")]
        check_stream(program, unclosed, texts, make=make, lines=lines)


@pytest.mark.parametrize("separator, lines", [(b"\n", True), (b"", False), (b" ", False)])
def test_many_texts_across_batches(tmp_path, separator, lines):
    count = 200_000
    texts = [b"[%d]" % n if separator == b"" else b"%d" % n for n in range(count)]
    source = separator.join(texts) + b"\nx"
    program = compile(".[0]" if separator == b"" else ".")
    for made in (source, in_file(tmp_path, source)):
        with program.stream(made, lines=lines, errors="skip") as stream:
            assert list(stream) == list(range(count))
            [error] = stream.skipped
            assert (error.index, error.offset, error.line) == (
                count, len(source) - 1, source.count(b"\n") + 1)


# --- a stream's threads, cut anywhere --------------------------------------------

# Pieces of texts that run over line breaks and spaces, strings holding
# brackets and breaks, bad texts, a byte order mark out of place.
FRAGMENTS = ["1", '"a\\n b"', "[1,\n2]", '{"x":\n [1, {"y": "}"}]}', "tru", "[", "]",
             '"open\n', "  ", "\n", "\n\n", '{"a": 1, "b": 0}', '"\\"["', "12 34",
             "\ufeff", "{}", "[\n]"]


def outcome(stream):
    """What a stream with errors="skip" hands out, and what it skipped."""
    with stream:
        return list(stream), [(type(e), str(e)) for e in stream.skipped]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(FRAGMENTS), st.sampled_from(["", " ", "\n"])),
                max_size=30),
       st.booleans(), st.sampled_from([".", ".x", ".a % .b", ".[]"]),
       st.integers(1, 40), st.integers(2, 3), st.booleans())
def test_threads_give_what_one_thread_gives(parts, lines, query, piece, threads, frozen):
    text = "".join(fragment + after for fragment, after in parts).encode()
    expected = outcome(compile(query).stream(text, lines=lines, errors="skip"))
    source = text if frozen else bytearray(text)
    got = outcome(new_stream(compile(query), source, lines=lines, errors="skip",
                             threads=threads, piece=str(piece)))
    assert got == expected


# --- results as JSON text -----------------------------------------------------------

AS_JSON = [
    (".", '{"a": [1, {"b": []}], "c": {}, "s": "\u00e9\\u0001\\"\\\\/", "big": 18446744073709551615}'),
    (".[]", '[null, true, false, -0, 1.5e300, 1e-7, 1.0, -2, "x", [], {}]'),
    ("keys, .a", '{"b": 1, "a": [2]}'),
    (".a.[]", '{"a": []}'),
]


@pytest.mark.parametrize("query, text", AS_JSON)
def test_as_json_is_what_tojson_writes(query, text):
    written = [result.encode() for result in compile(query + " | tojson").input(text)]
    program = compile(query)
    assert list(program.stream(text, as_json=True)) == written
    assert list(program.stream(f"{text}\n{text}", as_json=True, per_text=True)) == [written] * 2
    assert list(program.stream(text, as_json=True, first=True)) == written[:1]
    assert program.batch([text, text.encode()], as_json=True) == [written] * 2
    assert program.batch([text], as_json=True, first=True) == [written[0] if written else None]
    # The methods that run one document, the bytes ones with the lock let go.
    assert list(program.input_bytes(text, as_json=True)) == written
    assert program.first_bytes(text, as_json=True) == (written[0] if written else None)
    padded = text.encode() + b" " * (64 << 10)
    assert list(program.input_bytes(padded, as_json=True)) == written
    assert program.first_bytes(bytearray(padded), as_json=True) == (written[0] if written else None)


NESTED = '{"a": [1, {"b": []}], "c": {}, "d": "x"}'
INDENTS = [
    (NESTED, 2, '{\n  "a": [\n    1,\n    {\n      "b": []\n    }\n  ],\n  "c": {},\n  "d": "x"\n}'),
    (NESTED, 0, '{\n"a": [\n1,\n{\n"b": []\n}\n],\n"c": {},\n"d": "x"\n}'),
    (NESTED, "\t", '{\n\t"a": [\n\t\t1,\n\t\t{\n\t\t\t"b": []\n\t\t}\n\t],\n\t"c": {},\n\t"d": "x"\n}'),
    (NESTED, None, '{"a":[1,{"b":[]}],"c":{},"d":"x"}'),
    ("[[], {}]", 1, "[\n [],\n {}\n]"),
    ("[1]", 32, "[\n" + " " * 32 + "1\n]"),
    ("[1]", "-" * 32, "[\n" + "-" * 32 + "1\n]"),
    ('"x"', 4, '"x"'), ("[]", 4, "[]"), ("{}", "  ", "{}"), ("1.0", 2, "1"),
]


@pytest.mark.parametrize("text, indent, written", INDENTS)
def test_indent(text, indent, written):
    assert list(IDENTITY.stream(text, as_json=True, indent=indent)) == [written.encode()]
    assert IDENTITY.batch([text], as_json=True, indent=indent) == [[written.encode()]]
    assert IDENTITY.first_bytes(text, as_json=True, indent=indent) == written.encode()
    assert list(IDENTITY.input_bytes(text.encode(), as_json=True, indent=indent)) == [written.encode()]


# --- batch ------------------------------------------------------------------------------

def test_batch_takes_any_iterable_of_str_and_bytes():
    program = compile(".a")
    texts = ['{"a": 1}', b'{"a": 2}', bytearray(b"{}"), memoryview(b'{"a": [3]}'), '{"a": null}']
    assert program.batch(texts) == [[1], [2], [], [[3]], [None]]
    assert program.batch(iter(texts), first=True) == [1, 2, None, [3], None]
    assert program.batch(text for text in texts[:2]) == [[1], [2]]
    assert program.batch([]) == []


@pytest.mark.parametrize("query, texts, kind, index, message", [
    (".", ["1", b'{"a" 1}', "2"], TamselTextError, 1, "ExpectedObjectColon at character 5 ('1')"),
    (".a % .b", ['{"a": 1, "b": 0}', "{}"], PanicException, 0,
     "attempt to calculate the remainder with a divisor of zero"),
])
def test_batch_bad_documents(query, texts, kind, index, message):
    program = compile(query)
    with pytest.raises(kind) as raised:
        program.batch(texts)
    expected = (kind, f"text {index}: {message}", index)
    assert (type(raised.value), str(raised.value), raised.value.index) == expected
    entries = program.batch(texts, errors="skip")
    bad = entries.pop(index)
    assert (type(bad), str(bad), bad.index) == expected
    assert not any(isinstance(entry, BaseException) for entry in entries)


# --- bad arguments --------------------------------------------------------------------------

ARGUMENT_ERRORS = [
    (lambda: IDENTITY.stream(b"1", bogus=True), TypeError),
    (lambda: IDENTITY.stream(b"1", True), TypeError),
    (lambda: IDENTITY.stream(), TypeError),
    (lambda: IDENTITY.stream(b"1", errors="bogus"), ValueError),
    (lambda: IDENTITY.stream(b"1", indent=2), ValueError),
    (lambda: IDENTITY.stream(b"1", indent=0), ValueError),
    (lambda: IDENTITY.stream(b"1", as_json=True, indent=33), ValueError),
    (lambda: IDENTITY.stream(b"1", as_json=True, indent=-1), ValueError),
    (lambda: IDENTITY.stream(b"1", as_json=True, indent=" " * 33), ValueError),
    (lambda: IDENTITY.stream(b"1", as_json=True, indent=1.5), TypeError),
    (lambda: IDENTITY.stream(b"1", as_json=True, indent=b" "), TypeError),
    (lambda: IDENTITY.stream(12), TypeError),
    (lambda: IDENTITY.stream(None), TypeError),
    (lambda: IDENTITY.stream(["1", "2"]), TypeError),
    (lambda: IDENTITY.stream(memoryview(b"1 2 3")[::2]), TypeError),
    (lambda: IDENTITY.batch(["1"], bogus=True), TypeError),
    (lambda: IDENTITY.batch(["1"], errors="bogus"), ValueError),
    (lambda: IDENTITY.batch(["1"], indent=2), ValueError),
    (lambda: IDENTITY.batch(["1"], as_json=True, indent=33), ValueError),
    (lambda: IDENTITY.batch(12), TypeError),
    (lambda: IDENTITY.batch([1]), TypeError),
    (lambda: IDENTITY.batch(["1", None]), TypeError),
    (lambda: IDENTITY.batch(["1", memoryview(b"1 2 3")[::2]]), TypeError),
    (lambda: IDENTITY.first_bytes("1", indent=2), ValueError),
    (lambda: IDENTITY.input_bytes(b"1", as_json=True, indent=33), ValueError),
    (lambda: IDENTITY.first_bytes(b"1", bogus=True), TypeError),
]
for method in (IDENTITY.stream, IDENTITY.batch):
    source = b"1" if method == IDENTITY.stream else [b"1"]
    ARGUMENT_ERRORS += [
        (lambda method=method, source=source, n=n: method(source, threads=n), kind)
        for n, kind in [(0, ValueError), (-1, ValueError), (257, ValueError), (2**70, ValueError),
                        (1.0, TypeError), (True, TypeError), ("2", TypeError), (None, TypeError)]
    ]


@pytest.mark.parametrize("call, kind", ARGUMENT_ERRORS)
def test_bad_arguments(call, kind):
    with pytest.raises(kind):
        list(call())


def test_a_large_file_reads_the_same_as_memory(tmp_path):
    # Past 4 MiB a file is read in chunks of 4 MiB ahead of its texts, with
    # 1 MiB of room before each for the text the chunk before cut: texts
    # cut by a chunk's end, shorter and longer than that room and longer
    # than a chunk, must all come out as from memory.
    MiB = 1 << 20
    texts, size = [], 0

    def add(text):
        nonlocal size
        texts.append(text)
        size += len(text) + 1

    def small_until(limit):
        while size < limit:
            add(b"[%d]" % len(texts))

    small_until(3.5 * MiB)
    add(b"[" + b",".join([b"7"] * 700_000) + b"]")  # 1.4 MB across 4 MiB
    small_until(6 * MiB)
    add(b"[" + b",".join([b"7"] * 2_600_000) + b"]")  # 5.2 MB across 8 MiB
    small_until(12.5 * MiB)  # small ones across 12 MiB
    add(b"[1,")
    add(b"2]x")
    source = b"\n".join(texts)
    path = in_file(tmp_path, source)
    program = compile("length")
    expected = list(program.stream(source, per_text=True, errors="skip"))
    got = list(program.stream(path, per_text=True, errors="skip"))
    assert [x if isinstance(x, list) else described(x) for x in got] == \
        [x if isinstance(x, list) else described(x) for x in expected]
    assert [described(x)[2:] for x in expected if not isinstance(x, list)] == [
        (len(texts) - 1, len(source) - 1, len(texts))]

    # A stream dropped midway leaves neither its file nor its reading thread.
    def open_files_and_threads():
        return len(os.listdir("/proc/self/fd")), running_threads()

    before = open_files_and_threads()
    stream = program.stream(path)
    next(stream)
    assert open_files_and_threads() != before
    del stream
    assert (len(os.listdir("/proc/self/fd")), threads_left_after(before[1])) == before


@pytest.mark.skipif(os.environ.get("TAMSEL_SANITIZED") == "1", reason="too slow instrumented")
@pytest.mark.parametrize("call", ["list(program.stream(source))",
                                  "list(program.stream(source, threads=2))",
                                  "program.batch(texts)",
                                  "program.batch(texts, threads=2)"])
def test_ctrl_c_ends_a_long_stream_or_batch(call):
    # Uninterrupted, each call takes a second or more.
    setup = """
        program = tamsel_vonk.compile(".[0] + .[9]")
        source = b" ".join([b"[1,2,3,4,5,6,7,8,9,10]"] * 3_000_000)
        texts = source.split(b" ")
        """
    outcome, seconds, after = ctrl_c.run(setup, call,
                                         'print(program.first("[1,2,3,4,5,6,7,8,9,10]"))')
    assert (outcome, after) == ("interrupted", ["11"])
    assert ctrl_c.lateness(setup, call, seconds) is None


@pytest.mark.skipif(os.environ.get("TAMSEL_SANITIZED") == "1", reason="too slow instrumented")
@pytest.mark.parametrize("call", ["program.first_bytes(document)",
                                  "program.input_bytes(document)",
                                  "list(program.stream(document))",
                                  "list(program.stream(document, threads=2))",
                                  "program.batch([document])",
                                  "program.batch([document], threads=2)",
                                  # A device whose one text never ends.
                                  "list(program.stream(pathlib.Path('/dev/zero')))",
                                  "list(program.stream(pathlib.Path('/dev/zero'), threads=2))",
                                  "list(program.stream(pathlib.Path('/dev/zero'), lines=True,"
                                  " threads=2))",
                                  # Decompressed on a thread of the stream's own.
                                  "list(program.stream(gzip.compress(document, 1)))",
                                  "list(program.stream(gzip.compress(document, 1), threads=2))"])
def test_ctrl_c_ends_the_parse_of_one_large_text(call):
    # No parse stops in the middle; the call stops waiting for it.
    setup = """
        import gzip
        import pathlib
        program = tamsel_vonk.compile("length")
        document = b"[" + b"1," * (32 << 20) + b"1]"
        """
    outcome, seconds, after = ctrl_c.run(setup, call, 'print(program.first_bytes(b"[1, 2]"))')
    assert (outcome, after) == ("interrupted", ["2"])
    assert ctrl_c.lateness(setup, call, seconds) is None


# Forking while a thread runs is what the test is about.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("compress", [bytes, lambda data: gzip.compress(data, 1)],
                         ids=["plain", "gzip"])
def test_a_forked_process_cannot_use_a_stream_read_ahead(tmp_path, compress, threads):
    # The thread that reads a large file ahead (or decompresses it), and the
    # stream's own threads, are the parent's alone: the child gets an error,
    # not a hang, and dropping its copy is safe.
    path = in_file(tmp_path, compress(b"[1]\n" * (2 << 20)))
    stream = IDENTITY.stream(path, threads=threads)
    assert next(stream) == [1]
    child = os.fork()
    if child == 0:
        try:
            sum(1 for _ in stream)  # up to where the next chunk is needed
            status = 1
        except RuntimeError:
            status = 0
        del stream
        os._exit(status)
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert sum(1 for _ in stream) == (2 << 20) - 1


def test_a_value_across_lines_is_no_json_lines_text():
    # Read for a projection, each line is still one text: a value that a
    # line break cuts is two bad lines, not one good value. (A fresh program:
    # after a few reads of small documents it reads them whole.)
    source = '{"a": 1,\n"b": 2}\n[\n]\n{"a": 1, "b": 3}\n' + " " * 100
    stream = compile(".a").stream(source, lines=True, errors="skip")
    assert list(stream) == [1]
    assert [(error.index, error.line) for error in stream.skipped] == [
        (0, 1), (1, 2), (2, 3), (3, 4)]
