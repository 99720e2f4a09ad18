"""Notes beside errors: the message stays exactly as it was, and the notes
(exc.__notes__, printed by Python 3.11 and later) say where and what to
write instead. The hints themselves are tabled in tests/cpp/parser_hint_test
and value_json_hint_test; these rows check that each kind reaches Python."""
import gzip

import pytest

import tamsel_vonk
from tamsel_vonk import TamselTextError, compile

IDENTITY = compile(".")
NUL = "\0"


def caret(query, column):
    return f"  {query}\n  {' ' * column}^"


QUERIES = [
    (".items[]", "Extra chars",
     [caret(".items[]", 6),
      "every path step has its own dot here: jq's `.items[]` is written `.items.[]`"]),
    (".[] | select(.type == PushEvent)", "Extra chars",
     [caret(".[] | select(.type == PushEvent)", 22),
      'no builtin `PushEvent` (a member is written `.PushEvent`, a string `"PushEvent"`)']),
    (".a |", "Extra chars", [caret(".a |", 4), "nothing follows the `|`"]),
    ("(.a+1)*2",
     'Invalid query syntax: Parsing Error: Error { input: "(.a+1)*2", code: Digit }',
     [caret("(.a+1)*2", 0),
      "parentheses group only conditions, inside `select(...)`; to work something out first, "
      "pipe it: jq's `(.a + 1) * 2` is `.a + 1 | . * 2` here"]),
    ("lenght", 'Invalid query syntax: Parsing Error: Error { input: "lenght", code: Digit }',
     [caret("lenght", 0), "no builtin `lenght`; did you mean `length`?"]),
    # Code points, not bytes, before the caret.
    ('"café" | .x[0]', "Extra chars",
     [caret('"café" | .x[0]', 11),
      "every path step has its own dot here: jq's `.x[0]` is written `.x.[0]`"]),
    ("", 'Invalid query syntax: Parsing Error: Error { input: "", code: Digit }',
     ["the query is empty: `.` gives the input as it is"]),
    ("1.", "Extra chars", [caret("1.", 1)]),
    ("select(" * 300, "Invalid query syntax: query nested deeper than 256 levels", None),
]


@pytest.mark.parametrize("query, message, notes", QUERIES)
def test_query_errors_keep_their_message_and_get_notes(query, message, notes):
    with pytest.raises(ValueError) as raised:
        compile(query)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert getattr(raised.value, "__notes__", None) == notes


DOCUMENTS = [
    (lambda: IDENTITY.input(""), f"Syntax at character 0 ('{NUL}')",
     "the text is empty: there is no JSON value in it"),
    (lambda: IDENTITY.first("<html><body>502 Bad Gateway</body></html>"),
     "InternalError(TapeError) at character 0 ('<')",
     "the text is an HTML page, not JSON (an error page from a server?)"),
    (lambda: IDENTITY.first_bytes(gzip.compress(b"{}")), "InvalidUtf8 at character 1 ('\x8b')",
     "the text is gzip-compressed data, not JSON: `stream()` decompresses it itself, or "
     "decompress it first"),
    (lambda: list(IDENTITY.input_bytes(bytearray(b"logs/e.jsonl"))),
     "InternalError(TapeError) at character 0 ('l')",
     "the text looks like a file name, not JSON: read the file, or pass a `pathlib.Path` to "
     "`stream()`"),
    # A text the module reads where it lies, and one that is larger than the
    # size from which the bytes methods let go of the interpreter lock.
    (lambda: IDENTITY.first("[1] " + " " * 70_000 + "[2]"),
     "TrailingData at character 70004 ('[')",
     "the text goes on after its first JSON value; for a text of several (JSON Lines), "
     "`stream()` runs the query over each"),
    (lambda: IDENTITY.first_bytes(b"[1] " + b" " * 70_000 + b"[2]"),
     "TrailingData at character 70004 ('[')",
     "the text goes on after its first JSON value; for a text of several (JSON Lines), "
     "`stream()` runs the query over each"),
    # A program that reads only part of a document.
    (lambda: compile(".a.b").first('{"a": None}'), "ExpectedObjectContent at character 6 ('N')",
     "`None` is written `null` in JSON: is this Python's `str()` of an object? `json.dumps()` "
     "writes JSON"),
    (lambda: IDENTITY.first('{"a" 1}'), "ExpectedObjectColon at character 5 ('1')", None),
]


@pytest.mark.parametrize("call, message, note", DOCUMENTS)
def test_json_errors_keep_their_message_and_get_a_note(call, message, note):
    with pytest.raises(ValueError) as raised:
        call()
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert getattr(raised.value, "__notes__", None) == (None if note is None else [note])


ARGUMENTS = [
    (lambda: IDENTITY.input(b"1"), "argument 'json_text': 'bytes' object cannot be converted to "
     "'PyString'", "use `input_bytes()` for UTF-8 bytes: it takes bytes, bytearray, memoryview "
     "and str"),
    (lambda: IDENTITY.first(memoryview(b"1")), "argument 'json_text': 'memoryview' object cannot "
     "be converted to 'PyString'", "use `first_bytes()` for UTF-8 bytes: it takes bytes, "
     "bytearray, memoryview and str"),
    (lambda: IDENTITY.first(json_text=bytearray(b"1")), "argument 'json_text': 'bytearray' "
     "object cannot be converted to 'PyString'", "use `first_bytes()` for UTF-8 bytes: it takes "
     "bytes, bytearray, memoryview and str"),
    (lambda: IDENTITY.input(1), "argument 'json_text': 'int' object cannot be converted to "
     "'PyString'", None),
    (lambda: compile(b"."), "argument 'query': 'bytes' object cannot be converted to 'PyString'",
     None),
]


@pytest.mark.parametrize("call, message, note", ARGUMENTS)
def test_argument_errors_keep_their_message_and_point_to_the_bytes_methods(call, message, note):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message
    assert getattr(raised.value, "__notes__", None) == (None if note is None else [note])


def test_text_errors_are_value_errors_reached_by_name_only():
    assert issubclass(TamselTextError, ValueError)
    assert tamsel_vonk.TamselTextError is TamselTextError
    assert "TamselTextError" not in tamsel_vonk.__all__
    entries = IDENTITY.batch(["1", "[1,"], errors="skip")
    error = entries[1]
    assert (type(error), error.index, error.offset, error.line, error.message) == (
        TamselTextError, 1, None, None, "ExpectedArrayContent at character 3")
    assert repr(error) == "TamselTextError('text 1: ExpectedArrayContent at character 3')"
    with pytest.raises(ValueError, match=r"^text 1 at byte 2 \(line 1\): "):
        list(IDENTITY.stream("1 [1,"))
