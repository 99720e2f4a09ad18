"""Where the JSON text comes from: a str of any storage width, or any
contiguous bytes-like object, all giving the same results and errors."""
import array
import json
import mmap
import sys

import pytest
from hypothesis import given, settings, strategies as st

from tamsel_vonk import compile

IDENTITY = compile(".")
DOCUMENT = {"ascii": "plain", "latin1": "caf\u00e9 \u00ff", "bmp": "\u4e16\u754c \u20ac",
            "astral": "\U0001F600 \U00010348", "n": [1, -2.5, None, True]}
TEXT = json.dumps(DOCUMENT, ensure_ascii=False)


def fresh(text):
    """A str equal to `text` that no call has seen, so it has no cached UTF-8 form."""
    return "".join(list(text))


@pytest.mark.parametrize("text", [
    '{"a": "ascii only"}',
    '{"a": "latin-1 caf\u00e9"}',
    '{"a": "two bytes \u4e16"}',
    '{"a": "four bytes \U0001F600"}',
    '["' + "x" * 37 + '\u00e9' + "y" * 41 + '"]',  # non-ASCII between whole ASCII words
    TEXT,
], ids=["ascii", "latin1", "ucs2", "ucs4", "word-boundaries", "mixed"])
def test_str_of_every_width_reads_as_its_utf8(text):
    expected = json.loads(text)
    source = fresh(text)
    size = sys.getsizeof(source)
    assert IDENTITY.first(source) == expected
    assert IDENTITY.first_bytes(source) == expected
    assert sys.getsizeof(source) == size  # no cached UTF-8 copy left behind
    source.encode("utf-8")
    assert IDENTITY.first(text) == expected  # the literal may carry its UTF-8 form already


@pytest.mark.parametrize("wide", ["\u00e9", "\u4e16", "\U0001F600"], ids=["latin1", "ucs2", "ucs4"])
def test_ascii_runs_of_every_length_beside_a_wide_character(wide):
    # ASCII is carried eight characters at a time both ways (str to UTF-8
    # and back): every length of run, before and after, must come out whole.
    letters = "abcdefghijklmnopqrstuvwxyz0123456789"
    for before in range(0, 19):
        for after in (0, 1, 7, 8, 9, 17):
            value = [letters[:before] + wide + letters[:after], wide * 3 + letters[:before]]
            text = json.dumps(value, ensure_ascii=False)
            assert IDENTITY.first(fresh(text)) == value, (before, after)
            assert IDENTITY.first_bytes(text.encode()) == value, (before, after)


class Text(str):
    pass


@pytest.mark.parametrize("make", [
    bytes, bytearray, memoryview,
    lambda data: memoryview(b"xx" + data + b"yy")[2:-2],
    lambda data: array.array("B", data),
    lambda data: Text(data.decode()).encode(),
    lambda data: fresh(data.decode()),
    lambda data: Text(data.decode()),
], ids=["bytes", "bytearray", "memoryview", "memoryview-slice", "array", "subclass-encoded", "str",
        "str-subclass"])
def test_bytes_like_inputs(make):
    data = TEXT.encode()
    program = compile(".latin1, .n.[1]")
    assert program.first_bytes(make(data)) == DOCUMENT["latin1"]
    assert list(program.input_bytes(json_bytes=make(data))) == [DOCUMENT["latin1"], -2.5]


def test_mmap_input(tmp_path):
    path = tmp_path / "doc.json"
    path.write_bytes(TEXT.encode())
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as view:
        assert IDENTITY.first_bytes(view) == DOCUMENT


def outcome(call):
    try:
        return repr(call())
    except ValueError as error:
        return f"{type(error).__name__}: {error}"


# The identity's one value is made straight from the text when it can be,
# and otherwise by the parse; one parser serves call after call, with texts
# lent and written in turn, larger and smaller, taken and not.
def test_identity_gives_what_the_parse_gives_for_texts_in_turn():
    reference = compile(". | .")  # never made straight from the text
    large = json.dumps([{"id": i, "x": i / 7, "s": "\u00e9" * (i % 5)} for i in range(40000)])
    texts = [
        large, '{"a": -0, "b": -0.0, "c": 1.5e300, "d": 18446744073709551615, "a": 2}', large[:-1],
        '"\\udc00"', "[99999999999999999999]", "[1e99999]", "[1e400, -1e-400]", "[1,]", "", "  ",
        "[" * 1023 + "]" * 1023, '{"\\u00e9": "\\ud83d\\ude00"}', large,
    ]
    calls = {
        "first_bytes": lambda program, text: program.first_bytes(text.encode()),
        "first": lambda program, text: program.first(fresh(text)),
        "input_bytes": lambda program, text: list(program.input_bytes(bytearray(text.encode()))),
        "input": lambda program, text: list(program.input(text)),
    }
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))  # for the repr of the deepest text
    try:
        for text in texts * 2:
            for name, call in calls.items():
                assert outcome(lambda: call(IDENTITY, text)) == outcome(lambda: call(reference, text)), \
                    (name, text[:40])
    finally:
        sys.setrecursionlimit(limit)


@pytest.mark.parametrize("data, message", [
    (b'"\xff"', "InvalidUtf8 at character 1 ('\u00ff')"),
    (b'["ok", "\xc3("]', "InvalidUtf8 at character 8 ('\u00c3')"),  # bad continuation
    (b'"\xe2\x82"', "InvalidUtf8 at character 1 ('\u00e2')"),  # cut short
    (b'"\xed\xa0\x80"', "InvalidUtf8 at character 1 ('\u00ed')"),  # encoded surrogate
    (b'"\xf4\x90\x80\x80"', "InvalidUtf8 at character 1 ('\u00f4')"),  # above U+10FFFF
    (b'"\xc0\xaf"', "InvalidUtf8 at character 1 ('\u00c0')"),  # overlong
    (b'x\xff', "InvalidUtf8 at character 1 ('\u00ff')"),  # reported before the structure error
    (b'', "Syntax at character 0 ('\0')"),
    (b'[1] 2', "TrailingData at character 4 ('2')"),
])
def test_bytes_errors(data, message):
    for call in (IDENTITY.first_bytes, lambda d: list(IDENTITY.input_bytes(d))):
        with pytest.raises(ValueError) as info:
            call(data)
        assert str(info.value) == message


@pytest.mark.parametrize("call, error, message", [
    (lambda: IDENTITY.input_bytes(1), TypeError,
     "argument 'json_bytes': a str or a bytes-like object is required, not 'int'"),
    (lambda: IDENTITY.first_bytes(None), TypeError,
     "argument 'json_bytes': a str or a bytes-like object is required, not 'NoneType'"),
    (lambda: IDENTITY.first_bytes(memoryview(b"[1, 2]")[::2]), TypeError,
     "argument 'json_bytes': 'memoryview' object is not a contiguous buffer"),
    (lambda: IDENTITY.input_bytes(), TypeError,
     "TamselProgram.input_bytes() missing 1 required positional argument: 'json_bytes'"),
    (lambda: IDENTITY.first_bytes(b"1", b"2"), TypeError,
     "TamselProgram.first_bytes() takes 1 positional arguments but 2 were given"),
    (lambda: IDENTITY.first_bytes(json_text=b"1"), TypeError,
     "TamselProgram.first_bytes() got an unexpected keyword argument 'json_text'"),
    (lambda: IDENTITY.first(b"1"), TypeError,
     "argument 'json_text': 'bytes' object cannot be converted to 'PyString'"),
])
def test_bytes_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_closed_mmap_reports_the_buffer_error():
    view = mmap.mmap(-1, 4)
    view.close()
    with pytest.raises(ValueError, match="closed"):
        IDENTITY.first_bytes(view)


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_categories=["Cs"]), max_size=60))
def test_str_and_its_utf8_bytes_agree(value):
    text = json.dumps([value, {value: 1}], ensure_ascii=False)
    expected = [value, {value: 1}]
    assert IDENTITY.first(fresh(text)) == expected
    assert IDENTITY.first_bytes(text.encode()) == expected


def test_sub_interpreter_import_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no run_in_subinterp in this interpreter")
    import os
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        report = os.path.join(folder, "report")
        code = (
            "try:\n    import tamsel_vonk\n    outcome = 'imported'\n"
            "except ImportError as e:\n    outcome = 'ImportError: ' + str(e)\n"
            f"open({report!r}, 'w').write(outcome)\n"
        )
        testcapi.run_in_subinterp(code)
        with open(report) as f:
            assert f.read().startswith("ImportError: tamsel_vonk does not support sub-interpreters")


def test_import_after_removal_gives_the_same_module():
    import importlib

    module = sys.modules.pop("tamsel_vonk")
    try:
        assert importlib.import_module("tamsel_vonk") is module
    finally:
        sys.modules["tamsel_vonk"] = module
