"""Running tamsel_vonk in worker pools: multiprocessing, concurrent.futures, Dask.

Many documents per task: a stream (or batch) with errors="skip" reports
each bad text, whether malformed or met by an internal fault, in
`skipped` or in its place, and raises for neither, so a task that streams
a block of JSON Lines needs no wrapper. `block_ranges` and `read_block`
cut a file into such blocks, each read by the worker that runs it:

    def run_range(path, start, stop):
        block = tamsel_vonk_pool.read_block(path, start, stop)
        with program.stream(block, lines=True, errors="skip") as results:
            return list(results), results.skipped

One document per task: an internal fault of one call (an integer remainder
by zero, for example) raises tamsel_vonk.PanicException, which derives
from BaseException so that an ordinary `except Exception` does not hide
it. concurrent.futures.ProcessPoolExecutor passes it on from a task as
it is; two other pools lose it on the way to the caller:

- multiprocessing.Pool catches only Exception in its workers: the worker
  process ends, the task's result never comes, and get() or imap wait
  forever.
- Dask (distributed) catches it in the worker, which lives on, and keeps
  it as the task's error (future.exception() returns it). The client's
  result(), gather() and compute() hand the error over in a coroutine that
  tornado's gen.Runner drives, while the calling thread waits for an event
  that the coroutine sets when it ends (distributed.utils.sync). The runner
  takes only Exception and asyncio.CancelledError from the future it waits
  on: the fault escapes to the event loop, which logs "Exception in
  callback" and drops it. The coroutine never ends, so the thread waits
  forever or, given a timeout, raises TimeoutError in place of the fault.

Wrap the function that a pool runs with `catch_panics`, and a fault reaches
the caller as InternalFault, an ordinary exception, for the task that met it:

    @tamsel_vonk_pool.catch_panics
    def run_one(json_text):
        return list(program.input(json_text))
"""

import contextlib
import functools
import mmap
import os
from typing import Any, BinaryIO, Callable, Iterator, List, Tuple, TypeVar, Union

import tamsel_vonk

Result = TypeVar("Result")
FilePath = Union[str, "os.PathLike[str]"]

__all__ = ["InternalFault", "block_ranges", "catch_panics", "map_block", "read_block"]


class InternalFault(RuntimeError):
    """A tamsel_vonk.PanicException, raised again as an ordinary exception.

    Its message is the fault's text. It pickles, so it crosses process
    boundaries as pools send exceptions back.
    """


def catch_panics(function: Callable[..., Result]) -> Callable[..., Result]:
    """Returns FUNCTION, but raising InternalFault where it raised PanicException.

    Use it as a decorator on a module-level function: the result keeps the
    function's name and module, so pools still pickle it by reference.
    """

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Result:
        try:
            return function(*args, **kwargs)
        except tamsel_vonk.PanicException as fault:
            raise InternalFault(str(fault)) from fault

    return wrapper


def block_ranges(path: FilePath, block_size: int) -> List[Tuple[int, int]]:
    """The (start, stop) byte ranges that cut the file at PATH every BLOCK_SIZE bytes.

    The ranges follow one another from 0 to the file's size (none for an
    empty file) and may cut lines; read_block moves each cut to a line
    break, so the blocks it reads for these ranges hold every line of the
    file once, in order, and joined give back the file.
    """
    if block_size < 1:
        raise ValueError(f"block_size must be at least 1, not {block_size}")
    size = os.path.getsize(path)
    return [(start, min(start + block_size, size)) for start in range(0, size, block_size)]


def read_block(path: FilePath, start: int, stop: int) -> bytes:
    """The whole lines of the file at PATH that make up the block of range [START, STOP).

    The block begins just after the first line feed at or after START (at
    0 when START is 0) and ends just after the first line feed at or after
    STOP, or at the end of the file. A line belongs to the block whose range
    holds the line feed before it, so it is read once, however the ranges
    cut it; a range inside a line longer than itself gives b"". The cuts
    are those of dask.bytes.read_bytes(..., delimiter=b"\\n").
    """
    with open(path, "rb") as file:
        begin, end = _block_bounds(file, start, stop)
        file.seek(begin)
        return file.read(end - begin)


@contextlib.contextmanager
def map_block(path: FilePath, start: int, stop: int) -> Iterator[memoryview]:
    """The block that read_block(PATH, START, STOP) reads, as a memoryview of
    the file mapped into memory, valid inside the with block.

    Nothing is copied: the stream reads the lines where the system's file
    cache holds them, which spares a large block the time of reading it
    into a bytes object first.
    """
    with open(path, "rb") as file:
        begin, end = _block_bounds(file, start, stop)
        if begin == end:
            yield memoryview(b"")
            return
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            view = memoryview(mapped)[begin:end]
            try:
                yield view
            finally:
                view.release()


def _block_bounds(file: BinaryIO, start: int, stop: int) -> Tuple[int, int]:
    """Where the block of range [START, STOP) begins and ends in FILE."""
    begin = 0 if start <= 0 else _after_line_feed(file, start)
    end = begin if begin > stop else _after_line_feed(file, stop)
    return begin, end


def _after_line_feed(file: BinaryIO, position: int) -> int:
    """The offset just past the first line feed at or after POSITION, or the file's size."""
    file.seek(position)
    while True:
        chunk = file.read(1 << 16)
        if not chunk:
            return position
        found = chunk.find(b"\n")
        if found >= 0:
            return position + found + 1
        position += len(chunk)
