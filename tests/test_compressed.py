"""Compressed sources read as the text they hold: gzip (one member or many,
as pigz and bgzip write them) and zstd (one frame or many), from every kind
of source and thread count; broken archives end the stream with a
ValueError that says where, after the texts before; binary data that is not
compressed in a known way is reported once."""
import gzip
import io
import lzma
import os
import shutil
import struct
import subprocess
import sys
import threading
import zlib

import pytest

import tamsel_vonk
from tamsel_vonk import compile

NUMBER = compile(".n")
THREADS = [1, 2]
TEXT = b"".join(b'{"n": %d, "pad": "%s"}\n' % (i, b"x" * (i % 50)) for i in range(40000))
EXPECTED = list(range(40000))


def bgzf(data):
    """What bgzip writes: members of at most 64 KiB of text, each with its
    size in an extra field, and an empty member to end."""
    out = b""
    for at in range(0, len(data) + 1, 60000):
        block = data[at:at + 60000]
        if not block and at:
            break
        packer = zlib.compressobj(6, zlib.DEFLATED, -15)
        deflated = packer.compress(block) + packer.flush()
        size = 18 + len(deflated) + 8
        out += (b"\x1f\x8b\x08\x04" + b"\0" * 4 + b"\0\xff" + struct.pack("<H", 6) + b"BC" +
                struct.pack("<HH", 2, size - 1) + deflated +
                struct.pack("<II", zlib.crc32(block), len(block)))
    return out + bytes.fromhex("1f8b08040000000000ff0600424302001b0003000000000000000000")


def zstd(data, *options):
    if not shutil.which("zstd"):
        pytest.skip("needs the zstd command")
    return subprocess.run(["zstd", "-q", "-c", *options], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def pigz(data):
    if not shutil.which("pigz"):
        pytest.skip("needs the pigz command")
    # Blocks of 128 KiB, each ended on a byte: what pigz does on any machine.
    return subprocess.run(["pigz", "-c", "-p", "2"], input=data, stdout=subprocess.PIPE,
                          check=True).stdout


def parts(data, count):
    size = len(data) // count + 1
    return [data[at:at + size] for at in range(0, len(data), size)]


FORMATS = {
    "gzip": gzip.compress,
    "gzip members": lambda data: b"".join(gzip.compress(p) for p in parts(data, 5)),
    "bgzip": bgzf,
    "pigz": pigz,
    "zstd": zstd,
    "zstd frames": lambda data: b"".join(zstd(p) for p in parts(data, 3)),
    "zstd with checksums": lambda data: zstd(data, "--check", "-19"),
}


class Trickle(io.RawIOBase):
    """A binary file that gives at most `size` bytes a read."""

    def __init__(self, data, size):
        self.data = io.BytesIO(data)
        self.size = size

    def readable(self):
        return True

    def read(self, n=-1):
        return self.data.read(min(n if n >= 0 else self.size, self.size))


def pipe_of(data):
    """The read end of a pipe that a thread fills with `data`."""
    read_end, write_end = os.pipe()

    def write():
        with os.fdopen(write_end, "wb") as pipe:
            pipe.write(data)

    threading.Thread(target=write, daemon=True).start()
    return os.fdopen(read_end, "rb")


SOURCES = {
    "bytes": lambda data, path: data,
    "bytearray": lambda data, path: bytearray(data),
    "path": lambda data, path: path,
    "file object": lambda data, path: open(path, "rb"),
    "pipe": lambda data, path: pipe_of(data),
}


def written(tmp_path, data, name="data"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("form", FORMATS)
def test_every_format_reads_as_its_text(tmp_path, form, source, threads):
    data = FORMATS[form](TEXT)
    made = SOURCES[source](data, written(tmp_path, data))
    assert list(NUMBER.stream(made, lines=True, threads=threads)) == EXPECTED
    assert list(NUMBER.stream(SOURCES[source](data, written(tmp_path, data, "again")),
                              threads=threads)) == EXPECTED


@pytest.mark.parametrize("form", ["gzip", "zstd"])
def test_a_file_object_that_gives_a_byte_a_read(form):
    data = FORMATS[form](TEXT[:3000])
    assert list(NUMBER.stream(Trickle(data, 1))) == EXPECTED[:len(TEXT[:3000].splitlines())]


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("data", [
    gzip.compress(b""), gzip.compress(b"") * 3, gzip.compress(b" \n\n "),
    bytes.fromhex("28b52ffd2000010000"),  # a zstd frame of nothing
], ids=["gzip", "gzip members", "white space", "zstd"])
def test_an_archive_of_nothing_holds_no_texts(data, threads):
    assert list(compile(".").stream(data, threads=threads, errors="skip")) == []


def flipped(data, at):
    data = bytearray(data)
    data[at] ^= 0x5A
    return bytes(data)


GZIPPED = gzip.compress(TEXT)
HALF = gzip.compress(TEXT[:len(TEXT) // 2 + 1 - TEXT[len(TEXT) // 2::-1].index(b"\n")])
HALF_TEXTS = len(gzip.decompress(HALF).splitlines())
REST = gzip.compress(TEXT[len(gzip.decompress(HALF)):])


# What each broken archive raises: the start of the message, and how many
# texts come out before it at least. Deflate data that is corrupt may decode
# to wrong text before the decoder sees it (the CRC at the member's end
# shows it at the latest): a stream that stops at bad texts may stop at one
# of those first.
BROKEN = [
    ("cut after its mark", GZIPPED[:2], "gzip data ends inside a member at byte 2 ", 0),
    ("cut in its header", GZIPPED[:7], "gzip data ends inside a member at byte 7 ", 0),
    ("cut in its data", GZIPPED[:len(GZIPPED) // 2], "gzip data ends inside a member", 1000),
    ("cut in its trailer", GZIPPED[:-3], "gzip data ends inside a member", 39000),
    ("a bad header", flipped(GZIPPED, 2), "gzip data is corrupt at byte", 0),
    ("corrupt", flipped(GZIPPED, len(GZIPPED) // 3), "gzip data is corrupt at byte", 0),
    ("a wrong CRC", flipped(GZIPPED, len(GZIPPED) - 6), "gzip data is corrupt at byte", 39000),
    ("a second member cut", HALF + REST[:100], "gzip data ends inside a member at byte %d "
     % (len(HALF) + 100), HALF_TEXTS),
    ("text after it", HALF + b'{"n": 1}\n', "gzip data is followed by bytes that are not gzip "
     "at byte %d " % len(HALF), HALF_TEXTS),
]


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("errors", ["raise", "skip"])
@pytest.mark.parametrize("source", ["bytes", "path", "file object"])
@pytest.mark.parametrize("data, message, before", [row[1:] for row in BROKEN],
                         ids=[row[0] for row in BROKEN])
def test_a_broken_archive_raises_after_the_texts_before_it(tmp_path, data, message, before,
                                                           source, errors, threads):
    stream = NUMBER.stream(SOURCES[source](data, written(tmp_path, data)), lines=True,
                           errors=errors, threads=threads)
    got = []
    with pytest.raises(ValueError) as raised:
        got.extend(stream)
    if errors == "raise" and isinstance(raised.value, tamsel_vonk.TamselTextError):
        assert message == "gzip data is corrupt at byte"
        return
    assert str(raised.value).startswith(message), str(raised.value)
    assert not isinstance(raised.value, tamsel_vonk.TamselTextError)
    assert len(got) >= before
    if message != "gzip data is corrupt at byte":
        assert got == EXPECTED[:len(got)]
        assert stream.skipped == []


@pytest.mark.parametrize("source", ["bytes", "path", "file object"])
def test_a_broken_zstd_archive(tmp_path, source):
    data = zstd(TEXT)
    for broken, message in [(data[:len(data) // 2], "zstd data ends inside a frame"),
                            (flipped(data, len(data) // 2), "zstd data is corrupt at byte"),
                            (data + b"{}", "zstd data is followed by bytes that are not zstd "
                             "at byte %d " % len(data)),
                            # a frame of `zstd --long=30` from a pipe
                            (bytes.fromhex("28b52ffd04a04100007b2261223a317d0ae2efece0"),
                             "zstd data needs a window larger than 128 MiB at byte 0 ")]:
        with pytest.raises(ValueError, match="^" + message):
            list(NUMBER.stream(SOURCES[source](broken, written(tmp_path, broken)),
                               errors="skip"))


@pytest.mark.parametrize("data, message", [
    (b"BZh91AY&SY" + b"\0" * 20, "the input is bzip2-compressed, which a stream does not "
     "decompress: decompress it first, or pass bz2.open(path)"),
    (b"\xfd7zXZ\0" + b"\0" * 20, "the input is xz-compressed, which a stream does not "
     "decompress: decompress it first, or pass lzma.open(path)"),
    (b"\x04\x22\x4d\x18" + b"\0" * 20, "the input is lz4-compressed"),
    (b"PK\x03\x04" + b"\0" * 20, "the input is a zip archive"),
], ids=["bzip2", "xz", "lz4", "zip"])
@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_formats_not_read_here_are_named(data, message, errors):
    with pytest.raises(ValueError) as raised:
        list(compile(".").stream(data, errors=errors))
    assert str(raised.value).startswith(message)


def test_decompress_false_reads_the_bytes_as_they_are():
    data = gzip.compress(TEXT)
    with pytest.raises(tamsel_vonk.TamselTextError) as raised:
        list(NUMBER.stream(data, decompress=False))
    assert "InvalidUtf8" in str(raised.value)
    assert list(NUMBER.stream(b'{"n": 1}', decompress=False)) == [1]


# Sources whose first kilobyte holds nothing but texts that are not text,
# which a stream that skips bad texts would skip by the thousand.
@pytest.mark.parametrize("lines", [False, True], ids=["default", "lines"])
@pytest.mark.parametrize("data", [
    gzip.compress(TEXT),
    lzma.compress(TEXT),
    b"\x89PNG\r\n\x1a\n" + os.urandom(5000),
    b"SQLite format 3\x00" + bytes(range(256)) * 20,
    b"\x00\x01\x02\x03\n" * 500,
], ids=["gzip read raw", "xz read raw", "PNG", "SQLite", "control bytes"])
def test_binary_data_is_reported_once(data, lines):
    stream = compile(".").stream(data, lines=lines, errors="skip", decompress=False,
                                 per_text=True)
    with pytest.raises(tamsel_vonk.TamselTextError) as raised:
        list(stream)
    assert raised.value.offset < 1024
    assert any("first kilobyte" in note for note in raised.value.__notes__)
    assert stream.skipped == []


@pytest.mark.parametrize("data, results, skipped", [
    (b'{"n": 1}\n\x00\x01\n{"n": 2}\n', [1, 2], 1),
    (b" " * 2000 + b"\x00\n" + b'{"n": 3}\n', [3], 1),
    (b"not json\n" * 300, [], 300),
], ids=["one binary line among texts", "after the first kilobyte", "text that is not JSON"])
def test_bad_texts_of_a_text_source_are_skipped(data, results, skipped):
    stream = NUMBER.stream(data, lines=True, errors="skip")
    assert list(stream) == results
    assert len(stream.skipped) == skipped


def test_results_come_while_a_compressed_pipe_stays_open(tmp_path):
    # A writer that flushes its compressor after each text and waits for
    # the results before it goes on: a stream that decompressed ahead
    # until the pipe ended would wait in vain.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    delivered = threading.Event()
    outcome = {}

    def writer():
        packer = zlib.compressobj(6, zlib.DEFLATED, 31)
        with open(fifo, "wb", buffering=0) as pipe:
            pipe.write(packer.compress(b'{"n": 1}\n') + packer.flush(zlib.Z_SYNC_FLUSH))
            outcome["in vain"] = not delivered.wait(10)
            pipe.write(packer.compress(b'{"n": 2}\n') + packer.flush())

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for threads in [1]:
            stream = NUMBER.stream(fifo, threads=threads)
            assert next(stream) == 1
            delivered.set()
            assert list(stream) == [2]
    finally:
        delivered.set()
        thread.join()
    assert outcome == {"in vain": False}


def cli(*args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "tamsel_vonk_cli", *args], input=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@pytest.mark.parametrize("form", ["gzip", "zstd"])
def test_the_command_line_reads_compressed_files_and_input(tmp_path, form):
    text = TEXT[:TEXT.index(b"\n", 5000) + 1]
    data = FORMATS[form](text)
    path = written(tmp_path, data, "log.jsonl." + form)
    expected = b"".join(b"%d\n" % n for n in EXPECTED[:len(text.splitlines())])
    for args, stdin in [((".n", str(path)), b""), ((".n",), data), (("-l", ".n", str(path)), b"")]:
        done = cli(*args, stdin=stdin)
        assert (done.returncode, done.stdout, done.stderr) == (0, expected, b"")


def test_the_command_line_names_a_broken_archive(tmp_path):
    path = written(tmp_path, GZIPPED[:len(GZIPPED) // 2], "log.gz")
    done = cli("-l", ".n", str(path))
    assert done.returncode == 5
    assert done.stderr.decode().startswith(
        f"tamsel-vonk: {path}: cannot read: gzip data ends inside a member at byte")
    assert done.stdout.startswith(b"0\n1\n")
    raw = cli("-l", ".", stdin=b"\x00\x01\n" * 1000)
    assert raw.returncode == 4
    assert raw.stderr.count(b"\n") < 5


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("source", ["bytes", "path", "file object"])
@pytest.mark.parametrize("form", ["gzip members", "zstd frames"])
def test_a_table_reads_an_archive(tmp_path, form, source, threads):
    pa = pytest.importorskip("pyarrow")
    data = FORMATS[form](TEXT)
    made = SOURCES[source](data, written(tmp_path, data))
    table = pa.table(compile(".").table(made, columns={"n": ".n"}, lines=True, threads=threads))
    assert table.column("n").to_pylist() == EXPECTED
    broken = SOURCES[source](data[:-5], written(tmp_path, data[:-5], "broken"))
    with pytest.raises(ValueError, match="data ends inside a"):
        pa.table(compile(".").table(broken, columns={"n": ".n"}, errors="skip", threads=threads))


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("source", ["bytes", "path", "file object", "pipe"])
@pytest.mark.parametrize("form", ["gzip", "zstd"])
def test_an_archive_larger_than_a_read(tmp_path, form, source, threads):
    # Text that hardly compresses: the archive's first read fills more than
    # the decoder's input buffer holds.
    rows = [os.urandom(600).hex() for _ in range(6000)]
    data = FORMATS[form](b"".join(b'"%s"\n' % row.encode() for row in rows))
    assert len(data) > 3 << 20
    made = SOURCES[source](data, written(tmp_path, data))
    assert list(compile(".").stream(made, threads=threads)) == rows
