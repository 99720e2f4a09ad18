"""Streams over blocks of a JSON Lines file in worker processes: the cuts of
tamsel_vonk_pool, and the Dask recipe on a real cluster of two worker
processes, faults and a killed worker included. The Dask tests skip
themselves where dask or distributed is not installed."""
import os
import signal

import pytest

import tamsel_vonk
import tamsel_vonk_pool

# --- block_ranges and read_block ------------------------------------------------------

FILES = [
    pytest.param(b'{"a": 1}\n{"a": 22}\n{"a": 333}\n', id="lines"),
    pytest.param(b"1\n22\n333", id="no final line feed"),
    pytest.param(b"\n\n1\n\n\n22\n\n", id="blank lines"),
    pytest.param(b"1\n[" + b"0," * 40 + b"0]\n2\n" + b"3" * 30, id="lines longer than a block"),
    pytest.param(b"1\r\n22\r\n", id="CRLF"),
    pytest.param(b"12345", id="one line without a line feed"),
    pytest.param(b"\n", id="one line feed"),
    pytest.param(b"", id="empty"),
]


@pytest.mark.parametrize("content", FILES)
def test_blocks_hold_every_line_once_in_order(tmp_path, content):
    path = tmp_path / "lines.jsonl"
    path.write_bytes(content)
    for block_size in (1, 2, 3, 5, 8, 64, 1000):
        ranges = tamsel_vonk_pool.block_ranges(path, block_size)
        # The ranges tile the file ...
        assert [start for start, _ in ranges] == list(range(0, len(content), block_size))
        assert [stop for _, stop in ranges] == [start for start, _ in ranges[1:]] + (
            [len(content)] if ranges else [])
        # ... and the blocks read for them give back the file, cut only after line feeds.
        blocks = [tamsel_vonk_pool.read_block(path, start, stop) for start, stop in ranges]
        assert b"".join(blocks) == content, block_size
        for (start, stop), block in zip(ranges, blocks):
            with tamsel_vonk_pool.map_block(path, start, stop) as mapped:
                assert mapped == block
        cut = [block for block in blocks if block][:-1]
        assert all(block.endswith(b"\n") for block in cut), (block_size, blocks)


@pytest.mark.parametrize("content", FILES)
def test_blocks_are_the_blocks_dask_reads(tmp_path, content):
    fsspec_utils = pytest.importorskip("fsspec.utils")
    path = tmp_path / "lines.jsonl"
    path.write_bytes(content)
    with open(path, "rb") as file:
        for block_size in (1, 3, 8):
            for start, stop in tamsel_vonk_pool.block_ranges(path, block_size):
                theirs = fsspec_utils.read_block(file, start, stop - start, b"\n")
                assert tamsel_vonk_pool.read_block(path, start, stop) == theirs, (start, stop)


def test_block_size_must_be_positive(tmp_path):
    path = tmp_path / "lines.jsonl"
    path.write_bytes(b"1\n")
    with pytest.raises(ValueError, match="at least 1"):
        tamsel_vonk_pool.block_ranges(path, 0)


# --- Dask ------------------------------------------------------------------------------

QUERY = ".a % .b"
LINES = 4000
PANICS, MALFORMED = 1500, 2500  # line numbers, from 1
BLOCK_SIZE = 8 << 10  # about nine blocks


def run_block(block, query):
    program = tamsel_vonk.compile(query)
    with program.stream(block, lines=True, errors="skip") as results:
        return list(results), results.skipped, block.count(b"\n")


def run_block_or_die(block, query, marker):
    # The first run kills its own worker process, as a crash or the kernel's
    # out-of-memory killer would; Dask runs the task again elsewhere, and that
    # run finds the marker.
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return run_block(block, query)
    os.kill(os.getpid(), signal.SIGKILL)


@tamsel_vonk_pool.catch_panics
def remainder(text):
    return list(tamsel_vonk.compile(QUERY).input(text))


def bare_remainder(text):
    return list(tamsel_vonk.compile(QUERY).input(text))


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture
def events(tmp_path):
    """A JSON Lines file with a blank line, a text that faults and a malformed one."""
    lines = [f'{{"a": {n}, "b": 7}}' for n in range(LINES)]
    lines[PANICS - 1] = '{"a": 1, "b": 0}'
    lines[MALFORMED - 1] = '{"a": 1, "b" 7}'
    lines[10] = ""
    path = tmp_path / "events.jsonl"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    expected = [n % 7 for n in range(LINES) if n + 1 not in (PANICS, MALFORMED, 11)]
    return path, expected


@pytest.mark.parametrize("kill", [False, True], ids=["all workers live", "a worker killed"])
def test_blocks_on_a_cluster(client, events, tmp_path, kill):
    import dask
    from dask.bytes import read_bytes

    path, expected = events
    _, (blocks,) = read_bytes(str(path), delimiter=b"\n", blocksize=BLOCK_SIZE, sample=False)
    assert len(blocks) > 4
    tasks = [dask.delayed(run_block)(block, QUERY) for block in blocks]
    if kill:
        middle = len(blocks) // 2
        marker = str(tmp_path / "killed")
        tasks[middle] = dask.delayed(run_block_or_die)(blocks[middle], QUERY, marker)
    futures = client.compute(tasks)
    results, skipped, lines_before = [], [], 0
    for future in futures:
        found, bad, lines = future.result(timeout=60)
        results += found
        skipped += [(type(error).__name__, lines_before + error.line, error.message)
                    for error in bad]
        lines_before += lines
    assert results == expected
    assert skipped == [
        ("PanicException", PANICS, "attempt to calculate the remainder with a divisor of zero"),
        ("TamselTextError", MALFORMED, "ExpectedObjectColon at character 13 ('7')"),
    ]
    assert lines_before == LINES
    if kill:
        assert os.path.exists(marker)


def test_a_fault_raised_in_a_task(client):
    client.wait_for_workers(2, timeout=30)
    workers = client.run(os.getpid)
    with pytest.raises(tamsel_vonk_pool.InternalFault, match="divisor of zero"):
        client.submit(remainder, '{"a": 1, "b": 0}').result(timeout=30)
    # Unwrapped, the worker lives on and keeps the fault as the task's error,
    # but result() would never return it: exception() does.
    future = client.submit(bare_remainder, '{"a": 1, "b": 0}')
    assert isinstance(future.exception(timeout=30), tamsel_vonk.PanicException)
    assert client.run(os.getpid) == workers
