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
one given decides the layout. Problems are reported on standard error, and
the exit status tells what went wrong first (see EXIT_* below), each
message in its place among the results. A document that is not JSON is
named by its input and line, with --slurp too; it ends its input, except
with --lines, where the next line is read. A document whose run ends with
an internal fault is reported the same way, and the next one is run.

Inputs are read, run and printed a piece at a time by the module's streams,
so memory stays small however large they are (except with --slurp, which
holds every document). Imports are kept to what every run needs, so that the
command starts fast; `json` is loaded for --raw-output and --slurp only,
`importlib.metadata` for --version.
"""

from __future__ import annotations

import argparse
import os
import sys
from itertools import chain, islice

import tamsel_vonk

# typing is only read by type checkers (which take TYPE_CHECKING as true):
# importing it would slow every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, BinaryIO, Callable, Literal, Sequence, TextIO, Union

    # What a stream reads: JSON text itself, or a binary file.
    Source = Union[bytes, str, BinaryIO]

EXIT_OK = 0
EXIT_FALSY = 1  # --exit-status: the last result was false or null
EXIT_USAGE = 2  # bad command line (argparse's own status)
EXIT_QUERY = 3  # the query does not compile
EXIT_JSON = 4  # a document is not valid JSON (or not UTF-8)
EXIT_NO_RESULT = 4  # --exit-status: no result at all (jq's status for it)
EXIT_FILE = 5  # a file cannot be read
EXIT_FAULT = 6  # a run ended with an internal fault (PanicException)

PROG = "tamsel-vonk"

# jq options that bind variables, which the language does not have.
_VARIABLE_OPTIONS = ("--arg", "--argjson", "--slurpfile", "--rawfile", "--args", "--jsonargs")

# Results are taken from a stream a chunk of texts at a time and written
# together, so that Python does next to nothing per text or result. A chunk
# aims at this many bytes of output (few texts when their results are large,
# so memory stays bounded) and holds at most _MOST_TEXTS; the first one is
# small, for the size of results is not known yet.
_CHUNK_BYTES = 1 << 18
_MOST_TEXTS = 4096
_FIRST_CHUNK = 16


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
        # The module's indent=0 means new lines without indentation; here 0 is compact.
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


def _at_line(name: str, exc: BaseException) -> str:
    """NAME, and the line on which the bad text EXC is about starts."""
    return f"{name}:{getattr(exc, 'line')}"


class _Run:
    """Runs the program over streams of texts and prints the results as the options ask."""

    def __init__(self, program: tamsel_vonk.TamselProgram, args: argparse.Namespace,
                 stdout: BinaryIO, stderr: TextIO) -> None:
        self.program = program
        # Every result comes back as its JSON text, laid out as asked:
        # exactly as `tojson` writes it, however deeply nested.
        self.options: dict[str, Any] = {"first": args.first, "as_json": True,
                                        "indent": args.unit}
        self.raw = args.raw_output or args.join_output
        self.end = b"" if args.join_output else b"\n"
        self.stdout = stdout
        self.stderr = stderr
        self.status = EXIT_OK
        self.bad_texts = 0
        self.last: bytes | None = None  # the last result printed, for --exit-status
        if self.raw:
            import json

            self._decode = json.loads

    def fail(self, status: int, where: str, message: str) -> None:
        # Results printed so far go out first, so that a terminal (or 2>&1)
        # shows the message after them.
        self.stdout.flush()
        self.stderr.write(f"{PROG}: {where}: {message}\n")
        if self.status == EXIT_OK:
            self.status = status

    def bad(self, where: str, exc: BaseException) -> None:
        """Reports a text that is not JSON, or whose run ended with an internal fault."""
        self.bad_texts += 1
        # The message as input() gives it, without the stream's "text N at
        # byte M (line L): ", since WHERE names the input and line.
        message = getattr(exc, "message")
        if isinstance(exc, ValueError):
            self.fail(EXIT_JSON, where, message)
        else:
            self.fail(EXIT_FAULT, where, f"internal fault: {message}")

    def write(self, texts: list[list[bytes]]) -> int:
        """Prints the results of TEXTS, a list of JSON texts each; returns
        how many bytes that took."""
        results = list(chain.from_iterable(texts))
        if not results:
            return 0
        self.last = results[-1]
        if self.raw:
            decode = self._decode
            results = [decode(text).encode("utf-8") if text[:1] == b'"' else text
                       for text in results]
        data = self.end.join(results)
        self.stdout.write(data)
        self.stdout.write(self.end)
        return len(data) + len(self.end)

    def each(self, name: str, source: Source, *, lines: bool = False,
             numbered: bool = True) -> None:
        """Runs the program over every text of SOURCE and prints the results.
        A bad text is reported in its place among them, named by NAME and,
        when NUMBERED, its line, and skipped. One that is not JSON ends
        SOURCE, unless LINES, since where the text after it starts cannot be
        trusted (as jq does)."""
        def where(exc: BaseException) -> str:
            return _at_line(name, exc) if numbered else name

        # One entry per text: the list of its results, or in its place the
        # exception of a bad text.
        with self.program.stream(source, lines=lines, per_text=True, errors="skip",
                                 **self.options) as texts:
            count = _FIRST_CHUNK
            while True:
                chunk: list[Any] = []
                try:
                    # extend keeps the texts that came before an exception.
                    chunk.extend(islice(texts, count))
                except BaseException as exc:
                    # What came before the exception goes out first, whatever
                    # it is. Past a text that ended the input, it is not ours.
                    if self.print_texts(chunk, where, lines) < 0 and isinstance(exc, Exception):
                        return
                    raise
                size = self.print_texts(chunk, where, lines)
                if size < 0 or len(chunk) < count:
                    return
                count = max(1, min(_MOST_TEXTS, len(chunk) * _CHUNK_BYTES // max(size, 1)))

    def print_texts(self, chunk: list[Any], where: Callable[[BaseException], str],
                    lines: bool) -> int:
        """Prints the results of the texts of CHUNK, reporting each bad one in
        its place; returns how many bytes were printed, or -1 if a text that
        is not JSON ends the input (unless LINES)."""
        # Bad texts are rare: when there is none, the chunk is printed
        # without a Python step per text.
        if set(map(type, chunk)) <= {list}:
            return self.write(chunk)
        size = start = 0
        for at, entry in enumerate(chunk):
            if isinstance(entry, BaseException):
                size += self.write(chunk[start:at])
                start = at + 1
                self.bad(where(entry), entry)
                if not lines and isinstance(entry, ValueError):
                    return -1
        return size + self.write(chunk[start:])


def _each_input(run: _Run, files: list[str], stdin: BinaryIO,
                action: Callable[[str, BinaryIO], None]) -> None:
    """Calls ACTION with the name and binary stream of every input; reports
    the files that cannot be read."""
    for name in files or ["-"]:
        try:
            if name == "-":
                action("<stdin>", stdin)
            else:
                with open(name, "rb") as stream:
                    action(name, stream)
        except BrokenPipeError:  # writing, not reading
            raise
        except OSError as exc:
            run.fail(EXIT_FILE, name, f"cannot read: {exc.strerror or exc}")


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
    """Runs the query once over an array of every document of every input.
    Bad documents are all reported, as without --slurp, and then the query
    does not run."""
    import json

    documents: list[Any] = []
    identity = tamsel_vonk.compile(".")

    def read(name: str, stream: BinaryIO) -> None:
        errors: Literal["raise", "skip"] = "skip" if args.lines else "raise"
        with identity.stream(stream, lines=args.lines, errors=errors) as values:
            try:
                documents.extend(values)
            except (ValueError, tamsel_vonk.PanicException) as exc:
                run.bad(_at_line(name, exc), exc)
            for skipped in values.skipped:
                run.bad(_at_line(name, skipped), skipped)

    _each_input(run, args.files, stdin, read)
    if run.bad_texts:
        return
    # The documents go back to JSON as the values they were read as (the
    # language's tojson would turn 1e300 into digits no parser takes as a
    # number), and the encoder counts one level of recursion per level of
    # nesting, which may be 1024.
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(limit + 1100)
    try:
        array = json.dumps(documents, ensure_ascii=False, separators=(",", ":"))
    finally:
        sys.setrecursionlimit(limit)
    del documents[:]
    # A failure here is the array's alone, each document being valid: it is
    # one level deeper than any, past the parser's nesting limit.
    run.each("<slurped input>", array, numbered=False)


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
        program = tamsel_vonk.compile(query)
    except UnicodeEncodeError:  # bytes of the argument that are not UTF-8
        stderr.write(f"{PROG}: query: not UTF-8 text\n")
        return EXIT_QUERY
    except ValueError as exc:
        stderr.write(f"{PROG}: query: {exc}\n")
        return EXIT_QUERY
    run = _Run(program, args, stdout, stderr)
    try:
        if args.null_input:
            run.each("null input", b"null", numbered=False)
        elif args.slurp:
            _slurp(run, args, stdin)
        else:
            _each_input(run, args.files, stdin,
                        lambda name, stream: run.each(name, stream, lines=args.lines))
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
        if run.last is None:
            return EXIT_NO_RESULT
        if run.last in (b"false", b"null"):
            return EXIT_FALSY
    return run.status


if __name__ == "__main__":
    sys.exit(main())
