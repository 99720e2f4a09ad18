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
command starts fast: the command line is read by a small parser of its own,
argparse is loaded only for --help, --version and usage errors, `json` for
--slurp only, `importlib.metadata` for --version.
"""

from __future__ import annotations

import os
import sys
from itertools import chain, islice

import tamsel_vonk

# typing and argparse are only read by type checkers here (which take
# TYPE_CHECKING as true): importing them would slow every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any, BinaryIO, Callable, Literal, Sequence, TextIO, Union

    # What a stream reads: JSON text itself, or a binary file.
    Source = Union[bytes, str, BinaryIO, "_FilePath"]

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

# Reads JSON text back into values.
_IDENTITY = tamsel_vonk.compile(".")


class _Args:
    """The command line, parsed. Each attribute that no option sets keeps
    its default here: argparse leaves alone an attribute that its namespace
    already has, so these are the defaults of both parsers below."""

    query: str | None
    files: list[str]
    from_file: str | None = None
    lines = False
    first = False
    null_input = False
    slurp = False
    raw_output = False
    join_output = False
    # The layout: the unit of indentation, None for compact output.
    unit: str | None = "  "
    exit_status = False


def _indent_unit(text: str) -> str | None:
    """The layout --indent TEXT asks for: N spaces a level, 0 to 7; 0 is compact."""
    try:
        spaces = int(text)
    except ValueError:
        spaces = -1
    if not 0 <= spaces <= 7:
        raise ValueError("takes 0 to 7 spaces")
    # The module's indent=0 means new lines without indentation; here 0 is compact.
    return " " * spaces or None


class _Option:
    """An option: a flag, which sets the attribute DEST to CONST, or, with a
    METAVAR, one that takes an argument, which CONVERT turns into the value
    (a ValueError it raises completes the usage error "OPTION ...")."""

    def __init__(self, names: tuple[str, ...], help: str, *, dest: str | None = None,
                 const: object = True, metavar: str | None = None,
                 convert: Callable[[str], object] | None = None) -> None:
        self.names = names
        self.help = help
        self.dest = dest or names[-1][2:].replace("-", "_")
        self.const = const
        self.metavar = metavar
        self.convert = convert


# Every option that sets something, in the order --help lists them. Both the
# command line's own parser and argparse's are made from this table; what
# only argparse knows (--help, --version and the refused options) ends there.
_OPTIONS = (
    _Option(("-f", "--from-file"), metavar="QUERY_FILE",
            help="read the query from QUERY_FILE; every argument is then a FILE"),
    _Option(("-l", "--lines"), help="JSON Lines: every non-blank line is a document of its own"),
    _Option(("--first",),
            help="print only the first result of each document (none when it has none)"),
    _Option(("-n", "--null-input"), help="run the query once, over null, and read no input"),
    _Option(("-s", "--slurp"), help="run the query once, over an array of every document read"),
    _Option(("-r", "--raw-output"), help="print string results as their text, without quotes"),
    _Option(("-j", "--join-output"),
            help="as --raw-output, and print no newline after each result"),
    # -c, --tab and --indent set the same layout, so that the last of them given wins, as in jq.
    _Option(("-c", "--compact-output"), dest="unit", const=None,
            help="print each result on one line, without spaces "
            "(the last of -c, --tab and --indent wins)"),
    _Option(("--tab",), dest="unit", const="\t", help="indent with a tab"),
    _Option(("--indent",), dest="unit", metavar="N", convert=_indent_unit,
            help="indent with N spaces, 0 to 7 (default 2; 0 is compact)"),
    _Option(("-e", "--exit-status"),
            help="exit 1 when the last result is false or null, 4 when there is none"),
)
_BY_NAME = {name: option for option in _OPTIONS for name in option.names}


def _is_positional(arg: str) -> bool:
    """Whether argparse takes ARG for a query, a file or an option's
    argument, as far as the fast parser goes: "-", a negative number such as
    -1, -0.5 or -.5, or anything that does not start with "-"."""
    if arg[:1] != "-" or arg == "-":
        return True
    whole, dot, fraction = arg[1:].partition(".")
    digits = whole + fraction
    return digits.isascii() and digits.isdigit() and not (dot and not fraction)


def _parse_fast(argv: list[str]) -> _Args | None:
    """Parses ARGV (the part before any "--") as argparse would, or returns
    None for argparse to parse it. Taken here: the query and the files, and
    the options of _OPTIONS by their full names, with their argument next,
    after "=" or (short names) joined on, and short flags together (-cr).
    Left to argparse: abbreviated names, options it alone knows and
    everything it refuses, so that its messages stay the ones given."""
    args = _Args()
    positionals: list[str] = []
    at = 0
    while at < len(argv):
        arg = argv[at]
        at += 1
        if _is_positional(arg):
            positionals.append(arg)
            continue
        if arg[1] == "-":  # --name, or --name=argument
            name, equals, value = arg.partition("=")
            option = _BY_NAME.get(name)
            if option is None or (equals and (option.metavar is None or not value)):
                return None
        else:
            # Short names together: flags, and perhaps then one that takes an
            # argument, the rest of ARG if there is a rest.
            if "=" in arg:
                return None
            for end, letter in enumerate(arg[1:], 2):
                option = _BY_NAME.get("-" + letter)
                if option is None:
                    return None
                if option.metavar is not None:
                    value = arg[end:]
                    break
                setattr(args, option.dest, option.const)
            else:
                continue
        if option.metavar is None:
            setattr(args, option.dest, option.const)
            continue
        if not value:
            if at == len(argv) or not _is_positional(argv[at]):
                return None
            value = argv[at]
            at += 1
        if option.convert is not None:
            try:
                setattr(args, option.dest, option.convert(value))
            except ValueError:
                return None
        else:
            setattr(args, option.dest, value)
    args.query = positionals[0] if positionals else None
    args.files = positionals[1:]
    return args


def _argparse_parser(stdout: BinaryIO) -> argparse.ArgumentParser:
    """The command line's parser for --help, --version and usage errors
    (which exit with status 2), made from _OPTIONS. argparse takes longer to
    import than a whole ordinary run, so it is loaded only when needed."""
    import argparse

    class Version(argparse.Action):
        """--version, looking the version up only when asked (importlib.metadata is slow to load)."""

        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            try:
                from importlib.metadata import version

                text = version("tamsel_vonk")
            except Exception:  # not installed as a distribution (running from a checkout)
                text = "unknown"
            stdout.write(f"{PROG} {text}\n".encode("utf-8"))
            stdout.flush()
            parser.exit()

    class RefuseVariables(argparse.Action):
        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            parser.error(f"{option_string} is not supported: the query language has no variables")

    class Convert(argparse.Action):
        """An option whose argument its _Option's convert turns into the
        value. (With type=, the message of a usage error would be argparse's.)"""

        def __init__(self, option_strings: Sequence[str], dest: str,
                     convert: Callable[[str], object], **kwargs: Any) -> None:
            super().__init__(option_strings, dest, **kwargs)
            self.convert = convert

        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            try:
                setattr(namespace, self.dest, self.convert(values))
            except ValueError as exc:
                parser.error(f"{option_string} {exc}")

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
    for option in _OPTIONS:
        if option.metavar is None:
            parser.add_argument(*option.names, dest=option.dest, action="store_const",
                                const=option.const, help=option.help)
        elif option.convert is None:
            parser.add_argument(*option.names, dest=option.dest, metavar=option.metavar,
                                help=option.help)
        else:
            parser.add_argument(*option.names, dest=option.dest, metavar=option.metavar,
                                action=Convert, convert=option.convert, help=option.help)
    for name in _VARIABLE_OPTIONS:
        parser.add_argument(name, nargs="*", action=RefuseVariables, default=argparse.SUPPRESS,
                            help=argparse.SUPPRESS)
    parser.add_argument("--version", action=Version, nargs=0, default=argparse.SUPPRESS,
                        dest=argparse.SUPPRESS, help="print the version and exit")
    return parser


def _parse_args(argv: Sequence[str] | None, stdout: BinaryIO, *, fast: bool = True) -> _Args:
    """Parses the command line. Options may stand anywhere among the query
    and the files, as in jq; every argument after "--" is positional. With
    --from-file, every positional argument is a FILE. Not FAST: by argparse
    alone (tests compare the two)."""
    argv = list(sys.argv[1:] if argv is None else argv)
    after: list[str] = []
    if "--" in argv:
        # Split here rather than leave "--" to argparse, whose intermixed
        # parsing mishandles it (it drops or refuses what follows it).
        at = argv.index("--")
        argv, after = argv[:at], argv[at + 1:]
    args = _parse_fast(argv) if fast else None
    if args is None:
        args = _argparse_parser(stdout).parse_intermixed_args(argv, _Args())
    positionals = ([] if args.query is None else [args.query]) + args.files + after
    args.query = positionals.pop(0) if positionals and args.from_file is None else None
    args.files = positionals
    return args


def _at_line(name: str, exc: BaseException) -> str:
    """NAME, and the line on which the bad text EXC is about starts."""
    return f"{name}:{getattr(exc, 'line')}"


def _raw_text(string: bytes) -> bytes:
    """The text of STRING, a JSON string as `tojson` writes it (in UTF-8,
    escaping with backslashes only), as --raw-output prints it."""
    if b"\\" not in string:
        return string[1:-1]
    # The module reads back what it wrote; json would too, but it loads re,
    # which takes longer to import than an ordinary run takes.
    text: str = _IDENTITY.first_bytes(string)
    return text.encode("utf-8")


class _Run:
    """Runs the program over streams of texts and prints the results as the options ask."""

    def __init__(self, program: tamsel_vonk.TamselProgram, args: _Args,
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
            results = [_raw_text(text) if text[:1] == b'"' else text for text in results]
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


class _FilePath:
    """A file named on the command line, which the module opens and reads
    itself (pathlib would cost its import at every start)."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __fspath__(self) -> str:
        return self.name


def _each_input(run: _Run, files: list[str], stdin: BinaryIO,
                action: Callable[[str, Source], None]) -> None:
    """Calls ACTION with the name and source of every input; reports the
    files that cannot be read."""
    for name in files or ["-"]:
        try:
            action("<stdin>", stdin) if name == "-" else action(name, _FilePath(name))
        except BrokenPipeError:  # writing, not reading
            raise
        except OSError as exc:
            run.fail(EXIT_FILE, name, f"cannot read: {exc.strerror or exc}")


class _QueryFileError(Exception):
    pass


def _read_query(args: _Args) -> str:
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


def _slurp(run: _Run, args: _Args, stdin: BinaryIO) -> None:
    """Runs the query once over an array of every document of every input.
    Bad documents are all reported, as without --slurp, and then the query
    does not run."""
    import json

    documents: list[Any] = []

    def read(name: str, stream: Source) -> None:
        errors: Literal["raise", "skip"] = "skip" if args.lines else "raise"
        with _IDENTITY.stream(stream, lines=args.lines, errors=errors) as values:
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
