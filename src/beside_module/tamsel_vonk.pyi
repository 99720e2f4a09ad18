"""Compile small jq-like queries once and run them over JSON text."""

import os
from types import TracebackType
from typing import (Any, BinaryIO, Callable, Dict, Iterable, Iterator, List, Literal, Optional,
                    Protocol, Tuple, Type, Union, final)

# Any object that exports a buffer of bytes (bytes, bytearray, memoryview,
# mmap.mmap, array.array); the *_bytes methods also need it contiguous.
from _typeshed import ReadableBuffer

__all__ = ["compile", "TamselProgram", "TamselVonkIter"]

# Where the texts of a stream come from: the text itself (bytes-like or
# str), a binary file object (anything with read(n) -> bytes), or the path
# of a file.
StreamSource = Union[ReadableBuffer, str, BinaryIO, "os.PathLike[str]", "os.PathLike[bytes]"]
# The layout of results returned as JSON text: None compact, a number of
# spaces per level, or the string that indents one level.
Indent = Union[None, int, str]
# The array whose elements are a stream's texts: None or False for none,
# True for the source itself, or a path of keys to it (".items", or a list
# of keys).
Elements = Union[None, bool, str, List[str], Tuple[str, ...]]

__version__: str

def compile(query: str) -> TamselProgram:
    """Compiles a query.

    Raises ValueError "Invalid query syntax: ..." or "Extra chars".
    """

@final
class TamselProgram:
    """A compiled query; made only by compile(), reusable, never changed."""

    def input(self, json_text: str) -> TamselVonkIter:
        """Runs the query over one JSON document and returns every result.

        Every result is computed before this returns; malformed JSON raises
        ValueError here, never later during iteration. For bytes, or results
        as JSON text, see input_bytes().
        """
    def first(self, json_text: str) -> Any:
        """Runs the query over one JSON document and returns its first
        result, or None when there is none."""
    def input_bytes(self, json_bytes: Union[str, ReadableBuffer], *, as_json: bool = False,
                    indent: Indent = None) -> TamselVonkIter:
        """Like input(), for UTF-8 JSON text in a contiguous bytes-like
        object, or a str; bytes that are not UTF-8 raise ValueError
        "InvalidUtf8 ...". With `as_json`, each result is the bytes of its
        JSON text, as tojson writes it (laid out over lines with `indent`).
        A large text is parsed and run without the interpreter lock."""
    def first_bytes(self, json_bytes: Union[str, ReadableBuffer], *, as_json: bool = False,
                    indent: Indent = None) -> Any:
        """Like first(), for UTF-8 JSON text in a contiguous bytes-like
        object, or a str; the options are those of input_bytes()."""
    def stream(self, source: StreamSource, *, lines: bool = False, per_text: bool = False,
               first: bool = False, errors: Literal["raise", "skip"] = "raise",
               as_json: bool = False, indent: Indent = None,
               threads: int = 1, decompress: bool = True,
               elements: Elements = None) -> TamselStream:
        """Runs the query over every JSON text of `source`, in order, and
        returns an iterator over the results, read and run a batch of about
        a MiB of text at a time.

        Texts are separated by white space or written back to back; with
        `lines`, every line that is not blank is one text. Each text is
        parsed and run exactly as input() would. `per_text` yields one list
        of results per text instead; `first` keeps at most the first result
        of each. A bad text raises TamselTextError (PanicException for an
        internal fault) once the results before it are delivered; with
        errors="skip" it is skipped and its exception added to
        TamselStream.skipped, or with `per_text` yielded in its list's
        place. `as_json` yields each result as the bytes of its JSON text,
        laid out by `indent`. `threads` (1 to 256) parses and runs pieces of
        about a MiB on threads of the stream's own, with the same results.
        A source that starts as gzip or zstd data does is decompressed as
        it is read (unless `decompress` is False); a broken archive raises
        ValueError. `elements` reads the source as one JSON array whose
        elements are the texts (True), or as objects around one at a path
        of keys (".items", or a list of keys); an array that is not whole
        raises ValueError after the results before it.
        """
    def batch(self, texts: Iterable[Union[str, ReadableBuffer]], *, first: bool = False,
              errors: Literal["raise", "skip"] = "raise", as_json: bool = False,
              indent: Indent = None, threads: int = 1) -> List[Any]:
        """Runs the query over each of `texts`, a separate JSON document
        each, and returns one list of results per document (with `first`,
        its first result or None). A bad document raises TamselTextError
        (PanicException for an internal fault); with errors="skip", its
        entry is that exception instead. `as_json`, `indent` and `threads`
        are those of stream()."""
    def table(self, source: Union[StreamSource, Iterable[Union[str, ReadableBuffer, None]],
                                  ArrowStringColumn], *,
              columns: Optional[Dict[str, str]] = None, lines: bool = False,
              errors: Literal["raise", "skip"] = "raise", threads: int = 1,
              schema: Optional[ArrowSchemaExporter] = None,
              mismatch: Literal["raise", "null"] = "raise",
              batch_rows: Optional[int] = None, decompress: bool = True,
              elements: Elements = None) -> TamselTable:
        """Runs the query over every text of `source` and returns its results
        as rows of Arrow columns: each result is a row; `columns` maps each
        column's name to a query whose first result on the row is its value
        (null when it has none). Without `columns` the rows are objects and
        their members the columns. `source` is what stream() takes, an
        iterable of documents, or an Arrow string column. Types come from
        `schema` (any object with __arrow_c_schema__) or the first batch; a
        value that does not fit raises ValueError, or with mismatch="null"
        is null."""
    def __reduce__(self) -> Tuple[Callable[[str], TamselProgram], Tuple[str]]: ...

# Arrow data through the PyCapsule interface: a schema (pyarrow.schema), and
# a column of strings (a pyarrow array, a polars Series).
class ArrowSchemaExporter(Protocol):
    def __arrow_c_schema__(self) -> object: ...

class ArrowStreamExporter(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...

class ArrowArrayExporter(Protocol):
    def __arrow_c_array__(self, requested_schema: object = None) -> Tuple[object, object]: ...

ArrowStringColumn = Union[ArrowStreamExporter, ArrowArrayExporter]

@final
class TamselTable:
    """The results of one TamselProgram.table() call as rows of Arrow
    columns, for pyarrow.table(t), polars.DataFrame(t),
    pandas.DataFrame.from_arrow(t) and DuckDB. A table is read once."""

    # The exceptions of the texts skipped so far (errors="skip"), in order.
    skipped: List[Union[TamselTextError, PanicException]]

    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def __arrow_c_array__(self, requested_schema: object = None) -> Tuple[object, object]: ...
    def __arrow_c_schema__(self) -> object: ...
    def close(self) -> None:
        """Stops the table and releases what it holds."""
    def __enter__(self) -> TamselTable: ...
    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None: ...

@final
class TamselVonkIter(Iterator[Any]):
    """The finished results of one TamselProgram.input() call."""

    def __iter__(self) -> TamselVonkIter: ...
    def __next__(self) -> Any: ...

@final
class TamselStream(Iterator[Any]):
    """The results of one TamselProgram.stream() call, made as they are asked for."""

    # The exceptions of the texts skipped so far (errors="skip" without
    # per_text), in order, each added when iteration passes its text. Each
    # carries `index` (the text's number, from 0), `offset` (its byte
    # offset in the source), `line` (the line it starts on, from 1) and
    # `message` (what input() would have said of the text alone).
    skipped: List[Union[TamselTextError, PanicException]]

    def __iter__(self) -> TamselStream: ...
    def __next__(self) -> Any: ...
    def close(self) -> None:
        """Stops the stream and releases what it holds (its buffers, the
        file it opened from a path); later next() raises StopIteration."""
    def __enter__(self) -> TamselStream: ...
    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None: ...

class TamselTextError(ValueError):
    """A text of stream() or batch() that is not one JSON value.

    Its message is "text {index} at byte {offset} (line {line}): {message}"
    in a stream and "text {index}: {message}" in a batch.
    """

    index: int  # the text's number among the texts, from 0
    offset: Optional[int]  # its first byte's offset in a stream's source; None in a batch
    line: Optional[int]  # the line that byte is on, from 1; None in a batch
    message: str  # what input() says of the text alone

class PanicException(BaseException):
    """An internal fault ended one call, such as an integer remainder by
    zero. It derives from BaseException, so `except Exception` lets it pass;
    the program that raised it stays usable."""

    # For the fault of one text of stream() or batch(), as TamselTextError
    # has them; None when any other call raised it.
    index: Optional[int]
    offset: Optional[int]
    line: Optional[int]
    message: Optional[str]
