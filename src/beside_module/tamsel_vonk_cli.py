"""tamsel-vonk: run one query over JSON documents from files or standard input.

    tamsel-vonk [OPTIONS] [QUERY] [FILE ...]

The options follow jq's where the language allows. Input is a stream of
JSON documents separated by white space (or written back to back), from each
FILE in turn, or from standard input when there is none (or for "-"); with
--lines, every non-blank line is one document. Options may stand anywhere
among the query and the files; every argument after "--" is a query or a
file, which is how one that starts with "-" is given (a negative number such
as -1 needs no "--"). Every result is printed as JSON, pretty (two spaces)
unless --compact-output, with numbers, NaN and the infinities exactly as the
query language's `tojson` writes them; of -c, --tab and --indent, the last
one given decides the layout. Problems are reported on standard error,
processing goes on with the next document, and the exit status tells what
went wrong first (see EXIT_* below). A document that is not JSON is named
by its input (and line, in a stream of several), with --slurp too.

Imports are kept to what every run needs, so that the command starts fast;
`json` is loaded for --raw-output only, `importlib.metadata` for --version.
"""

from __future__ import annotations

import argparse
import os
import re
import sys

import tamsel_vonk

# typing is only read by type checkers (which take TYPE_CHECKING as true):
# importing it would slow every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Iterator, Sequence, TextIO, Tuple, Union

    Buffer = Union[bytes, memoryview]
    # An input kept by --slurp: its name, and its text or (--lines) its
    # non-blank lines with their numbers.
    Slurped = Tuple[str, Union[bytes, list[Tuple[int, bytes]]]]

EXIT_OK = 0
EXIT_FALSY = 1  # --exit-status: the last result was false or null
EXIT_USAGE = 2  # bad command line (argparse's own status)
EXIT_QUERY = 3  # the query does not compile
EXIT_JSON = 4  # a document is not valid JSON (or not UTF-8)
EXIT_NO_RESULT = 4  # --exit-status: no result at all (jq's status for it)
EXIT_FILE = 5  # a file cannot be read
EXIT_FAULT = 6  # a run ended with an internal fault (PanicException)

PROG = "tamsel-vonk"

# Unicode white space, which is what the compiler ignores after a query.
_TRAILING_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)

# jq options that bind variables, which the language does not have.
_VARIABLE_OPTIONS = ("--arg", "--argjson", "--slurpfile", "--rawfile", "--args", "--jsonargs")

_BOM = b"\xef\xbb\xbf"


def _text_start(data: Buffer) -> int:
    """Where the text of DATA begins: after a byte order mark, which is not part of it."""
    return len(_BOM) if data[:len(_BOM)] == _BOM else 0


class _VersionAction(argparse.Action):
    """--version, looking the version up only when asked (importlib.metadata is slow to load)."""

    def __init__(self, option_strings: Sequence[str], out: BinaryIO,
                 dest: str = argparse.SUPPRESS, default: str = argparse.SUPPRESS,
                 help: str = "print the version and exit") -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)
        self.out = out

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        try:
            from importlib.metadata import version

            text = version("tamsel_vonk")
        except Exception:  # not installed as a distribution (running from a checkout)
            text = "unknown"
        self.out.write(f"{PROG} {text}\n".encode("utf-8"))
        self.out.flush()
        parser.exit()


class _RefuseVariables(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        parser.error(f"{option_string} is not supported: the query language has no variables")


class _Indent(argparse.Action):
    """--indent N: N spaces a level, 0 to 7; 0 is compact. It sets the same
    layout as -c and --tab, so that the last of them given wins, as in jq."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        # No type=int: argparse would convert the string default with it too.
        try:
            spaces = int(values)
        except ValueError:
            spaces = -1
        if not 0 <= spaces <= 7:
            parser.error(f"{option_string} takes 0 to 7 spaces")
        setattr(namespace, self.dest, " " * spaces or None)


def _parser(stdout: BinaryIO) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run a query over a stream of JSON documents and print every result as JSON.",
        epilog="Exit status: 0 success, 2 bad command line, 3 bad query, 4 bad JSON, "
        "5 unreadable file, 6 internal fault; the first problem met decides. "
        "With --exit-status and no problem: 1 when the last result was false or null, "
        "4 when there was no result.",
    )
    parser.add_argument("query", metavar="QUERY", nargs="?",
                        help="the query, for example '.items.[] | .name' (default: '.')")
    parser.add_argument("files", metavar="FILE", nargs="*",
                        help="documents to read; standard input when none is given, or for '-'")
    parser.add_argument("-f", "--from-file", metavar="QUERY_FILE",
                        help="read the query from QUERY_FILE; every argument is then a FILE")
    parser.add_argument("-l", "--lines", action="store_true",
                        help="JSON Lines: every non-blank line is a document of its own")
    parser.add_argument("--first", action="store_true",
                        help="print only the first result of each document (none when it has none)")
    parser.add_argument("-n", "--null-input", action="store_true",
                        help="run the query once, over null, and read no input")
    parser.add_argument("-s", "--slurp", action="store_true",
                        help="run the query once, over an array of every document read")
    parser.add_argument("-r", "--raw-output", action="store_true",
                        help="print string results as their text, without quotes")
    parser.add_argument("-j", "--join-output", action="store_true",
                        help="as --raw-output, and print no newline after each result")
    # The layout: the unit of indentation, None for compact output.
    parser.add_argument("-c", "--compact-output", dest="unit", action="store_const", const=None,
                        help="print each result on one line, without spaces "
                        "(the last of -c, --tab and --indent wins)")
    parser.add_argument("--tab", dest="unit", action="store_const", const="\t",
                        help="indent with a tab")
    parser.add_argument("--indent", metavar="N", dest="unit", action=_Indent,
                        help="indent with N spaces, 0 to 7 (default 2; 0 is compact)")
    parser.set_defaults(unit="  ")
    parser.add_argument("-e", "--exit-status", action="store_true",
                        help="exit 1 when the last result is false or null, 4 when there is none")
    for option in _VARIABLE_OPTIONS:
        parser.add_argument(option, nargs="*", action=_RefuseVariables, help=argparse.SUPPRESS)
    parser.add_argument("--version", action=_VersionAction, out=stdout)
    return parser


def _parse_args(argv: Sequence[str] | None, stdout: BinaryIO) -> argparse.Namespace:
    """Parses the command line. Options may stand anywhere among the query
    and the files, as in jq; every argument after "--" is positional. With
    --from-file, every positional argument is a FILE."""
    argv = list(sys.argv[1:] if argv is None else argv)
    after: list[str] = []
    if "--" in argv:
        # Split here rather than leave "--" to argparse, whose intermixed
        # parsing mishandles it (it drops or refuses what follows it).
        at = argv.index("--")
        argv, after = argv[:at], argv[at + 1:]
    args = _parser(stdout).parse_intermixed_args(argv)
    positionals = ([] if args.query is None else [args.query]) + args.files + after
    args.query = positionals.pop(0) if positionals and args.from_file is None else None
    args.files = positionals
    return args


def compile_for_output(query: str) -> tamsel_vonk.TamselProgram:
    """Compiles QUERY so that every result comes out as its JSON text.

    The query is first compiled on its own, so that a syntax error is
    reported for the text the user wrote. Then `| tojson` is appended: the
    pipe binds loosest, so this renders each result of the whole query,
    and the results reach Python as strings. Rendering in the engine keeps
    the output exactly as `tojson` documents it (NaN as null, infinities as
    the largest finite double), handles values nested thousands of levels
    deep, and lets `first` tell a null result ("null") from no result (None).
    """
    tamsel_vonk.compile(query)
    return tamsel_vonk.compile(query.rstrip(_TRAILING_SPACE) + " | tojson")


# --- output -------------------------------------------------------------------

# One token of compact JSON text: a string, an opening or closing bracket, a
# comma, a colon, or a run of anything else (a number, true, false, null).
_OUTPUT_TOKEN = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"|[\[{]|[\]}]|,|:|[^"\[\]{},:]+', re.S)


def pretty(text: str, unit: str) -> str:
    """Re-indents the compact JSON TEXT as jq prints it: one member or element
    a line, indented by UNIT per level, "key": value, and [] and {} kept on
    one line. Only the layout changes, never a token, so numbers stay exactly
    as tojson wrote them."""
    if text[0] not in "[{":
        return text
    out = []
    depth = 0
    tokens = _OUTPUT_TOKEN.findall(text)
    i = 0
    count = len(tokens)
    while i < count:
        token = tokens[i]
        if token == "[" or token == "{":
            if i + 1 < count and tokens[i + 1] in ("]", "}"):  # empty: stays "[]" or "{}"
                out.append(token + tokens[i + 1])
                i += 2
                continue
            depth += 1
            out.append(token + "\n" + unit * depth)
        elif token == "]" or token == "}":
            depth -= 1
            out.append("\n" + unit * depth + token)
        elif token == ",":
            out.append(",\n" + unit * depth)
        elif token == ":":
            out.append(": ")
        else:
            out.append(token)
        i += 1
    return "".join(out)


class _Printer:
    """Turns results (JSON texts) into the bytes to print, as the options ask."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.raw = args.raw_output or args.join_output
        self.end = "" if args.join_output else "\n"
        self.unit: str | None = args.unit
        self.last: str | None = None  # the last result printed, for --exit-status
        if self.raw:
            import json

            self._decode = json.loads

    def format(self, results: list[str]) -> bytes:
        self.last = results[-1]
        parts = []
        for text in results:
            if self.raw and text[0] == '"':
                text = self._decode(text)
            elif self.unit is not None:
                text = pretty(text, self.unit)
            parts.append(text)
            parts.append(self.end)
        return "".join(parts).encode("utf-8")


# --- input --------------------------------------------------------------------

# What splits a stream into documents: strings (skipped whole, so that their
# brackets do not count; one left open runs to the end) and brackets.
_STREAM_TOKEN = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*(?:"|\Z)|[\[\]{}]', re.S)


def split_documents(data: bytes, start: int = 0) -> Iterator[Tuple[int, int]]:
    """Yields (start, end) of every document in DATA[START:], a stream of JSON
    texts separated by white space or written back to back ("[1][2]", "1 2").
    Only strings and brackets are looked at: a malformed document still comes
    out as one piece, for the parser to report."""
    depth = 0
    # start: where the text not yet given out begins
    for match in _STREAM_TOKEN.finditer(data, start):
        at = match.start()
        if depth == 0:
            # Scalars between the last document and this token.
            yield from _scalars(data, start, at)
            start = at
        char = data[at]
        if char == 0x22:  # a string
            if depth == 0:
                start = match.end()
                yield at, start
        elif char in b"[{":
            depth += 1
        elif depth == 0:  # a closing bracket with nothing open
            start = match.end()
            yield at, start
        else:
            depth -= 1
            if depth == 0:
                yield start, match.end()
                start = match.end()
    if depth:
        yield start, len(data)
    else:
        yield from _scalars(data, start, len(data))


_SCALAR = re.compile(rb"\S+")
_BLANK = re.compile(rb"\s*\Z")


def _scalars(data: bytes, start: int, end: int) -> Iterator[Tuple[int, int]]:
    for match in _SCALAR.finditer(data, start, end):
        yield match.start(), match.end()


class _Run:
    def __init__(self, program: tamsel_vonk.TamselProgram, args: argparse.Namespace,
                 stdout: BinaryIO, stderr: TextIO) -> None:
        self.program = program
        self.first = args.first
        self.printer = _Printer(args)
        self.stdout = stdout
        self.stderr = stderr
        self.status = EXIT_OK

    def fail(self, status: int, where: str, message: str) -> None:
        # Results printed so far go out first, so that a terminal (or 2>&1)
        # shows the message where the problem was met.
        self.stdout.flush()
        self.stderr.write(f"{PROG}: {where}: {message}\n")
        if self.status == EXIT_OK:
            self.status = status

    def results(self, data: Buffer) -> list[str]:
        """The results of one document (bytes-like), as JSON texts; raises
        ValueError for bad JSON, PanicException for an internal fault."""
        if self.first:
            result = self.program.first_bytes(data)
            return [] if result is None else [result]
        return list(self.program.input_bytes(data))

    def fault(self, where: str, exc: tamsel_vonk.PanicException) -> None:
        self.fail(EXIT_FAULT, where, f"internal fault: {exc}")

    def document(self, where: str, data: Buffer) -> bool:
        """Runs one document and prints its results; False if it is not JSON."""
        try:
            out = self.results(data[_text_start(data):])
        except ValueError as exc:
            self.fail(EXIT_JSON, where, str(exc))
            return False
        except tamsel_vonk.PanicException as exc:
            self.fault(where, exc)
            return True
        if out:
            self.stdout.write(self.printer.format(out))
        return True

    def stream(self, name: str, data: bytes) -> None:
        """Runs every document of DATA. The whole text is tried as one
        document first, the common case; only when that fails is it split."""
        begin = _text_start(data)
        if _BLANK.match(data, begin):
            return
        view = memoryview(data)
        try:
            out = self.results(view[begin:])
        except (ValueError, tamsel_vonk.PanicException) as exc:
            pieces = list(split_documents(data, begin))
            if len(pieces) > 1:
                self.pieces(name, data, pieces)
            elif isinstance(exc, ValueError):
                self.fail(EXIT_JSON, name, str(exc))
            else:
                self.fault(name, exc)
            return
        if out:
            self.stdout.write(self.printer.format(out))

    def pieces(self, name: str, data: bytes, pieces: list[Tuple[int, int]]) -> None:
        """Runs the documents at PIECES of DATA; messages name their line."""
        view = memoryview(data)
        line, counted = 1, 0
        for start, end in pieces:
            line += data.count(b"\n", counted, start)
            counted = start
            # After a document that does not parse, where the next one starts
            # cannot be trusted: stop, as jq does.
            if not self.document(f"{name}:{line}", view[start:end]):
                return


def _sources(files: list[str], stdin: BinaryIO, run: _Run) -> Iterator[Tuple[str, BinaryIO]]:
    """Yields (name, binary stream) for every input; unreadable files are reported."""
    for name in files or ["-"]:
        if name == "-":
            yield "<stdin>", stdin
            continue
        try:
            stream = open(name, "rb")
        except OSError as exc:
            run.fail(EXIT_FILE, name, f"cannot read: {exc.strerror or exc}")
            continue
        with stream:
            yield name, stream


class _QueryFileError(Exception):
    pass


def _read_query(args: argparse.Namespace) -> str:
    if args.from_file is None:
        return "." if args.query is None else args.query
    try:
        with open(args.from_file, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise _QueryFileError(f"cannot read: {exc.strerror or exc}") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise _QueryFileError("not UTF-8 text") from None


def _slurp(run: _Run, args: argparse.Namespace, stdin: BinaryIO) -> None:
    """Runs the query once over an array of every document of every input."""
    documents: list[Buffer] = []
    inputs: list[Slurped] = []  # kept to find a bad document
    for name, stream in _sources(args.files, stdin, run):
        try:
            if args.lines:
                lines = [(number, line) for number, line in enumerate(stream, 1) if line.strip()]
                inputs.append((name, lines))
                documents.extend(line[_text_start(line):] for _, line in lines)
            else:
                data = stream.read()
                inputs.append((name, data))
                view = memoryview(data)
                documents.extend(view[start:end]
                                 for start, end in split_documents(data, _text_start(data)))
        except OSError as exc:
            run.fail(EXIT_FILE, name, f"cannot read: {exc.strerror or exc}")
    try:
        out = run.results(b"[" + b",".join(documents) + b"]")
    except ValueError as exc:
        if not _report_bad_documents(run, args, inputs):
            # Every document is valid alone: what the parser refused is the
            # array of them, one level deeper than any (its nesting limit).
            run.fail(EXIT_JSON, "<slurped input>", str(exc))
        return
    except tamsel_vonk.PanicException as exc:
        run.fault("<slurped input>", exc)
        return
    if out:
        run.stdout.write(run.printer.format(out))


def _report_bad_documents(run: _Run, args: argparse.Namespace, inputs: list[Slurped]) -> bool:
    """Reports the documents of INPUTS that are not JSON exactly as a run
    without --slurp does, by reading them so with a query that has no
    result; False if there is none."""
    check = _Run(tamsel_vonk.compile("empty"), args, run.stdout, run.stderr)
    for name, text in inputs:
        if isinstance(text, bytes):
            check.stream(name, text)
        else:
            for number, line in text:
                check.document(f"{name}:{number}", line)
    if check.status == EXIT_OK:
        return False
    if run.status == EXIT_OK:
        run.status = check.status
    return True


def main(argv: list[str] | None = None, *, stdin: BinaryIO | None = None,
         stdout: BinaryIO | None = None, stderr: TextIO | None = None) -> int:
    """Runs the command line; returns the exit status."""
    stdin = stdin if stdin is not None else sys.stdin.buffer
    stdout = stdout if stdout is not None else sys.stdout.buffer
    stderr = stderr if stderr is not None else sys.stderr
    args = _parse_args(argv, stdout)
    try:
        query = _read_query(args)
    except _QueryFileError as exc:
        stderr.write(f"{PROG}: {args.from_file}: {exc}\n")
        return EXIT_QUERY
    try:
        program = compile_for_output(query)
    except UnicodeEncodeError:  # bytes of the argument that are not UTF-8
        stderr.write(f"{PROG}: query: not UTF-8 text\n")
        return EXIT_QUERY
    except ValueError as exc:
        stderr.write(f"{PROG}: query: {exc}\n")
        return EXIT_QUERY
    run = _Run(program, args, stdout, stderr)
    try:
        if args.null_input:
            run.document("null input", b"null")
        elif args.slurp:
            _slurp(run, args, stdin)
        else:
            for name, stream in _sources(args.files, stdin, run):
                try:
                    if args.lines:
                        for number, line in enumerate(stream, 1):
                            if line.strip():
                                run.document(f"{name}:{number}", line)
                    else:
                        run.stream(name, stream.read())
                except BrokenPipeError:
                    raise
                except OSError as exc:
                    run.fail(EXIT_FILE, name, f"cannot read: {exc.strerror or exc}")
        stdout.flush()
    except BrokenPipeError:
        # The reader went away (`tamsel-vonk ... | head`): stop quietly. Point
        # the real stdout at /dev/null so that its final flush at exit cannot
        # fail again.
        if stdout is getattr(sys.stdout, "buffer", None):
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        return run.status
    if run.status == EXIT_OK and args.exit_status:
        if run.printer.last is None:
            return EXIT_NO_RESULT
        if run.printer.last in ("false", "null"):
            return EXIT_FALSY
    return run.status


if __name__ == "__main__":
    sys.exit(main())
