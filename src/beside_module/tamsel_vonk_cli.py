"""tamsel-vonk: run one query over JSON documents from files or standard input.

    tamsel-vonk [OPTIONS] [QUERY] [FILE ...]

The options follow jq's where the language allows. Input is a stream of
JSON documents separated by white space (or written back to back), from each
FILE in turn, or from standard input when there is none (or for "-"); with
--lines, every non-blank line is one document, with --raw-input every line
is a string, with --seq the input is records that each start with RS, and
with --elements (or --elements-at PATH) each input is one array whose
elements are the documents.
Options may stand anywhere among the query and the files; every argument
after "--" is a query or a file, which is how one that starts with "-" is
given (a negative number such as -1 needs no "--"). Every result is printed
as JSON, pretty (two spaces) unless --compact-output, with numbers, NaN and
the infinities exactly as the query language's `tojson` writes them; of -c,
--tab and --indent, the last one given decides the layout. Problems are
reported on standard error, and the exit status tells what went wrong first
(see EXIT_* below), each message in its place among the results. A document
that is not JSON is named by its input and line, with --slurp too; it ends
its input, except with --lines, where the next line is read, and --seq,
where the next record is. A document whose run ends with an internal fault
is reported the same way, and the next one is run. Standard input, output
and error may be closed: the run goes on as long as it does not need them.

Inputs are read, run and printed a piece at a time by the module's streams,
so memory stays small however large they are (except with --slurp, which
holds every document). The module lays the results out, so that Python does
next to nothing per result; only --sort-keys and colour lay them out again
here, from their compact text. Imports are kept to what every run needs, so
that the command starts fast: the command line is read by a small parser of
its own, argparse is loaded only for --help, --version and usage errors,
`json` for --slurp only, `re` for --sort-keys and colour, and
`importlib.metadata` for --version.
"""

from __future__ import annotations

import errno
import os
import sys
from itertools import chain, islice

import tamsel_vonk

# typing and argparse are only read by type checkers here (which take
# TYPE_CHECKING as true): importing them would slow every start.
TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import (Any, BinaryIO, Callable, Iterator, Literal, NoReturn, Protocol,
                        Sequence, TextIO, Union)

    class _Reader(Protocol):
        """What input is read from: a binary file, or a stand-in."""

        def read(self, size: int, /) -> bytes: ...

    class _Writer(Protocol):
        """Where results go: a binary file, or a stand-in."""

        def write(self, data: bytes, /) -> object: ...
        def flush(self) -> None: ...

    class _TextWriter(Protocol):
        """Where messages go: a text file, or a stand-in."""

        def write(self, text: str, /) -> object: ...

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
EXIT_WRITE = 7  # the output cannot be written (a full disk, a closed standard output)

PROG = "tamsel-vonk"

# jq options that need what the language or this command does not have,
# each with why, and what to write instead.
_NO_VARIABLES = "the query language has no variables"
_REFUSED = {
    "--arg": f"{_NO_VARIABLES}; write the value into the query, as a literal",
    "--argjson": f"{_NO_VARIABLES}; write the value into the query, as a literal",
    "--slurpfile": f"{_NO_VARIABLES}; give the file as an input, with --slurp",
    "--rawfile": f"{_NO_VARIABLES}; give the file as an input, with --raw-input --slurp",
    "--args": f"{_NO_VARIABLES}; every argument after the query is a FILE",
    "--jsonargs": f"{_NO_VARIABLES}; every argument after the query is a FILE",
    "--argfile": f"{_NO_VARIABLES}; give the file as an input, with --slurp",
    "--stream": "the query language has no path events; large inputs are read a piece "
                "at a time anyway, --elements runs the query over each element of an input "
                "that is one array (as fromstream(1|truncate_stream(inputs)) does), and "
                "--lines reads JSON Lines",
    "--stream-errors": "the query language has no path events",
    "-L": "the query language has no modules; write the whole query, or keep it in a "
          "file for --from-file",
    "--run-tests": "it runs jq's own test files",
    "--debug-dump-disasm": "queries are not compiled to jq's bytecode",
    "--debug-trace": "queries are not compiled to jq's bytecode",
}

# Results are taken from a stream a chunk of texts at a time and written
# together, so that Python does next to nothing per text or result. A chunk
# aims at this many bytes of output (few texts when their results are large,
# so memory stays bounded) and holds at most _MOST_TEXTS; the first one is
# small, for the size of results is not known yet.
_CHUNK_BYTES = 1 << 18
_MOST_TEXTS = 4096
_FIRST_CHUNK = 16
# How much is read at a time where this command reads input itself
# (--raw-input, --seq): at most one read of the system, so that a pipe
# gives what it has.
_READ_SIZE = 1 << 16

RS = b"\x1e"  # the record separator of --seq (RFC 7464)

# Reads JSON text back into values.
_IDENTITY = tamsel_vonk.compile(".")
# How the module's message starts when the array of --elements is broken.
_BROKEN_ARRAY = "not one JSON array of elements: "


class _Args:
    """The command line, parsed. Each attribute that no option sets keeps
    its default here: argparse leaves alone an attribute that its namespace
    already has, so these are the defaults of both parsers below."""

    query: str | None
    files: list[str]
    from_file: str | None = None
    lines = False
    raw_input = False
    seq = False
    first = False
    null_input = False
    slurp = False
    raw_output = False
    join_output = False
    # The layout: the unit of indentation, None for compact output.
    unit: str | None = "  "
    sort_keys = False
    ascii_output = False
    # Colour: True (-C) or False (-M); None colours a terminal only.
    colour: bool | None = None
    unbuffered = False
    exit_status = False
    # The array whose elements are the documents: True for each input's
    # own, a path of keys (".items") to one inside objects, or None.
    elements: bool | str | None = None


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


def _element_path(text: str) -> str:
    """The path --elements-at TEXT names, as the module's streams take it."""
    try:
        _IDENTITY.stream(b"[]", elements=text).close()
    except ValueError:
        raise ValueError("takes a path of keys, such as .items or .data.rows") from None
    return text


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
    _Option(("--elements",),
            help="each input is one JSON array, read a piece at a time: every element is a "
            "document (jq's -n --stream 'fromstream(1|truncate_stream(inputs))')"),
    _Option(("--elements-at",), dest="elements", metavar="PATH", convert=_element_path,
            help="each input is an object with an array at PATH (.items, .data.rows): every "
            "element is a document, and the rest of the input is checked"),
    _Option(("-R", "--raw-input"),
            help="read every line as a string, without its line break "
            "(with --slurp, all of the input as one string)"),
    _Option(("--seq",),
            help="write RS before each result; read input as records that start with RS, "
            "where a bad document loses only the rest of its record"),
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
    _Option(("-S", "--sort-keys"), help="print the members of every object sorted by key"),
    _Option(("-a", "--ascii-output"),
            help="write every character outside ASCII as a \\uXXXX escape"),
    _Option(("-C", "--color-output"), dest="colour",
            help="colour the output, a terminal or not, in jq's colours or JQ_COLORS "
            "(the last of -C and -M wins)"),
    _Option(("-M", "--monochrome-output"), dest="colour", const=False,
            help="do not colour the output (colour is the default on a terminal, "
            "unless NO_COLOR is set)"),
    _Option(("--unbuffered",), help="write every result out as soon as it is made"),
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


def _argparse_parser(stdout: _Writer) -> argparse.ArgumentParser:
    """The command line's parser for --help, --version and usage errors
    (which exit with status 2), made from _OPTIONS. argparse takes longer to
    import than a whole ordinary run, so it is loaded only when needed."""
    import argparse

    def show(parser: argparse.ArgumentParser, text: str) -> NoReturn:
        # On STDOUT, like the results, so that a failed write is reported as theirs is.
        stdout.write(text.encode("utf-8"))
        stdout.flush()
        parser.exit()

    class Help(argparse.Action):
        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            show(parser, parser.format_help())

    class Version(argparse.Action):
        """--version, looking the version up only when asked (importlib.metadata is slow to load)."""

        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            try:
                from importlib.metadata import version

                text = version("tamsel_vonk")
            except Exception:  # not installed as a distribution (running from a checkout)
                text = "unknown"
            show(parser, f"{PROG} {text}\n")

    class Refuse(argparse.Action):
        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Any, option_string: str | None = None) -> None:
            parser.error(f"{option_string} is not supported: {_REFUSED[option_string or '']}")

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
        prog=PROG, add_help=False,
        description="Run a query over a stream of JSON documents and print every result as JSON.",
        epilog="Exit status: 0 success, 2 bad command line, 3 bad query, 4 bad JSON, "
        "5 unreadable file, 6 internal fault, 7 output not written; the first problem met "
        "decides. With --exit-status and no problem: 1 when the last result was false or "
        "null, 4 when there was no result.",
    )
    parser.add_argument("-h", "--help", action=Help, nargs=0, default=argparse.SUPPRESS,
                        dest=argparse.SUPPRESS, help="show this help and exit")
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
    for name in _REFUSED:
        parser.add_argument(name, nargs="*", action=Refuse, default=argparse.SUPPRESS,
                            help=argparse.SUPPRESS)
    parser.add_argument("-V", "--version", action=Version, nargs=0, default=argparse.SUPPRESS,
                        dest=argparse.SUPPRESS, help="print the version and exit")
    return parser


def _parse_args(argv: Sequence[str] | None, stdout: _Writer, *, fast: bool = True) -> _Args:
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
    if args.elements is not None:
        others = [name for name, given in (("--lines", args.lines), ("--raw-input", args.raw_input),
                                           ("--seq", args.seq), ("--null-input", args.null_input))
                  if given]
        if others:
            _argparse_parser(stdout).error(
                f"--elements reads each input as one array, which {others[0]} does not")
    return args


# --- Standard streams and messages ---------------------------------------------

class _Closed:
    """Standard input or output when the command started with it closed:
    using it fails, as using a closed descriptor does, with a message that
    says which it is, so that a run that never needs it goes on."""

    def __init__(self, which: str) -> None:
        self.which = which

    def fail(self) -> NoReturn:
        raise OSError(errno.EBADF, f"standard {self.which} is closed")

    def read(self, size: int = -1, /) -> bytes:
        self.fail()

    def write(self, data: bytes, /) -> int:
        self.fail()

    def flush(self) -> None:  # nothing was written, so nothing failed
        pass


class _Discard:
    """Standard error when it is closed, or once writing to it has failed:
    the messages are lost, and the exit status still tells what happened."""

    def write(self, text: str, /) -> int:
        return len(text)


def _to_devnull(fd: int) -> None:
    """Points FD at /dev/null, so that the interpreter's last flush of what
    its stream still holds, at exit, cannot fail again and change the status."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, fd)
    finally:
        os.close(devnull)


class _WriteFailed(Exception):
    """Writing the results failed; the run stops. Not an OSError, so that no
    handler of input errors can take it for one."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _Output:
    """Standard output, for the results: a write that fails raises
    _WriteFailed, which ends the run, whatever was being read."""

    def __init__(self, file: _Writer) -> None:
        self.file = file

    def write(self, data: bytes) -> None:
        try:
            self.file.write(data)
        except OSError as exc:
            raise _WriteFailed(exc) from None

    def flush(self) -> None:
        try:
            self.file.flush()
        except OSError as exc:
            raise _WriteFailed(exc) from None


# How a character that would break a message's line (or is not printable)
# is written in it, the way query syntax errors quote their text.
_LINE_ESCAPES = {"\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def _one_line(text: str) -> str:
    """TEXT with its characters that are not printable escaped, so that a
    message stays on its line (a JSON error may name a NUL or a line feed)."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else _LINE_ESCAPES.get(c) or f"\\u{{{ord(c):x}}}"
                   for c in text)


class _Messages:
    """Standard error, where every problem is reported as "tamsel-vonk:
    WHERE: MESSAGE", each note of the exception under it, indented."""

    def __init__(self, file: _TextWriter) -> None:
        self.file = file

    def say(self, where: str, message: str, exc: BaseException | None = None) -> None:
        lines = [f"{PROG}: {where}: {message}"]
        for note in getattr(exc, "__notes__", None) or ():
            lines.extend("  " + line for line in str(note).split("\n"))
        try:
            self.file.write("".join(_one_line(line) + "\n" for line in lines))
        except (OSError, ValueError):  # standard error full, or closed since
            if self.file is sys.stderr:
                _to_devnull(2)
            self.file = _Discard()


# --- Laying results out ---------------------------------------------------------

def _raw_text(string: bytes) -> bytes:
    """The text of STRING, a JSON string as `tojson` writes it (in UTF-8,
    escaping with backslashes only), as --raw-output prints it."""
    if b"\\" not in string:
        return string[1:-1]
    # The module reads back what it wrote; json would too, but it loads re,
    # which takes longer to import than an ordinary run takes.
    text: str = _IDENTITY.first_bytes(string)
    return text.encode("utf-8")


def _escape_del(text: bytes) -> bytes:
    """TEXT, JSON, with DEL written as jq writes it. DEL can stand only
    inside a string there, so every one of them is replaced."""
    return text.replace(b"\x7f", b"\\u007f") if b"\x7f" in text else text


def _json_escapes(exc: UnicodeError) -> tuple[str, int]:
    """The handler of encoding errors for --ascii-output: characters outside
    ASCII as \\uXXXX, those outside the first plane as a surrogate pair."""
    if not isinstance(exc, UnicodeEncodeError):
        raise exc
    out = []
    for char in exc.object[exc.start:exc.end]:
        code = ord(char)
        if code > 0xFFFF:
            code -= 0x10000
            out.append(f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}")
        else:
            out.append(f"\\u{code:04x}")
    return "".join(out), exc.end


def _ascii(text: bytes) -> bytes:
    """TEXT (UTF-8, the output of a chunk) with every character outside ASCII
    escaped. Outside a JSON string there is none, and a raw string gets its
    escapes without quotes."""
    if text.isascii():
        return text
    return text.decode("utf-8").encode("ascii", "tamsel-vonk-json-escapes")


# jq 1.6's colours, for null, false, true, numbers, strings, arrays and
# objects in turn; object keys have their own, which JQ_COLORS does not set.
_DEFAULT_COLOURS = ("1;30", "0;39", "0;39", "0;39", "0;32", "1;39", "1;39")
_KEY_COLOUR = "34;1"


def _colours(spec: str | None) -> tuple[list[str], str | None]:
    """The colours of JQ_COLORS=SPEC, read as jq 1.6 reads it, and a warning
    when it cannot be used: the colours are given in the order of
    _DEFAULT_COLOURS, separated by ":", each of digits and ";" and at most
    12 characters; those left out (nothing after a last ":" among them)
    keep their default, and those past the seventh are ignored. A colour
    that cannot be used leaves every colour at its default."""
    colours = list(_DEFAULT_COLOURS)
    if not spec:
        return colours, None
    given = spec.split(":")
    if given[-1] == "":
        given.pop()
    given = given[:len(colours)]
    for colour in given:
        if len(colour) > 12 or colour.strip("0123456789;"):
            return colours, (f"cannot use {spec!r}: each colour is digits and ';', at most "
                             "12 characters, separated by ':'; the default colours are used")
    colours[:len(given)] = given
    return colours, None


class _Layout:
    """Lays results out again from their compact JSON text, for what the
    module does not do: the members of objects sorted by key (--sort-keys)
    and jq's colours. Every string, key and number is kept byte for byte as
    the module wrote it; only its place and the escapes of colour around it
    change, and without them the layout is the module's own. Any depth is
    laid out without recursion, each container once its last member is."""

    def __init__(self, unit: str | None, sort_keys: bool, colours: list[str] | None) -> None:
        import re

        # Compact JSON text holds no white space outside strings, and what
        # "," and ":" separate is known from where it stands.
        self.tokens = re.compile(rb'"[^"\\]*(?:\\.[^"\\]*)*"|[^"\[\]{},:]+|[\[\]{}]').findall
        self.unit = None if unit is None else unit.encode("ascii")
        self.sort_keys = sort_keys
        paint = [f"\x1b[{c}m".encode("ascii") for c in colours or ()]
        self.painted = bool(paint)
        reset = b"\x1b[0m" if paint else b""
        self.reset = reset
        # For each first byte of a scalar token, the colour before it.
        self.scalars: dict[int, bytes] = {}
        self.number = self.array = self.object = b""
        if paint:
            null, false, true, self.number, string, self.array, self.object = paint
            self.scalars = {ord("n"): null, ord("f"): false, ord("t"): true, ord('"'): string}
        # What stands around each key of an object: as jq does, the key has
        # a colour of its own, and the colon the object's.
        self.key_before = reset + (f"\x1b[{_KEY_COLOUR}m".encode("ascii") if paint else b"")
        self.key_after = (reset + self.object + (b": " if self.unit is not None else b":")
                          + reset)

    def __call__(self, text: bytes) -> bytes:
        # The members laid out so far of each open container (for an
        # object, key and value in turn), and whether it is an object; the
        # innermost in MEMBERS and IS_OBJECT.
        outer: list[list[bytes]] = []
        outer_kinds: list[bool] = []
        members: list[bytes] = []
        is_object = False
        painted, reset, scalars, number = self.painted, self.reset, self.scalars, self.number
        for token in self.tokens(text):
            first = token[0]
            if first == 0x5B or first == 0x7B:  # [ {
                outer.append(members)
                outer_kinds.append(is_object)
                members, is_object = [], first == 0x7B
            elif first == 0x5D or first == 0x7D:  # ] }
                depth = len(outer) - 1
                piece = (self.lay_object(members, depth) if is_object
                         else self.lay_array(members, depth))
                members, is_object = outer.pop(), outer_kinds.pop()
                members.append(piece)
            elif not painted or (is_object and not len(members) & 1):
                members.append(token)  # a key is painted with its member
            else:
                members.append(scalars.get(first, number) + token + reset)
        return members[0]

    def breaks(self, depth: int) -> tuple[bytes, bytes]:
        """What starts a line inside a container at DEPTH, and before its end."""
        if self.unit is None:
            return b"", b""
        return b"\n" + self.unit * (depth + 1), b"\n" + self.unit * depth

    def lay_array(self, members: list[bytes], depth: int) -> bytes:
        paint = self.array
        if not members:
            return paint + b"[]" + self.reset
        inner, outer = self.breaks(depth)
        # As jq does, the array's colour is set again after each member.
        return (paint + b"[" + inner + (paint + b"," + inner).join(members) + paint + outer
                + paint + b"]" + self.reset)

    def lay_object(self, members: list[bytes], depth: int) -> bytes:
        paint = self.object
        if not members:
            return paint + b"{}" + self.reset
        pairs = list(zip(members[0::2], members[1::2]))
        if self.sort_keys:
            # By the keys' UTF-8 bytes, which is code point order, as jq
            # sorts them; stable, so a key written twice keeps its order.
            pairs.sort(key=lambda pair: _raw_text(pair[0]))
        inner, outer = self.breaks(depth)
        before, after = self.key_before, self.key_after
        laid = [before + key + after + value + paint for key, value in pairs]
        return (paint + b"{" + inner + (b"," + inner).join(laid) + outer + paint + b"}"
                + self.reset)


# --- Running ----------------------------------------------------------------------

def _at_line(name: str, exc: BaseException, first_line: int = 1) -> str:
    """NAME, and the line on which the bad text EXC is about starts, in an
    input whose text read begins on FIRST_LINE."""
    return f"{name}:{getattr(exc, 'line') + first_line - 1}"


class _Run:
    """Runs the program over streams of texts and prints the results as the options ask."""

    def __init__(self, program: tamsel_vonk.TamselProgram, args: _Args, stdout: _Output,
                 messages: _Messages, *, colours: list[str] | None,
                 unbuffered: bool) -> None:
        self.program = program
        self.layout = (_Layout(args.unit, args.sort_keys, colours)
                       if args.sort_keys or colours else None)
        # Every result comes back as its JSON text, laid out as asked:
        # exactly as `tojson` writes it, however deeply nested (compact when
        # it is laid out again here).
        self.options: dict[str, Any] = {
            "first": args.first, "as_json": True,
            "indent": None if self.layout else args.unit}
        self.raw = args.raw_output or args.join_output
        self.end = b"" if args.join_output else b"\n"
        self.before = RS if args.seq else b""
        self.ascii = args.ascii_output
        if self.ascii:
            import codecs

            codecs.register_error("tamsel-vonk-json-escapes", _json_escapes)
        # Results that are printed as the module gave them (then only DEL
        # changes) take no Python step each.
        self.as_given = not (self.raw or self.layout or self.before)
        self.unbuffered = unbuffered
        self.stdout = stdout
        self.messages = messages
        self.status = EXIT_OK
        self.bad_texts = 0
        self.last: bytes | None = None  # the last result printed, for --exit-status

    def fail(self, status: int, where: str, message: str,
             exc: BaseException | None = None) -> None:
        # Results printed so far go out first, so that a terminal (or 2>&1)
        # shows the message after them.
        self.stdout.flush()
        self.messages.say(where, message, exc)
        if self.status == EXIT_OK:
            self.status = status

    def bad(self, where: str, exc: BaseException) -> None:
        """Reports a text that is not JSON, or whose run ended with an internal fault."""
        self.bad_texts += 1
        # The message as input() gives it, without the stream's "text N at
        # byte M (line L): ", since WHERE names the input and line.
        message = getattr(exc, "message")
        if isinstance(exc, ValueError):
            self.fail(EXIT_JSON, where, message, exc)
        else:
            self.fail(EXIT_FAULT, where, f"internal fault: {message}", exc)

    def shape(self, text: bytes) -> bytes:
        """One result as it is printed, when not as the module gave it."""
        if self.raw and text[:1] == b'"':
            return _raw_text(text)
        if self.layout is not None:
            text = self.layout(text)
        return self.before + _escape_del(text)

    def write(self, texts: list[list[bytes]]) -> int:
        """Prints the results of TEXTS, a list of JSON texts each; returns
        how many bytes that took."""
        results = list(chain.from_iterable(texts))
        if not results:
            return 0
        self.last = results[-1]
        if self.as_given:
            data = _escape_del(self.end.join(results))
        else:
            data = self.end.join(map(self.shape, results))
        if self.ascii:
            data = _ascii(data)
        self.stdout.write(data)
        self.stdout.write(self.end)
        if self.unbuffered:
            self.stdout.flush()
        return len(data) + len(self.end)

    def each(self, name: str, source: Source, *, lines: bool = False,
             elements: bool | str | None = None, numbered: bool = True,
             first_line: int = 1) -> None:
        """Runs the program over every text of SOURCE (or the ELEMENTS of its
        array) and prints the results. A bad text is reported in its place
        among them, named by NAME and, when NUMBERED, its line (SOURCE's
        first line being FIRST_LINE), and skipped. One that is not JSON ends
        SOURCE, unless LINES or ELEMENTS, since where the text after it
        starts cannot be trusted (as jq does); an element's end is where
        the array's grammar says."""
        def where(exc: BaseException) -> str:
            return _at_line(name, exc, first_line) if numbered else name

        # One entry per text: the list of its results, or in its place the
        # exception of a bad text.
        with self.program.stream(source, lines=lines, elements=elements, per_text=True,
                                 errors="skip", **self.options) as texts:
            go_on = lines or bool(elements)
            # Unbuffered, each text is printed once it is run, not once a
            # chunk of them is.
            count = 1 if self.unbuffered else _FIRST_CHUNK
            while True:
                chunk: list[Any] = []
                try:
                    # extend keeps the texts that came before an exception.
                    chunk.extend(islice(texts, count))
                except BaseException as exc:
                    # What came before the exception goes out first, whatever
                    # it is. Past a text that ended the input, it is not ours.
                    if self.print_texts(chunk, where, go_on) < 0 and isinstance(exc, Exception):
                        return
                    raise
                size = self.print_texts(chunk, where, go_on)
                if size < 0 or len(chunk) < count:
                    return
                if not self.unbuffered:
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


# --- Inputs -----------------------------------------------------------------------

class _FilePath:
    """A file named on the command line, which the module opens and reads
    itself (pathlib would cost its import at every start)."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __fspath__(self) -> str:
        return self.name


def _as_file(reader: _Reader) -> BinaryIO:
    """READER, for the module's streams, which read any object through its
    read1(n), or read(n) when it has no read1."""
    return reader  # type: ignore[return-value]


def _each_input(run: _Run, files: list[str], stdin: _Reader,
                action: Callable[[str, Source], None]) -> None:
    """Calls ACTION with the name and source of every input; reports the
    inputs that cannot be read."""
    for name in files or ["-"]:
        where = "<stdin>" if name == "-" else name
        try:
            action(where, _as_file(stdin) if name == "-" else _FilePath(name))
        except OSError as exc:
            run.fail(EXIT_FILE, where, f"cannot read: {exc.strerror or exc}")
        except tamsel_vonk.TamselTextError as exc:  # binary data, which ends the input
            run.bad(_at_line(where, exc), exc)
        except ValueError as exc:
            if str(exc).startswith(_BROKEN_ARRAY):  # the array of --elements
                run.fail(EXIT_JSON, where, str(exc))
            else:  # a broken archive, or one in a format not read here
                run.fail(EXIT_FILE, where, f"cannot read: {exc}")


def _reading(file: object) -> Callable[[], bytes]:
    """What reads FILE a piece at a time, b"" at its end."""
    read = getattr(file, "read1", None) or getattr(file, "read")
    return lambda: bytes(read(_READ_SIZE))


class _Opened:
    """For the inputs this command reads itself: what reads SOURCE a piece
    at a time, its file opened here when it is a path, and closed at the
    end of the with block."""

    def __init__(self, source: Source) -> None:
        self.source = source
        self.file: Any = None

    def __enter__(self) -> Callable[[], bytes]:
        if isinstance(self.source, _FilePath):
            self.file = open(self.source.name, "rb")
            return _reading(self.file)
        return _reading(self.source)

    def __exit__(self, *exc: object) -> None:
        if self.file is not None:
            self.file.close()


class _Records:
    """An input of --seq: records that each start with RS. It reads as a
    file (read1) that ends at the next RS, so that each record is a source
    of its own for a stream, and a text in it that is not JSON loses only
    the rest of its record. Text before the first RS is a record too, so
    that input without any RS reads as without --seq."""

    def __init__(self, read: Callable[[], bytes]) -> None:
        self.read_more = read
        self.data = b""
        self.at = 0
        self.ended = False  # the input's end was read
        self.in_record = True  # the current record's RS was not reached
        self.line = 1  # the line of the next byte

    def fill(self) -> bool:
        """Whether there is unread input, after reading more if need be."""
        if self.at == len(self.data) and not self.ended:
            self.data, self.at = self.read_more(), 0
            self.ended = not self.data
        return self.at < len(self.data)

    def read1(self, size: int = -1, /) -> bytes:
        """Up to SIZE bytes of the current record; b"" at its end."""
        if not self.in_record or not self.fill():
            return b""
        end = self.data.find(RS, self.at, self.at + size if size >= 0 else len(self.data))
        if end == self.at:
            self.in_record = False
            return b""
        if end < 0:
            end = len(self.data) if size < 0 else min(len(self.data), self.at + size)
        piece = self.data[self.at:end]
        self.at = end
        self.line += piece.count(b"\n")
        return piece

    read = read1

    def next_record(self) -> bool:
        """Passes the rest of the current record, and the RS after it;
        returns False at the end of the input."""
        while self.fill():
            end = self.data.find(RS, self.at)
            stop = len(self.data) if end < 0 else end
            self.line += self.data.count(b"\n", self.at, stop)
            self.at = stop
            if end >= 0:
                self.at += 1
                self.in_record = True
                return True
        return False


def _each_record(source: Source, action: Callable[[Source, int], None]) -> None:
    """Calls ACTION with each record of SOURCE (--seq) and the line it starts on."""
    with _Opened(source) as read:
        records = _Records(read)
        while True:
            action(_as_file(records), records.line)
            if not records.next_record():
                return


# The bytes that a JSON string holds as they are, and how each of the
# others is written in one (a line break is one only with --slurp).
_PLAIN_BYTES = bytes(b for b in range(0x20, 0x100) if b not in b'"\\')
_STRING_ESCAPES = {b: b"\\u%04x" % b for b in range(0x20)}
_STRING_ESCAPES.update({0x09: b"\\t", 0x0A: b"\\n", 0x0D: b"\\r", 0x22: b'\\"', 0x5C: b"\\\\"})


def _json_string(text: bytes, line_break: bytes = b"\\n") -> bytes:
    """TEXT (UTF-8) as a JSON string, each line break in it written as LINE_BREAK."""
    needed = set(text.translate(None, _PLAIN_BYTES))
    # Backslashes first, and quotes before line breaks, so that no escape
    # is escaped again.
    for byte in sorted(needed, key=lambda byte: (byte != 0x5C, byte != 0x22, byte == 0x0A)):
        escape = line_break if byte == 0x0A else _STRING_ESCAPES[byte]
        text = text.replace(bytes((byte,)), escape)
    return b'"' + text + b'"'


def _json_lines(lines: bytes) -> bytes:
    """Each line of LINES as a JSON string on a line of its own; the last
    line may lack its line break."""
    return _json_string(lines[:-1] if lines.endswith(b"\n") else lines, b'"\n"')


class _NotUtf8:
    """The first line of some lines of raw input that is not UTF-8: where it
    starts, where the bytes that are not UTF-8 are, and where the next line
    starts (past the end of the lines when there is none)."""

    def __init__(self, text: bytes, at: int) -> None:
        self.start = text.rfind(b"\n", 0, at) + 1
        self.at = at
        end = text.find(b"\n", at)
        self.next = len(text) if end < 0 else end + 1
        self.byte = text[at]

    @classmethod
    def find(cls, text: bytes) -> _NotUtf8 | None:
        try:
            text.decode("utf-8")
        except UnicodeDecodeError as exc:
            return cls(text, exc.start)
        return None

    def report(self, run: _Run, name: str, line: int) -> None:
        """Reports the line, which is LINE of NAME, as the module reports a
        text that is not UTF-8: the line is the text."""
        run.bad_texts += 1
        run.fail(EXIT_JSON, f"{name}:{line}",
                 f"InvalidUtf8 at character {self.at - self.start} ('{chr(self.byte)}')")


def _skip_bom(text: bytes) -> bytes:
    return text[3:] if text.startswith(b"\xef\xbb\xbf") else text


def _each_raw_line(run: _Run, name: str, source: Source) -> None:
    """--raw-input: runs the program over every line of SOURCE as a string,
    without its line break, a piece of whole lines at a time. A line that
    is not UTF-8 is reported and skipped."""
    line = 1  # the line the next piece starts on
    with _Opened(source) as read:
        pending: list[bytes] = []  # read, but not up to a line break yet
        first = True
        while True:
            data = read()
            end = data.rfind(b"\n") + 1
            if data and not end:
                pending.append(data)
                continue
            pending.append(data[:end])
            piece = b"".join(pending)
            pending = [data[end:]]
            if first:  # the first piece holds the first line whole
                piece, first = _skip_bom(piece), False
            while piece:
                bad = _NotUtf8.find(piece)
                good = piece if bad is None else piece[:bad.start]
                if good:
                    run.each(name, _json_lines(good), lines=True, first_line=line)
                    line += good.count(b"\n")
                if bad is None:
                    break
                bad.report(run, name, line)
                line += 1
                piece = piece[bad.next:]
            if not data:
                return


def _slurp_raw(run: _Run, files: list[str], stdin: _Reader) -> None:
    """--raw-input --slurp: runs the program once, over all of every input
    as one string. Every line that is not UTF-8 is reported, and then the
    program does not run."""
    texts: list[bytes] = []

    def read(name: str, source: Source) -> None:
        with _Opened(source) as read_more:
            text = _skip_bom(b"".join(iter(read_more, b"")))
        texts.append(text)
        line = 1
        while text:
            bad = _NotUtf8.find(text)
            if bad is None:
                return
            line += text.count(b"\n", 0, bad.start)
            bad.report(run, name, line)
            line += 1
            text = text[bad.next:]

    _each_input(run, files, stdin, read)
    if not run.bad_texts:
        run.each("<slurped input>", _json_string(b"".join(texts)), numbered=False)


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


def _slurp(run: _Run, args: _Args, stdin: _Reader) -> None:
    """Runs the query once over an array of every document of every input.
    Bad documents are all reported, as without --slurp, and then the query
    does not run."""
    import json

    documents: list[Any] = []

    def read_part(name: str, source: Source, first_line: int = 1) -> None:
        errors: Literal["raise", "skip"] = "skip" if args.lines else "raise"
        with _IDENTITY.stream(source, lines=args.lines, elements=args.elements,
                              errors=errors) as values:
            try:
                documents.extend(values)
            except (tamsel_vonk.TamselTextError, tamsel_vonk.PanicException) as exc:
                run.bad(_at_line(name, exc, first_line), exc)
            for skipped in values.skipped:
                run.bad(_at_line(name, skipped, first_line), skipped)

    def read(name: str, source: Source) -> None:
        if args.seq:
            _each_record(source, lambda record, line: read_part(name, record, line))
        else:
            read_part(name, source)

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


def _is_terminal(file: object) -> bool:
    try:
        return bool(getattr(file, "isatty")())
    except (AttributeError, OSError, ValueError):
        return False


def _run_inputs(run: _Run, args: _Args, stdin: _Reader) -> None:
    """Runs the program over every input as the options ask."""
    if args.null_input:
        run.each("null input", b"null", numbered=False)
    elif args.raw_input and args.slurp:
        _slurp_raw(run, args.files, stdin)
    elif args.raw_input:
        _each_input(run, args.files, stdin, lambda name, source: _each_raw_line(run, name, source))
    elif args.slurp:
        _slurp(run, args, stdin)
    elif args.seq:
        _each_input(run, args.files, stdin, lambda name, source: _each_record(
            source, lambda record, line: run.each(name, record, lines=args.lines,
                                                  first_line=line)))
    else:
        _each_input(run, args.files, stdin,
                    lambda name, source: run.each(name, source, lines=args.lines,
                                                  elements=args.elements))


def main(argv: list[str] | None = None, *, stdin: BinaryIO | None = None,
         stdout: BinaryIO | None = None, stderr: TextIO | None = None) -> int:
    """Runs the command line; returns the exit status. A standard stream
    that is closed (None in sys) is used only if the run needs it: reading
    a closed standard input is an unreadable input, writing a closed
    standard output a failed write, and messages to a closed standard error
    are lost (the status still tells what happened)."""
    reader: _Reader = (stdin if stdin is not None else
                       sys.stdin.buffer if sys.stdin is not None else _Closed("input"))
    writer: _Writer = (stdout if stdout is not None else
                       sys.stdout.buffer if sys.stdout is not None else _Closed("output"))
    messages = _Messages(stderr if stderr is not None else sys.stderr or _Discard())
    output = _Output(writer)
    run: _Run | None = None
    try:
        args = _parse_args(argv, output)
        try:
            query = _read_query(args)
        except _QueryFileError as exc:
            messages.say(args.from_file or "", str(exc))
            return EXIT_QUERY
        try:
            program = tamsel_vonk.compile(query)
        except UnicodeEncodeError:  # bytes of the argument that are not UTF-8
            messages.say("query", "not UTF-8 text")
            return EXIT_QUERY
        except ValueError as exc:
            messages.say("query", str(exc), exc)
            return EXIT_QUERY
        terminal = _is_terminal(writer)
        colour = args.colour
        if colour is None:
            colour = terminal and not os.environ.get("NO_COLOR")
        colours = None
        if colour:
            colours, warning = _colours(os.environ.get("JQ_COLORS"))
            if warning:
                messages.say("JQ_COLORS", warning)
        # On a terminal, each result shows as soon as it is made, as with --unbuffered.
        run = _Run(program, args, output, messages, colours=colours,
                   unbuffered=args.unbuffered or terminal)
        _run_inputs(run, args, reader)
        output.flush()
        if run.status == EXIT_OK and args.exit_status:
            if run.last is None:
                return EXIT_NO_RESULT
            if run.last in (b"false", b"null"):
                return EXIT_FALSY
        return run.status
    except _WriteFailed as failed:
        # Nothing more can be shown: the run stops. The reader of a pipe
        # that went away (`tamsel-vonk ... | head`) was told all it wanted.
        if not isinstance(failed.error, BrokenPipeError):
            messages.say("writing output failed", failed.error.strerror or str(failed.error))
        if writer is getattr(sys.stdout, "buffer", None):
            _to_devnull(sys.stdout.fileno())
        if run is None or run.status == EXIT_OK:
            return EXIT_OK if isinstance(failed.error, BrokenPipeError) else EXIT_WRITE
        return run.status


if __name__ == "__main__":
    sys.exit(main())
