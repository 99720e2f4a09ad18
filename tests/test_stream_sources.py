"""The sources people really have, at every thread count: pipes that stay
open, FIFOs fed from the same process, file objects that end inside a text
or give a few bytes a read, and streams that their own source holds."""
import gc
import io
import os
import threading
import weakref

import pytest

from tamsel_vonk import compile

from our_threads import running_threads, threads_left_after

IDENTITY = compile(".")
THREADS = [1, 2, 4]


class Trickle:
    """A binary file that gives at most `size` bytes a read."""

    def __init__(self, data, size):
        self.data = io.BytesIO(data)
        self.size = size

    def read(self, n):
        return self.data.read(min(n, self.size))


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("data, results", [
    (b"[1,\n", []),
    (b'{"id": 0}{"id": 1}[2]3"s4"[[ ', [{"id": 0}, {"id": 1}, [2], 3, "s4"]),
    (b"1\n2\n{", [1, 2]),
], ids=["one text", "five texts", "lines"])
@pytest.mark.parametrize("make", [io.BytesIO, lambda data: Trickle(data, 2)],
                         ids=["BytesIO", "two bytes a read"])
def test_a_file_that_ends_inside_a_text(make, data, results, errors, threads):
    # The texts before come out, then the unfinished one is a bad text.
    stream = IDENTITY.stream(make(data), errors=errors, threads=threads)
    got = []
    if errors == "raise":
        with pytest.raises(ValueError):
            got.extend(stream)
    else:
        got.extend(stream)
        assert [error.index for error in stream.skipped] == [len(results)]
    assert got == results


def feed(write_end, chunks, delivered, hold):
    """Writes `chunks` to a pipe and keeps it open until `delivered` is set
    (or `hold` seconds pass), then closes it; returns whether it waited in
    vain."""
    with os.fdopen(write_end, "wb", buffering=0) as pipe:
        for chunk in chunks:
            pipe.write(chunk)
        return not delivered.wait(hold)


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
@pytest.mark.parametrize("how", ["file object", "FIFO by path"])
def test_results_come_while_the_writer_keeps_the_pipe_open(tmp_path, how, lines, threads):
    # The writer hands over two texts and waits for their results before it
    # closes; a stream that waited for the end would wait in vain. The FIFO
    # is fed by a thread of this process, which runs only while the stream
    # opens and reads without the interpreter lock.
    delivered = threading.Event()
    outcome = {}
    if how == "file object":
        read_end, write_end = os.pipe()
        source = os.fdopen(read_end, "rb")
    else:
        source = tmp_path / "fifo"
        os.mkfifo(source)

    def writer():
        end = write_end if how == "file object" else os.open(source, os.O_WRONLY)
        outcome["in vain"] = feed(end, [b'{"a": 1}\n', b"[2]\n"], delivered, 10)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        stream = IDENTITY.stream(source, lines=lines, threads=threads)
        got = [next(stream), next(stream)]
        delivered.set()
        assert list(stream) == []
    finally:
        delivered.set()
        thread.join()
        if how == "file object":
            source.close()
    assert got == [{"a": 1}, [2]]
    assert outcome == {"in vain": False}


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_a_stream_its_own_source_holds_is_collected_with_its_threads():
    class Reader:
        def __init__(self):
            self.data = io.BytesIO(b"[1]\n" * 100_000)
            self.stream = IDENTITY.stream(self, threads=4)

        def read(self, n):
            return self.data.read(n)

    gc.collect()  # the streams of tests before, with their threads
    before = running_threads()
    readers = []
    gc.disable()  # until all five are made and dropped
    try:
        for _ in range(5):
            reader = Reader()
            assert next(reader.stream) == [1]
            readers.append(weakref.ref(reader))
            del reader
        assert running_threads() == before + 5 * 4
    finally:
        gc.enable()
    gc.collect()
    assert [reader() for reader in readers] == [None] * 5
    # The threads are joined as their streams go.
    assert threads_left_after(before) == before


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("char", ["\u00e9", "\u20ac", "\U0001F600"], ids=["latin-1", "bmp", "astral"])
def test_a_str_that_is_not_ascii_reads_as_its_utf8(char, threads):
    # Encoded a read at a time: characters of every width fall on the
    # edges of reads, and a text may hold many of them in a row.
    texts = ['{"s": "%s", "n": %d}' % (char * (i % 7) + "x" * (i % 5), i) for i in range(60_000)]
    texts[30_000] = '"%s"' % (char * 300_000)
    source = "\n".join(texts)
    program = compile(".")
    assert list(program.stream(source, threads=threads)) == \
        list(program.stream(source.encode(), threads=threads))
