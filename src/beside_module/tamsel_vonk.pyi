"""Compile small jq-like queries once and run them over JSON text."""

from typing import Any, Callable, Iterator, Tuple, final

# Any object that exports a buffer of bytes (bytes, bytearray, memoryview,
# mmap.mmap, array.array); the *_bytes methods also need it contiguous.
from _typeshed import ReadableBuffer

__all__ = ["compile", "TamselProgram", "TamselVonkIter"]

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
        ValueError here, never later during iteration.
        """
    def first(self, json_text: str) -> Any:
        """Runs the query over one JSON document and returns its first
        result, or None when there is none."""
    def input_bytes(self, json_bytes: ReadableBuffer) -> TamselVonkIter:
        """Like input(), for UTF-8 JSON text in a contiguous bytes-like
        object; bytes that are not UTF-8 raise ValueError "InvalidUtf8 ..."."""
    def first_bytes(self, json_bytes: ReadableBuffer) -> Any:
        """Like first(), for UTF-8 JSON text in a contiguous bytes-like object."""
    def __reduce__(self) -> Tuple[Callable[[str], TamselProgram], Tuple[str]]: ...

@final
class TamselVonkIter(Iterator[Any]):
    """The finished results of one TamselProgram.input() call."""

    def __iter__(self) -> TamselVonkIter: ...
    def __next__(self) -> Any: ...

class PanicException(BaseException):
    """An internal fault ended one call, such as an integer remainder by
    zero. It derives from BaseException, so `except Exception` lets it pass;
    the program that raised it stays usable."""
