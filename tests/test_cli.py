"""The tamsel-vonk command: a stream of documents in, every result out as JSON."""
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tracemalloc
from pathlib import Path

import pytest

tamsel_vonk_cli = pytest.importorskip("tamsel_vonk_cli")

ROOT = Path(__file__).resolve().parent.parent


def run(args, stdin=b"", files=None, tmp_path=None):
    """Runs main() in-process; returns (status, stdout text, stderr text)."""
    for name, content in (files or {}).items():
        (tmp_path / name).write_bytes(content)
    args = [str(tmp_path / a) if files and a in files else a for a in args]
    out, err = io.BytesIO(), io.StringIO()
    status = tamsel_vonk_cli.main(args, stdin=io.BytesIO(stdin), stdout=out, stderr=err)
    return status, out.getvalue().decode("utf-8"), err.getvalue()


@pytest.mark.parametrize("args, stdin, stdout", [
    ([".a.[]"], b'{"a": [1, "x", null]}', '1\n"x"\nnull\n'),
    ([".[] | select(. > 1)"], b"[1]", ""),
    # Non-ASCII stays as it is; no spaces after separators; floats as tojson writes them.
    (["-c", "{n: .name, v: .v}"], '{"name": "é€😀", "v": 1.0}'.encode(), '{"n":"é€😀","v":1}\n'),
    (["nan, infinite, .a - infinite, .f, 1.5"], b'{"a": 0, "f": 1e-7}',
     "null\n1.7976931348623157e+308\n-1.7976931348623157e+308\n0.0000001\n1.5\n"),
    # A key repeated in the document is printed as often as it was written.
    (["-c", "."], b'{"a": 1, "a": 2}', '{"a":1,"a":2}\n'),
    # --first prints null for a null first result and nothing for no result.
    (["--first", ".[]"], b"[null, 1]", "null\n"),
    (["--first", ".[]"], b"[]", ""),
    (["--first", ".[] | select(. > 1)"], b"[1, 2, 3]", "2\n"),
    # Trailing Unicode white space after the query is ignored, as compile() does.
    (["length\u3000\u00a0\n"], b'"abc"', "3\n"),
    # A byte order mark before the document is skipped.
    (["-c"], b"\xef\xbb\xbf[1]", "[1]\n"),
    # --lines: one document per non-blank line.
    (["-l", ".id"], b'{"id": 1}\n\n   \n{"id": 2}\r\n{"x": 0}\n{"id": 3}', "1\n2\n3\n"),
    (["--lines", "."], b"", ""),
    # A stream: documents separated by white space or back to back.
    (["-c"], b'{"a": 1}{"a": 2}\n3 "x"[4]\n\n', '{"a":1}\n{"a":2}\n3\n"x"\n[4]\n'),
    ([".a"], b"  \n ", ""),
    # Pretty by default, as jq: two spaces, "key": value, [] and {} on one line;
    # tokens are never changed, in strings neither.
    (["."], b'{"a": [1.0, {}, []], "k:,[": "]{", "b": {"c": 1e-7}}',
     '{\n  "a": [\n    1,\n    {},\n    []\n  ],\n  "k:,[": "]{",\n  "b": {\n    "c": 0.0000001\n  }\n}\n'),
    (["--tab", ".a"], b'{"a": [1]}', "[\n\t1\n]\n"),
    (["--indent", "1", ".a"], b'{"a": [1]}', "[\n 1\n]\n"),
    (["--indent", "0", ".a"], b'{"a": [1, 2]}', "[1,2]\n"),
    # Of -c, --tab and --indent, the last one given wins.
    (["-c", "--tab", ".a"], b'{"a": [1]}', "[\n\t1\n]\n"),
    (["--tab", "--indent", "1", ".a"], b'{"a": [1]}', "[\n 1\n]\n"),
    # Options stand anywhere among the query and the files.
    ([".a", "-c", "-"], b'{"a": [1]}', "[1]\n"),
    ([".a", "-", "-c"], b'{"a": [1]}', "[1]\n"),
    # Raw output: strings as their text, other values as JSON.
    (["-r", ".[]"], '["a\\"\\u00e9\\n", [1], null]'.encode(), 'a"é\n\n[\n  1\n]\nnull\n'),
    (["-j", ".[]"], b'["a", 1, "b"]', "a1b"),
    # Null input reads nothing; slurp runs once over an array of all documents.
    (["-n", "1, 2"], b"not read", "1\n2\n"),
    (["-s", "-c"], b'1 [2]\n{"a": 3}', '[1,[2],{"a":3}]\n'),
    (["-s", "--lines", ".[] | .id"], b'{"id": 1}\n\n{"id": 2}\n', "1\n2\n"),
    (["-s", "length"], b"", "0\n"),
    (["-s", "-l", "-c"], b"\xef\xbb\xbf1\n2", "[1,2]\n"),
    # --elements: each element of the one array is a document.
    (["--elements", "-c", ".a"], b'[{"a": 1},\n {"a": [2]}, {"b": 3}]\n', "1\n[2]\n"),
    (["--elements"], b"[]", ""),
    (["--elements-at", ".data.rows", "-c"], b'{"n": 2, "data": {"rows": [[1], {}]}}', "[1]\n{}\n"),
    (["--elements-at=.items", "--elements", "-c"], b"[1]", "1\n"),
    (["-s", "-c", "--elements"], b"[1, [2]]", "[1,[2]]\n"),
])
def test_results_are_printed_one_per_line(args, stdin, stdout, tmp_path):
    assert run(args, stdin, tmp_path=tmp_path) == (0, stdout, "")


LAYOUT_INPUT = b'{"a": [], "b": {"c": [1, {}], "d": "x"}} [] "s"'


@pytest.mark.parametrize("options, stdout", [
    ([], '{\n  "a": [],\n  "b": {\n    "c": [\n      1,\n      {}\n    ],\n    "d": "x"\n  }\n}\n'
         '[]\n"s"\n'),
    (["--tab"], '{\n\t"a": [],\n\t"b": {\n\t\t"c": [\n\t\t\t1,\n\t\t\t{}\n\t\t],\n'
                '\t\t"d": "x"\n\t}\n}\n[]\n"s"\n'),
    (["--indent", "3"], '{\n   "a": [],\n   "b": {\n      "c": [\n         1,\n         {}\n'
                        '      ],\n      "d": "x"\n   }\n}\n[]\n"s"\n'),
    (["-c"], '{"a":[],"b":{"c":[1,{}],"d":"x"}}\n[]\n"s"\n'),
    (["--indent", "0"], '{"a":[],"b":{"c":[1,{}],"d":"x"}}\n[]\n"s"\n'),
    (["-j"], '{\n  "a": [],\n  "b": {\n    "c": [\n      1,\n      {}\n    ],\n    "d": "x"\n  }\n}'
             '[]s'),
])
def test_layout_of_nested_and_empty_containers(options, stdout, tmp_path):
    assert run(options + ["."], LAYOUT_INPUT, tmp_path=tmp_path) == (0, stdout, "")


@pytest.mark.parametrize("args, stdin, stdout", [
    (["-c", "."], "[" * 1024 + "]" * 1024, "[" * 1024 + "]" * 1024 + "\n"),
    (["-s", "-c", ".[0]"], "[" * 1023 + "]" * 1023, "[" * 1023 + "]" * 1023 + "\n"),
    # Slurped documents keep the numbers they were read with.
    (["-s", "-c", ".[0] + .[1], .[2]"], "1e300 -1e300 1.5", "0\n1.5\n"),
])
def test_documents_at_the_limits_print_as_json(args, stdin, stdout, tmp_path):
    assert run(args, stdin.encode(), tmp_path=tmp_path) == (0, stdout, "")


ESC = "\x1b["


@pytest.mark.parametrize("args, stdin, stdout", [
    # Keys sorted by code point, at every depth; a key written twice keeps its order.
    (["-S", "-c"], '{"é": 1, "z": [{"y": 2, "x": 3}], "\\u0000": 4, "Z": 5, "\\"": 6, "a b": 7, "a": 8}',
     '{"\\u0000":4,"\\"":6,"Z":5,"a":8,"a b":7,"z":[{"x":3,"y":2}],"é":1}\n'),
    (["-S", "-c"], '{"b": 1, "a": 2, "b": 3}', '{"a":2,"b":1,"b":3}\n'),
    # Numbers stay as the module writes them.
    (["-S", "-c", "{z: infinite, b: .b, a: .a}"], '{"b": [1.0, 1e-7, 1e30, -0.0], "a": 18446744073709551615}',
     '{"a":18446744073709551615,"b":[1,0.0000001,1' + "0" * 30 + ',-0],"z":1.7976931348623157e+308}\n'),
    # Any depth.
    (["-S", "-c"], '{"b": ' * 1023 + "[]" + "}" * 1023, '{"b":' * 1023 + "[]" + "}" * 1023 + "\n"),
    # Raw strings with -a: the text, with escapes but without quotes.
    (["-r", "-a", ".[]"], '["é😀\\n", 1]', "\\u00e9\\ud83d\\ude00\n\n1\n"),
    # DEL is escaped in JSON, and stays as it is in a raw string.
    (["-c", "., tojson"], '"\\u007f"', '"\\u007f"\n"\\"\\u007f\\""\n'),
    (["-r", "."], '"\\u007f"', "\x7f\n"),
    # Of -C and -M, the last one wins.
    (["-M", "-C", "-c", ".a"], '{"a": [1]}', f"{ESC}1;39m[{ESC}0;39m1{ESC}0m{ESC}1;39m{ESC}1;39m]{ESC}0m\n"),
    (["-C", "-M", "-c", ".a"], '{"a": [1]}', "[1]\n"),
    # --seq: a bad text loses the rest of its record only; input without RS
    # reads as without --seq.
    (["--seq", "-c"], '1 2\n\x1e[3]\n\x1e\x1e"x"', '\x1e1\n\x1e2\n\x1e[3]\n\x1e"x"\n'),
    # --raw-input: every line a string, without its line break; a byte order
    # mark at the start is skipped.
    (["-R", "-c"], "\ufeffa\r\n\n\tb\\\"", '"a\\r"\n""\n"\\tb\\\\\\""\n'),
    (["-R", "-s", "-c"], "\ufeffa\nb\n", '"a\\nb\\n"\n'),
    (["-R", "-c"], "", ""),
    (["-R", "-s", "-c"], "", '""\n'),
    (["-R", "-l", "-c", "length"], "ab\n[1]\n", "2\n3\n"),
])
def test_what_the_output_options_make(args, stdin, stdout, tmp_path, monkeypatch):
    monkeypatch.delenv("JQ_COLORS", raising=False)
    assert run(args, stdin.encode(), tmp_path=tmp_path) == (0, stdout, "")


@pytest.mark.parametrize("args, stdin", [
    # Without -S or colour, the layout is the module's; with them, the
    # same, but for the order of keys and the escapes of colour.
    (options + ["."], LAYOUT_INPUT + b' {"k": [1.5, "\\u0001\\"\\t", null, true, false, -0.0]}')
    for options in ([], ["-c"], ["--tab"], ["--indent", "5"])
])
def test_sorted_keys_and_colour_keep_the_modules_layout(args, stdin, tmp_path):
    plain = run(args, stdin, tmp_path=tmp_path)
    strip = __import__("re").compile(r"\x1b\[[0-9;]*m").sub
    assert run(["-S"] + args, stdin, tmp_path=tmp_path) == plain
    status, out, err = run(["-C"] + args, stdin, tmp_path=tmp_path)
    assert (status, strip("", out), err) == plain and ESC in out


JQ = shutil.which("jq")
DOC = '{"b": [1, {"d": null, "c": true}], "a": "é\\u007f\\t😀\\"", "e": {}, "f": [], "x": false, "n": -1.5}'
RAW = b'a\tb\r\n\nc\\"d\x00\x7f\n\xc3\xa9'
SEQ = b'\x1e{"a": "s", "b": 1}\n\x1e["t", [2]]\n\x1e[]\n'


@pytest.mark.skipif(JQ is None, reason="jq is not installed")
@pytest.mark.parametrize("args, stdin, colours", [
    (["-S", "."], DOC, None),
    (["-S", "-c", "."], DOC, None),
    (["-S", "--tab", "."], DOC, None),
    (["-S", "--indent", "3", "."], DOC, None),
    (["-a", "."], DOC, None),
    (["-a", "-c", "-S", "."], DOC, None),
    (["-c", ".a"], '{"a": "\\u007f"}', None),
    (["-C", "."], DOC, None),
    (["-C", "-c", "."], DOC, None),
    (["-C", "--tab", "-S", "."], DOC, None),
    (["-C", "--indent", "1", "-a", "."], DOC, None),
    (["-C", "-r", ".[]"], '["s", 1, [null, "t"], {}]', None),
    (["-C", "-j", ".[]"], '["s", 1, [null, "t"], {}]', None),
    (["-C", "-M", "."], DOC, None),
    (["-M", "."], DOC, None),
    (["-C", "-c", "."], DOC, "31:32:33:34:35:36:37"),
    (["-C", "-c", "."], DOC, "1;31:::"),  # empty colours; the fourth is not given
    (["-C", "-c", "."], DOC, ":"),
    (["-C", "-c", "."], DOC, "123456789012:;;:01;4:1:2:3:4:x"),  # past the seventh, ignored
    (["-C", "-c", "."], DOC, "31:x"),  # cannot be used: every colour is the default
    (["-C", "-c", "."], DOC, "1234567890123"),
    (["--seq", "."], SEQ, None),
    (["--seq", "-c", "-r", ".[]"], SEQ, None),
    (["--seq", "-j", ".[]"], SEQ, None),
    (["--seq", "-C", "-c", "."], SEQ, None),
    (["-R", "."], RAW, None),
    (["-R", "-r", "."], RAW, None),
    (["-R", "-s", "."], RAW, None),
    (["-R", "-c", "length"], RAW, None),
    (["-R", "-n", "."], RAW, None),
    (["--unbuffered", "-c", ".[]"], "[1, \"x\"] [2]", None),
])
def test_output_options_print_what_jq_prints(args, stdin, colours, tmp_path, monkeypatch):
    stdin = stdin if isinstance(stdin, bytes) else stdin.encode()
    env = dict(os.environ)
    env.pop("JQ_COLORS", None)
    monkeypatch.delenv("JQ_COLORS", raising=False)
    if colours is not None:
        env["JQ_COLORS"] = colours
        monkeypatch.setenv("JQ_COLORS", colours)
    jq = subprocess.run([JQ] + args, input=stdin, capture_output=True, env=env, timeout=60)
    status, out, err = run(args, stdin, tmp_path=tmp_path)
    assert (status, out) == (jq.returncode, jq.stdout.decode("utf-8"))
    # Where jq warns, so do we.
    assert bool(err) == bool(jq.stderr)


class Generated:
    """Binary standard input of SIZE bytes, BLOCK over and over, made as it is read."""

    def __init__(self, block, size):
        self.block, self.size, self.done = block, size, 0

    def read(self, n):  # no default: reading all of it at once is a fault
        start = self.done % len(self.block)
        piece = self.block[start:start + min(n, self.size - self.done)]
        self.done += len(piece)
        return piece


class Counted:
    """Standard output that counts the lines written, and notes how much of
    the input had been read at the first write."""

    def __init__(self, source):
        self.source, self.lines, self.read_at_first = source, 0, None

    def write(self, data):
        if self.read_at_first is None:
            self.read_at_first = self.source.done
        self.lines += data.count(b"\n")

    def flush(self):
        pass


@pytest.mark.parametrize("options", [[], ["--lines"]])
def test_large_input_flows_through_in_pieces(options):
    block = b'{"type": "PushEvent", "actor": {"login": "ann"}}\n{"type": "Watch"}\n' * 1024
    size = len(block) * 128  # 8.5 MiB
    source = Generated(block, size)
    out = Counted(source)
    tracemalloc.start()
    try:
        status = tamsel_vonk_cli.main(options + ['select(.type == "PushEvent") | .actor.login'],
                                      stdin=source, stdout=out, stderr=sys.stderr)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert (status, source.done, out.lines) == (0, size, size // len(block) * 1024)
    assert out.read_at_first < size // 4
    assert peak < 4 << 20  # a small part of the input


def test_files_are_documents_in_order_and_dash_is_stdin(tmp_path):
    files = {"one.json": b'{"v": 1}', "two.json": b'{"v": 2}'}
    status, out, err = run([".v", "two.json", "-", "one.json"], b'{"v": 0}', files, tmp_path)
    assert (status, out, err) == (0, "2\n0\n1\n", "")


FAULT = "attempt to calculate the remainder with a divisor of zero"


@pytest.mark.parametrize("args, stdin, files, status, stdout, stderr", [
    # A bad query stops before any input is read.
    # The module's notes come under the message.
    (["foo", "missing.json"], b"", {}, 3, "",
     'tamsel-vonk: query: Invalid query syntax: Parsing Error: Error { input: "foo", code: Digit }\n'
     "    foo\n    ^\n  no builtin `foo` (a member is written `.foo`, a string `\"foo\"`)\n"),
    ([".a[0]"], b"{}", {}, 3, "", "tamsel-vonk: query: Extra chars\n    .a[0]\n      ^\n"
     "  every path step has its own dot here: jq's `.a[0]` is written `.a.[0]`\n"),
    # A command-line argument that was not UTF-8 arrives with lone surrogates.
    ([".a\udcff"], b"{}", {}, 3, "", "tamsel-vonk: query: not UTF-8 text\n"),
    # Bad JSON is reported with its source and line, and the next file still runs.
    (["-c", ".", "bad.json", "good.json"], b"", {"bad.json": b"[1,]", "good.json": b"[1]"}, 4,
     "[1]\n", "tamsel-vonk: {tmp}/bad.json:1: ExpectedArrayContent at character 3 (']')\n"),
    # The rest of a stream after a bad document is not read; with --lines,
    # every bad line is reported.
    ([".a"], b'{"a": 1}\n{"a": 2\n{"a": 3}\n', {}, 4, "1\n",
     "tamsel-vonk: <stdin>:2: ExpectedObjectContent at character 8 ('{')\n"),
    (["-l", ".a"], b'{"a": 1}\n{"a":\n{"a": 3}\n]\n', {}, 4, "1\n3\n",
     "tamsel-vonk: <stdin>:2: ExpectedObjectContent at character 5\n"
     "tamsel-vonk: <stdin>:4: InternalError(TapeError) at character 0 (']')\n"),
    # With --slurp too, the file and the document are named, not the array made of them.
    (["-s", ".", "good.json", "bad.json"], b"", {"bad.json": b"[1,]", "good.json": b"[1]"}, 4,
     "", "tamsel-vonk: {tmp}/bad.json:1: ExpectedArrayContent at character 3 (']')\n"),
    (["-s", "."], '"é"\n[1,]'.encode(), {}, 4, "",
     "tamsel-vonk: <stdin>:2: ExpectedArrayContent at character 3 (']')\n"),
    (["-s", "-l", "."], b'1\n\n{"a":\n', {}, 4, "",
     "tamsel-vonk: <stdin>:3: ExpectedObjectContent at character 5\n"),
    # The array of the documents is one level deeper than any of them.
    (["-s", "."], b"[" * 1024 + b"]" * 1024, {}, 4, "",
     "tamsel-vonk: <slurped input>: NestingTooDeep at character 1024 ('[')\n"),
    # An unreadable file is reported and skipped; after "--", "-x" is a file.
    (["-c", "--", ".", "-x"], b"", {}, 5, "",
     "tamsel-vonk: -x: cannot read: No such file or directory\n"),
    ([".", "nope.json", "good.json"], b"", {"good.json": b"2"}, 5, "2\n",
     "tamsel-vonk: nope.json: cannot read: No such file or directory\n"),
    # An internal fault ends that document only.
    (["-l", "10 % .d"], b'{"d": 0}\n{"d": 3}\n', {}, 6, "1\n",
     f"tamsel-vonk: <stdin>:1: internal fault: {FAULT}\n"),
    (["10 % .d"], b'{"d": 3} {"d": 0} {"d": 4}\n[1,] {"d": 5}', {}, 6, "1\n2\n",
     f"tamsel-vonk: <stdin>:1: internal fault: {FAULT}\n"
     "tamsel-vonk: <stdin>:2: ExpectedArrayContent at character 3 (']')\n"),
    (["-n", "1 % 0"], b"", {}, 6, "", f"tamsel-vonk: null input: internal fault: {FAULT}\n"),
    # The first problem decides the status.
    ([".", "nope.json", "bad.json"], b"", {"bad.json": b"["}, 5, "",
     "tamsel-vonk: nope.json: cannot read: No such file or directory\n"
     "tamsel-vonk: {tmp}/bad.json:1: ExpectedArrayContent at character 1\n"),
    # A message stays on one line.
    (["-c"], b"[1,\x01]", {}, 4, "",
     "tamsel-vonk: <stdin>:1: ExpectedArrayContent at character 3 ('\\u{1}')\n"),
    ([".", "a\nb\x85.json"], b"", {}, 5, "",
     "tamsel-vonk: a\\nb\\u{85}.json: cannot read: No such file or directory\n"),
    # Raw input that is not UTF-8, line by line; with --slurp nothing runs.
    (["-R", "-s", ".", "good.txt", "-"], b"a\n\xff\nb\xc3", {"good.txt": b"x"}, 4, "",
     "tamsel-vonk: <stdin>:2: InvalidUtf8 at character 0 ('\xff')\n"
     "tamsel-vonk: <stdin>:3: InvalidUtf8 at character 1 ('\xc3')\n"),
    (["-R", ".", "nope.txt"], b"", {}, 5, "",
     "tamsel-vonk: nope.txt: cannot read: No such file or directory\n"),
    # --seq and --slurp: every bad record is reported, and nothing runs.
    (["--seq", "-s", "-c", ".", "in.json"], b"", {"in.json": b'\x1e1\n\x1e[2,\n\x1e3\n\x1e{'}, 4,
     "", "tamsel-vonk: {tmp}/in.json:2: ExpectedArrayContent at character 4\n"
     "tamsel-vonk: {tmp}/in.json:4: ExpectedObjectKey at character 1\n"),
    (["--seq", ".", "nope.json"], b"", {}, 5, "",
     "tamsel-vonk: nope.json: cannot read: No such file or directory\n"),
    # --elements: a bad element is reported and the next one runs; a broken
    # array ends its input, after the results before.
    (["--elements", "-c"], b"[1,\n tru,\n 3]", {}, 4, "1\n3\n",
     "tamsel-vonk: <stdin>:2: ExpectedTrue at character 0 ('t')\n"),
    (["--elements", "-c", ".", "-", "good.json"], b"[1, 2 3]", {"good.json": b"[4]"}, 4, "1\n2\n4\n",
     "tamsel-vonk: <stdin>: not one JSON array of elements: expected ',' or ']' after an "
     "element, found '3' at byte 6\n"),
    (["--elements-at", ".items"], b'{"item": []}', {}, 4, "",
     "tamsel-vonk: <stdin>: not one JSON array of elements: the source has no array at .items: "
     "the object holds no member \"items\", found '}' at byte 11\n"),
])
def test_problems_go_to_stderr_with_a_status(args, stdin, files, status, stdout, stderr,
                                             tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = run(args, stdin, files, tmp_path)
    assert result == (status, stdout, stderr.replace("{tmp}", str(tmp_path)))


class Merged:
    """Standard output and error in one, as 2>&1 shows them."""

    def __init__(self):
        self.text = ""

    def write(self, data):
        self.text += data if isinstance(data, str) else data.decode("utf-8")

    def flush(self):
        pass


@pytest.mark.parametrize("options, ended", [(["-l"], False), ([], True)])
def test_each_problem_comes_in_its_place_among_the_results(options, ended):
    # Lines 1 to 60, with faults ("0") and bad JSON ("]") before, at and after
    # the end of the first chunk of results, and last.
    bad = {4: "0", 17: "]", 20: "0", 21: "]", 40: "0", 60: "]"}
    stdin = "".join(bad.get(n, str(n)) + "\n" for n in range(1, 61)).encode()
    expected = ""
    for n in range(1, 61):
        if n not in bad:
            expected += f"{10 % n}\n"
        elif bad[n] == "0":
            expected += f"tamsel-vonk: <stdin>:{n}: internal fault: {FAULT}\n"
        else:
            expected += f"tamsel-vonk: <stdin>:{n}: InternalError(TapeError) at character 0 (']')\n"
            if ended:  # bad JSON ends the input, but for --lines
                break
    out = Merged()
    status = tamsel_vonk_cli.main(options + ["10 % ."], stdin=io.BytesIO(stdin), stdout=out,
                                  stderr=out)
    assert (status, out.text) == (6, expected)


@pytest.mark.parametrize("args, stdin, merged", [
    (["-R", "-c", "."], b"a\nx\xffy\nb\n\xe9",
     '"a"\ntamsel-vonk: <stdin>:2: InvalidUtf8 at character 1 (\'\xff\')\n"b"\n'
     "tamsel-vonk: <stdin>:4: InvalidUtf8 at character 0 ('\xe9')\n"),
    (["--seq", "-c", "."], b'\x1e1\n\x1e[1,\n]\n\x1e3 [\n\x1e4',
     "\x1e1\ntamsel-vonk: <stdin>:2: ExpectedArrayContent at character 4 (']')\n\x1e3\n"
     "tamsel-vonk: <stdin>:4: ExpectedArrayContent at character 2\n\x1e4\n"),
])
def test_raw_lines_and_records_report_problems_in_their_place(args, stdin, merged):
    out = Merged()
    status = tamsel_vonk_cli.main(args, stdin=io.BytesIO(stdin), stdout=out, stderr=out)
    assert (status, out.text) == (4, merged)


def test_notes_of_an_exception_are_printed_under_its_message(monkeypatch):
    def compile(query):
        error = ValueError("Invalid query syntax: Parsing Error: ...")
        error.__notes__ = ["at character 3", "did you mean\n`length`?\x1b"]
        raise error

    monkeypatch.setattr(tamsel_vonk_cli.tamsel_vonk, "compile", compile)
    err = io.StringIO()
    assert tamsel_vonk_cli.main(["lenght"], stderr=err) == 3
    assert err.getvalue() == ("tamsel-vonk: query: Invalid query syntax: Parsing Error: ...\n"
                              "  at character 3\n  did you mean\n  `length`?\\u{1b}\n")


def test_a_directory_is_an_unreadable_file(tmp_path):
    status, out, err = run([".", str(tmp_path)], tmp_path=tmp_path)
    assert status == 5 and out == "" and err.startswith(f"tamsel-vonk: {tmp_path}: cannot read: ")


def test_text_that_is_not_utf8_is_bad_json(tmp_path):
    status, out, err = run([".a"], b"\xff{}", tmp_path=tmp_path)
    assert (status, out) == (4, "") and err.startswith("tamsel-vonk: <stdin>")


@pytest.mark.parametrize("query, stdin, status", [
    (".", b"1", 0),
    (".", b"null", 1),
    (".[]", b"[true, false]", 1),
    (".[]", b"[false, 0]", 0),
    (".[]", b"[]", 4),
    (".[]", b"[1] []", 0),  # the last result decides, not the last document
])
def test_exit_status_follows_the_last_result(query, stdin, status, tmp_path):
    assert run(["-e", query], stdin, tmp_path=tmp_path)[0] == status
    assert run([query], stdin, tmp_path=tmp_path)[0] == 0


def test_the_query_can_come_from_a_file(tmp_path):
    files = {"q.tv": b".a.[]\n", "in.json": b'{"a": [1, 2]}'}
    assert run(["-f", "q.tv", "in.json"], files=files, tmp_path=tmp_path) == (0, "1\n2\n", "")
    status, out, err = run(["-f", str(tmp_path / "nope.tv")], tmp_path=tmp_path)
    assert (status, out) == (3, "") and "nope.tv: cannot read: " in err


@pytest.mark.parametrize("args, message", [
    ([".", "--arg", "x", "1"], "--arg is not supported: the query language has no variables"),
    (["--argjson", "x", "1", "."], "--argjson is not supported"),
    (["--stream", "."], "--stream is not supported: the query language has no path events; "),
    (["-Lmodules", "."], "-L is not supported: the query language has no modules; "),
    (["--argfile", "x", "f.json", "."], "--argfile is not supported: the query language has no "),
    (["--indent", "8", "."], "--indent takes 0 to 7 spaces"),
    (["--elements-at", "items", "."], "--elements-at takes a path of keys, such as .items"),
    (["--elements", "-l", "."], "--elements reads each input as one array, which --lines does not"),
    (["--elements", "-n", "."], "--elements reads each input as one array, which --null-input "),
    (["--indent=", "."], "--indent takes 0 to 7 spaces"),
    # argparse's own messages, for what the command line's parser leaves to it.
    (["-x"], "error: unrecognized arguments: -x"),
    (["-1e3"], "error: unrecognized arguments: -1e3"),
    (["-f"], "error: argument -f/--from-file: expected one argument"),
    (["-f", "-c", "."], "error: argument -f/--from-file: expected one argument"),
    (["-f", "--", "q.tv"], "error: argument -f/--from-file: expected one argument"),
    # argparse's words for this one differ between Python versions.
    (["-cx", "."], "tamsel-vonk: error: "),
    (["--lines=1", "."], "error: argument -l/--lines: ignored explicit argument '1'"),
    (["--ar", "."], "error: ambiguous option: --ar could match --arg, --argjson, --args"),
])
def test_usage_errors_exit_with_status_2(args, message, capsys):
    try:
        status = tamsel_vonk_cli.main(args, stdin=io.BytesIO(b"1"), stdout=io.BytesIO(),
                                      stderr=sys.stderr)
    except SystemExit as exited:
        status = exited.code
    assert status == 2
    assert message in capsys.readouterr().err


# Command lines, and whether the command line's own parser reads them (the
# rest it leaves to argparse); either way they must read as argparse reads them.
@pytest.mark.parametrize("argv, fast", [
    ([], True),
    ([".a", "in.json", "-", ""], True),
    ([".a", "-c", "in.json", "-l", "-"], True),
    (["-cr", ".a"], True),
    (["-nr", "1"], True),
    (["-lnsrjec"], True),
    (["--first", "--lines", "--null-input", "--slurp", "--raw-output", "--join-output",
      "--compact-output", "--exit-status"], True),
    (["-f", "q.tv", "a.json", "b.json"], True),
    (["-lcf", "q.tv", "a.json"], True),
    (["-fq.tv", "-f-"], True),
    (["--from-file", "q.tv", "--from-file=r.tv", "x"], True),
    (["-f", "-", "-f", "-1"], True),
    (["-f", "q.tv", "--", "a.json"], True),
    (["--indent", "3"], True),
    (["--indent=3"], True),
    (["--indent", "0"], True),
    (["--indent", "+7"], True),
    (["-c", "--tab", "--indent", "1", "-c"], True),
    (["--indent", "1", "--tab"], True),
    (["-RSaCM", "--seq", "--unbuffered"], True),
    (["-M", "-C"], True),
    (["--raw-input", "--sort-keys", "--ascii-output", "--color-output", "--monochrome-output"],
     True),
    # Negative numbers are queries; after "--", anything is.
    (["-1"], True),
    (["-0.5", "-"], True),
    (["-.5", "-c"], True),
    ([".", "--", "-c", "--", "-x"], True),
    (["--", "-f", "x"], True),
    # Left to argparse.
    (["--comp", ".a"], False),
    (["--fi", "--ind", "3", "--ind=4"], False),
    (["-f=q.tv", "."], False),
    (["--from-file=", "."], False),
    (["-1 + 2"], False),
    (["-f", "-1 + 2"], False),
])
def test_the_command_lines_parser_reads_as_argparse_does(argv, fast, monkeypatch):
    parse = tamsel_vonk_cli._parse_args
    slow = parse(argv, io.BytesIO(), fast=False)
    if fast:
        monkeypatch.setattr(tamsel_vonk_cli, "_argparse_parser", None)
    # What neither sets is the same default, the class's.
    assert vars(parse(argv, io.BytesIO())) == vars(slow)


def test_version_is_printed_on_stdout():
    out = io.BytesIO()
    with pytest.raises(SystemExit) as exited:
        tamsel_vonk_cli.main([".", "--version"], stdout=out, stderr=io.StringIO())
    assert exited.value.code == 0 and out.getvalue().startswith(b"tamsel-vonk ")


# Modules that take longer to import than an ordinary run takes.
SLOW_MODULES = ["argparse", "enum", "gettext", "importlib.metadata", "json", "re", "typing"]


def test_ordinary_runs_import_no_slow_module(tmp_path):
    (tmp_path / "in.json").write_bytes('{"a": ["x", 1, "é\\n"]}'.encode())
    runs = [["-n", "1"], ["-c", ".a", "in.json", "--indent", "3", "-l"], ["-cr", ".a.[]", "in.json"],
            ["--first", "-e", "--tab", "--", ".a", "in.json"], ["-R", "-a", ".", "in.json"],
            ["--seq", "--unbuffered", "-M", ".", "in.json"]]
    done = subprocess.run(
        [sys.executable, "-c", "import sys; loaded = set(sys.modules); import tamsel_vonk_cli\n"
         f"for argv in {runs!r}: tamsel_vonk_cli.main(argv)\n"
         f"print(sorted((set(sys.modules) - loaded) & set({SLOW_MODULES!r})))"],
        capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (done.stdout.splitlines()[-1], done.stderr) == ("[]", "")


def installed_command():
    path = Path(sysconfig.get_path("scripts")) / "tamsel-vonk"
    if not path.exists():
        pytest.skip("the tamsel-vonk command is not installed with this interpreter")
    return str(path)


def test_installed_command_runs_on_the_sample():
    done = subprocess.run(
        [installed_command(), ".books.[] | select(.price < 10) | .title",
         str(ROOT / "examples" / "sample.json")],
        capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (
        0, '"The Long Query"\n"Objects in Mirror"\n', "")


def test_installed_command_stops_quietly_when_the_reader_goes_away(tmp_path):
    big = tmp_path / "big.json"
    big.write_text("[" + ",".join(['"' + "x" * 100 + '"'] * 200000) + "]")
    done = subprocess.run(f"'{installed_command()}' '.[]' '{big}' | head -n 1",
                          shell=True, capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONUNBUFFERED="0"))
    assert done.stdout == '"' + "x" * 100 + '"\n'
    assert done.stderr == ""


class Trickle:
    """Standard input that gives one line a read, counting the reads."""

    def __init__(self, lines):
        self.lines, self.reads = list(lines), 0

    def read1(self, n):
        self.reads += 1
        return self.lines.pop(0) if self.lines else b""

    read = read1


class Flushes:
    """Standard output that notes how many reads of SOURCE each flush came after."""

    def __init__(self, source):
        self.source, self.after = source, []

    def write(self, data):
        pass

    def flush(self):
        self.after.append(self.source.reads)


@pytest.mark.parametrize("options", [["--unbuffered"], ["--unbuffered", "--seq", "-S"],
                                     ["--unbuffered", "-R"]])
def test_unbuffered_output_is_flushed_as_each_text_is_read(options):
    source = Trickle([b"%d\n" % n for n in range(40)])
    out = Flushes(source)
    assert tamsel_vonk_cli.main(options + ["."], stdin=source, stdout=out, stderr=sys.stderr) == 0
    # The result of line N is out before line N + 2 is read.
    assert all(reads <= n + 2 for n, reads in enumerate(out.after[:40], 1)), out.after


# Closed standard streams and failed writes, in a shell that starts the
# command with the redirections given.
@pytest.mark.parametrize("redirect, args, stdin, status, stdout, stderr", [
    ("<&-", ["-c", ".store", "{sample}"], b"", 0, '"Vonk & Tamsel"\n', ""),
    ("<&-", ["-n", "1"], b"", 0, "1\n", ""),
    ("<&-", ["."], b"", 5, "", "tamsel-vonk: <stdin>: cannot read: standard input is closed\n"),
    ("<&-", ["-R", "."], b"", 5, "", "tamsel-vonk: <stdin>: cannot read: standard input is closed\n"),
    # With --slurp, what could be read runs, as when a file cannot be read.
    ("<&-", ["--seq", "-s", "-c", "."], b"", 5, "\x1e[]\n",
     "tamsel-vonk: <stdin>: cannot read: standard input is closed\n"),
    (">&-", [".store"], b"{}", 0, None, ""),
    (">&-", ["-c", ".store", "{sample}"], b"", 7, None,
     "tamsel-vonk: writing output failed: standard output is closed\n"),
    (">&-", ["--version"], b"", 7, None,
     "tamsel-vonk: writing output failed: standard output is closed\n"),
    ("> /dev/full", [".[]"], b"[" + b"1," * 100000 + b"1]", 7, None,
     "tamsel-vonk: writing output failed: No space left on device\n"),
    ("> /dev/full", ["-C", "-S", "."], b"[1]", 7, None,
     "tamsel-vonk: writing output failed: No space left on device\n"),
    # An earlier problem keeps its status.
    ("> /dev/full", [".", "nope.json", "{sample}"], b"", 5, None,
     "tamsel-vonk: nope.json: cannot read: No such file or directory\n"
     "tamsel-vonk: writing output failed: No space left on device\n"),
    ("2>&-", ["."], b"[1,", 4, "", None),
    ("2> /dev/full", ["."], b"1 [1,", 4, "1\n", None),
    (">&- 2>&-", ["."], b"[1,", 4, None, None),
# Short ids: pytest puts the test's id in the environment of every child,
# where a string over 128 KiB makes exec() fail.
], ids=lambda value: value if isinstance(value, str) and len(value) < 60 else type(value).__name__)
def test_closed_standard_streams_and_failed_writes(redirect, args, stdin, status, stdout,
                                                   stderr, tmp_path):
    sample = str(ROOT / "examples" / "sample.json")
    command = " ".join("'%s'" % a.replace("{sample}", sample) for a in [installed_command()] + args)
    done = subprocess.run(f"{command} {redirect}", shell=True, input=stdin, capture_output=True,
                          timeout=60, cwd=tmp_path)
    assert done.returncode == status
    if stdout is not None:
        assert done.stdout.decode() == stdout
    if stderr is not None:
        assert done.stderr.decode() == stderr


@pytest.mark.parametrize("env, options, coloured", [
    ({}, [], True),
    ({}, ["-M"], False),
    ({"NO_COLOR": "1"}, [], False),
    ({"NO_COLOR": ""}, [], True),
    ({"NO_COLOR": "1"}, ["-C"], True),
    ({"JQ_COLORS": "4;31"}, [], True),
])
def test_colour_is_the_default_on_a_terminal(env, options, coloured):
    pty = pytest.importorskip("pty")
    leader, follower = pty.openpty()
    try:
        environ = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "JQ_COLORS")}
        done = subprocess.run([installed_command(), "-c", "-n", "{a: null}"] + options,
                              stdout=follower, stderr=subprocess.PIPE, timeout=60,
                              env=dict(environ, **env))
        os.close(follower)
        follower = None
        out = os.read(leader, 4096)
    finally:
        os.close(leader)
        if follower is not None:
            os.close(follower)
    null = env.get("JQ_COLORS", "1;30")
    expected = ('\x1b[1;39m{\x1b[0m\x1b[34;1m"a"\x1b[0m\x1b[1;39m:\x1b[0m\x1b[%sm'
                'null\x1b[0m\x1b[1;39m\x1b[1;39m}\x1b[0m' % null if coloured else '{"a":null}')
    assert (done.returncode, out.decode(), done.stderr) == (0, expected + "\r\n", b"")
