"""tamsel-vonk: run one query over JSON documents from files or standard input.

    tamsel-vonk QUERY [FILE ...]

Each FILE (or standard input when there is none, or for "-") is one JSON
document; with --lines, every non-blank line of it is one document. Every
result is printed as compact JSON on its own line, written by the query
language's own `tojson`. Problems are reported on standard error, processing
goes on with the next document, and the exit status tells what went wrong
first (see EXIT_* below).
"""

import argparse
import os
import sys
from typing import BinaryIO, Iterator, List, Optional, TextIO, Tuple

import tamsel_vonk

EXIT_OK = 0
EXIT_USAGE = 2  # bad command line (argparse's own status)
EXIT_QUERY = 3  # the query does not compile
EXIT_JSON = 4  # a document is not valid JSON (or not UTF-8)
EXIT_FILE = 5  # a file cannot be read
EXIT_FAULT = 6  # a run ended with an internal fault (PanicException)

PROG = "tamsel-vonk"

# Unicode white space, which is what the compiler ignores after a query.
_TRAILING_SPACE = (
    "\t\n\v\f\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006"
    "\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("tamsel_vonk")
    except Exception:  # not installed as a distribution (running from a checkout)
        return "unknown"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run a query over JSON documents and print every result as compact JSON, "
        "one per line.",
        epilog="Exit status: 0 success, 2 bad command line, 3 bad query, 4 bad JSON, "
        "5 unreadable file, 6 internal fault; the first problem met decides.",
    )
    parser.add_argument("query", metavar="QUERY", help="the query, for example '.items.[] | .name'")
    parser.add_argument(
        "files",
        metavar="FILE",
        nargs="*",
        help="documents to read; standard input when none is given, or for '-'",
    )
    parser.add_argument(
        "-l",
        "--lines",
        action="store_true",
        help="JSON Lines: every non-blank line is a document of its own",
    )
    parser.add_argument(
        "-f",
        "--first",
        action="store_true",
        help="print only the first result of each document (none when it has none)",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def compile_for_output(query: str) -> "tamsel_vonk.TamselProgram":
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


class _Run:
    def __init__(self, program: "tamsel_vonk.TamselProgram", first: bool,
                 stdout: BinaryIO, stderr: TextIO) -> None:
        self.program = program
        self.first = first
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

    def document(self, where: str, data: bytes) -> None:
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as exc:
            self.fail(EXIT_JSON, where, f"not UTF-8 text (byte {exc.start})")
            return
        if text.startswith("\ufeff"):  # a byte order mark is not part of the document
            text = text[1:]
        try:
            if self.first:
                result = self.program.first(text)
                out: List[str] = [] if result is None else [result]
            else:
                out = list(self.program.input(text))
        except ValueError as exc:
            self.fail(EXIT_JSON, where, str(exc))
            return
        except tamsel_vonk.PanicException as exc:
            self.fail(EXIT_FAULT, where, f"internal fault: {exc}")
            return
        if out:
            self.stdout.write(("\n".join(out) + "\n").encode("utf-8"))


def _sources(files: List[str], stdin: BinaryIO,
             run: _Run) -> Iterator[Tuple[str, BinaryIO]]:
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


def main(argv: Optional[List[str]] = None, *, stdin: Optional[BinaryIO] = None,
         stdout: Optional[BinaryIO] = None, stderr: Optional[TextIO] = None) -> int:
    """Runs the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    stdin = stdin if stdin is not None else sys.stdin.buffer
    stdout = stdout if stdout is not None else sys.stdout.buffer
    stderr = stderr if stderr is not None else sys.stderr
    try:
        program = compile_for_output(args.query)
    except UnicodeEncodeError:  # bytes of the argument that are not UTF-8
        stderr.write(f"{PROG}: query: not UTF-8 text\n")
        return EXIT_QUERY
    except ValueError as exc:
        stderr.write(f"{PROG}: query: {exc}\n")
        return EXIT_QUERY
    run = _Run(program, args.first, stdout, stderr)
    try:
        for name, stream in _sources(args.files, stdin, run):
            try:
                if args.lines:
                    for number, line in enumerate(stream, 1):
                        if line.strip():
                            run.document(f"{name}:{number}", line)
                else:
                    run.document(name, stream.read())
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


if __name__ == "__main__":
    sys.exit(main())
