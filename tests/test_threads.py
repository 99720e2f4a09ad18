"""Programs shared between Python threads. Every call made while others run
must give exactly what the same call gives alone, errors included, and an
error raised on a thread must reach whoever waits for that thread.

Documents above 1 MiB are there so that calls let go of the interpreter
lock while they parse and evaluate; the small ones keep it throughout."""
import concurrent.futures
import contextlib
import faulthandler
import gzip
import itertools
import json
import os
import random
import re
import sys
import threading
import time

import pytest

from tamsel_vonk import PanicException, TamselTextError, compile

SANITIZED = bool(os.environ.get("TAMSEL_SANITIZED"))
WORKERS = 4
# How often each call of a table runs on the pool's threads.
ROUNDS = 1 if SANITIZED else 2
MIB = 1 << 20
# The longest wait for one thread's call. A test that runs longer than
# twice that ends the process (see watchdog): a call that is stuck while
# it holds the interpreter lock stops even a bounded wait.
WAIT = 300 if SANITIZED else 60


# --- documents and programs ---------------------------------------------------------

def encoded(value):
    return json.dumps(value, ensure_ascii=False).encode()


def tweets(count):
    return {"statuses": [{"id": n, "text": f"status {n} \U0001F600", "retweeted": n % 3 == 0,
                          "user": {"screen_name": f"user{n}", "name": f"Caf\u00e9 {n}"},
                          "geo": None} for n in range(count)],
            "search_metadata": {"count": count}}


def padding(megabytes):
    """Long strings: many bytes to read, few Python objects to make."""
    return ["\u00e9" + "p" * 1500] * int(megabytes * MIB / 1500)


def values(count, megabytes=0):
    return {"x": "caf\u00e9", "y": [n * 1.5 if n % 2 else n for n in range(count)],
            "z": padding(megabytes)}


DOCUMENTS = {
    "tweets": encoded(tweets(3)),
    "tweets, large": encoded(tweets(11000)),
    "values": encoded(values(5)),
    "values, large": encoded(values(2000, 1.5)),
    "remainder": b'{"a": 7, "b": 2}',
    "zero divisor": b'{"a": 7, "b": 0}',
    # The fault comes after most of the text is read.
    "zero divisor, large": encoded({"pad": padding(1.5), "a": 7, "b": 0}),
    "bad": b'{"a" 1}',
    "bad, large": encoded(tweets(11000))[:-1] + b', "meta": {"a" 1}}',
}
LARGE = [name for name in DOCUMENTS if name.endswith(", large")]
assert all(len(DOCUMENTS[name]) > 1.2 * MIB for name in LARGE)

PROGRAMS = {name: compile(query) for name, query in {
    "projected": ".statuses.[] | .user.screen_name",
    "built": "{a: .x, b: .y.[] | . * 2, n: .y | length}",
    "whole": ".",
    "remainder": ".a % .b",
}.items()}
WHOLE = PROGRAMS["whole"]

# Ways to hand over bytes: a view that starts inside its buffer, too.
BYTES_KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": lambda data: memoryview(b"  " + data)[2:],
}

# Every document on its own line: the same texts with lines=True or not.
SMALL = [data for name, data in DOCUMENTS.items() if name not in LARGE]
STREAMED = b"\n".join(SMALL * 100 + [DOCUMENTS["tweets, large"]] + SMALL * 100
                      + [DOCUMENTS["values, large"], DOCUMENTS["zero divisor, large"]]
                      + [encoded(values(10, 0.6))] * 2 + SMALL * 100)
# A file this large is read a chunk ahead on a thread of the stream's own.
assert len(STREAMED) > 4 * MIB


@pytest.fixture(scope="module")
def streamed_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("threads") / "texts.json"
    path.write_bytes(STREAMED)
    path.with_name("texts.json.gz").write_bytes(GZIPPED)
    return path


GZIPPED = gzip.compress(STREAMED, compresslevel=1)


def with_threads(threads):
    """The options of stream() and batch() for `threads` (1 is the default)."""
    return {} if threads == 1 else {"threads": threads}


# --- running calls on threads --------------------------------------------------------

STUCK = []  # a wait that ran out: its thread may never end


@pytest.fixture(autouse=True)
def watchdog():
    """Ends the process, with every thread's stack, if a test runs past
    2 * WAIT. Once a wait has run out it stays set, since the stuck thread
    would keep the interpreter from exiting."""
    faulthandler.dump_traceback_later(2 * WAIT, exit=True, file=sys.__stderr__)
    yield
    if not STUCK:
        faulthandler.cancel_dump_traceback_later()


@contextlib.contextmanager
def thread_pool(workers=WORKERS):
    pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="caller")
    try:
        yield pool
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()


def result_of(future):
    """What `future` gives, or what it raised, waited for at most WAIT."""
    try:
        return future.result(timeout=WAIT)
    except concurrent.futures.TimeoutError:
        STUCK.append(future)
        raise


def settled(call):
    """What a call gives, as comparable data: ("ok", its results), or the
    type and message of the ValueError or PanicException it raised."""
    try:
        return "ok", call()
    except (ValueError, PanicException) as error:
        return type(error).__name__, str(error)


def described(error):
    if not isinstance(error, BaseException):
        return error
    return type(error).__name__, str(error), error.index, getattr(error, "offset", None)


def brief(outcome):
    text = repr(outcome)
    return text if len(text) < 300 else text[:300] + "..."


def run_together(jobs, **options):
    """Runs each job of `jobs` (a name and a call taking **options) once on
    this thread, then ROUNDS times over on the pool in a shuffled order,
    with `options`; each outcome must be the one it had alone. The threads
    compare, so that results are dropped as they come."""
    expected = {name: settled(job) for name, job in jobs.items()}

    def run(name):
        outcome = settled(lambda: jobs[name](**options))
        if outcome != expected[name]:
            raise AssertionError(f"{name}: {brief(outcome)} on a thread, "
                                 f"{brief(expected[name])} alone")

    order = list(jobs) * ROUNDS
    random.Random(len(order)).shuffle(order)
    with thread_pool() as pool:
        for future in [pool.submit(run, name) for name in order]:
            result_of(future)


# --- every call gives what it gives alone -------------------------------------------

def bytes_jobs():
    jobs = {}
    for (program, document), (kind, make) in itertools.product(
            itertools.product(PROGRAMS, DOCUMENTS), BYTES_KINDS.items()):
        data = make(DOCUMENTS[document])
        run = PROGRAMS[program]
        jobs[f"{program} input_bytes {document} {kind}"] = (
            lambda run=run, data=data: list(run.input_bytes(data)))
        jobs[f"{program} first_bytes {document} {kind}"] = (
            lambda run=run, data=data: run.first_bytes(data))
    return jobs


def test_bytes_calls_on_shared_programs():
    run_together(bytes_jobs())


def streamed_results(stream):
    """The results of a stream, with what it skipped, or up to what it raised."""
    delivered = []
    try:
        with stream:
            for result in stream:
                delivered.append(described(result))
    except (ValueError, PanicException) as error:
        return delivered, described(error)
    return delivered, [described(error) for error in stream.skipped]


# Each a source (of the data, the file's path) and the options of stream().
STREAMS = {
    "bytes": (lambda path: STREAMED, {"errors": "skip"}),
    "bytes, lines, per text": (lambda path: STREAMED,
                               {"lines": True, "per_text": True, "errors": "skip"}),
    "file, lines": (lambda path: path, {"lines": True, "errors": "skip"}),
    "file, first, raising": (lambda path: path, {"first": True}),
    # Decompressed on a thread of the stream's own, and on the caller's.
    "gzip file, lines": (lambda path: path.with_name("texts.json.gz"),
                         {"lines": True, "errors": "skip"}),
    "gzip bytearray": (lambda path: bytearray(GZIPPED), {"errors": "skip"}),
}


@pytest.mark.parametrize("threads", [1, 2])
def test_streams_of_shared_programs(streamed_file, threads):
    jobs = {}
    for (program, run), (source_name, (source, options)) in itertools.product(
            PROGRAMS.items(), STREAMS.items()):
        jobs[f"{program} stream {source_name}"] = (
            lambda run=run, source=source(streamed_file), options=options, **threads:
            streamed_results(run.stream(source, **options, **threads)))
    run_together(jobs, **with_threads(threads))


# Every document, each as one kind of text, then every small one again.
BATCH_KINDS = [bytes, bytearray, BYTES_KINDS["memoryview"], bytes.decode]
BATCHED = [make(data) for make, data in zip(itertools.cycle(BATCH_KINDS),
                                            list(DOCUMENTS.values()) + SMALL * 20)]
BATCHES = {
    "all": {"errors": "skip"},
    "first": {"first": True, "errors": "skip"},
    "raising": {},
}


@pytest.mark.parametrize("threads", [1, 2])
def test_batches_of_shared_programs(threads):
    jobs = {}
    for (program, run), (batch, options) in itertools.product(PROGRAMS.items(), BATCHES.items()):
        jobs[f"{program} batch {batch}"] = (
            lambda run=run, options=options, **threads:
            [described(entry) for entry in run.batch(BATCHED, **options, **threads)])
    run_together(jobs, **with_threads(threads))


@pytest.mark.parametrize("program", PROGRAMS)
def test_one_program_from_every_thread_at_once(program):
    # Every thread makes the same calls, in an order of its own, starting
    # together: the program's calls overlap as much as they can.
    run = PROGRAMS[program]
    calls = {}
    for document, data in DOCUMENTS.items():
        calls[f"input_bytes {document}"] = lambda data=data: list(run.input_bytes(data))
        calls[f"first_bytes {document}"] = lambda data=data: run.first_bytes(data)
    expected = {name: settled(call) for name, call in calls.items()}
    start = threading.Barrier(WORKERS)

    def caller(seed):
        order = list(calls) * ROUNDS
        random.Random(seed).shuffle(order)
        start.wait(timeout=WAIT)
        for name in order:
            outcome = settled(calls[name])
            assert outcome == expected[name], (name, brief(outcome), brief(expected[name]))

    with thread_pool() as pool:
        for future in [pool.submit(caller, seed) for seed in range(WORKERS)]:
            result_of(future)


def colliding_keys(kind, count):
    """Keys that differ only in their middle bytes, one set a kind."""
    return [f"{'k' * 16}{kind}{n:07d}{'e' * 16}" for n in range(count)]


def test_key_cache_shared_by_threads():
    # Calls on several threads share the str objects of short keys: each
    # kind of document has keys of its own that a cache could confuse with
    # the others', and the large ones let go of the lock while they parse.
    jobs = {}
    for kind, count in itertools.product("ABCD", (50, 20000)):
        keys = colliding_keys(kind, count)
        data = encoded([{key: {other: n}} for n, (key, other) in
                        enumerate(zip(keys, reversed(keys)))])
        jobs[f"input_bytes {kind} {count}"] = lambda data=data: list(WHOLE.input_bytes(data))
        jobs[f"batch {kind} {count}"] = lambda data=data: WHOLE.batch([data, data], threads=2)
        jobs[f"stream {kind} {count}"] = lambda data=data: list(WHOLE.stream(data + data))
    run_together(jobs)


# --- errors raised on threads ---------------------------------------------------------

ERRORS = [
    # program, document, what is raised, its message (a pattern) after the
    # text's name that stream() and batch() put first
    ("remainder", "zero divisor", PanicException,
     r"attempt to calculate the remainder with a divisor of zero"),
    ("remainder", "zero divisor, large", PanicException,
     r"attempt to calculate the remainder with a divisor of zero"),
    ("whole", "bad", ValueError, r"ExpectedObjectColon at character 5 \('1'\)"),
    ("whole", "bad, large", ValueError,
     r"ExpectedObjectColon at character %d \('1'\)" % (len(DOCUMENTS["bad, large"]) - 3)),
    ("projected", "bad, large", ValueError,
     r"ExpectedObjectColon at character %d \('1'\)" % (len(DOCUMENTS["bad, large"]) - 3)),
]
# A text before the one that fails, which every program runs without fault.
SOUND = b'{"statuses": [], "a": 1, "b": 1}'

ERROR_CALLS = {
    "input_bytes": lambda run, data, **threads: run.input_bytes(data),
    "first_bytes": lambda run, data, **threads: run.first_bytes(bytearray(data)),
    "stream": lambda run, data, **threads: list(run.stream(SOUND + b" " + data, **threads)),
    "batch": lambda run, data, **threads: run.batch([SOUND, memoryview(data)], **threads),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("program, document, kind, message", ERRORS,
                         ids=[f"{program}, {document}" for program, document, *_ in ERRORS])
def test_errors_reach_the_caller_of_the_thread(program, document, kind, message, threads):
    run, data = PROGRAMS[program], DOCUMENTS[document]
    calls = list(ERROR_CALLS.items()) * WORKERS
    with thread_pool() as pool:
        futures = [(name, pool.submit(call, run, data, **with_threads(threads)))
                   for name, call in calls]
        for name, future in futures:
            with pytest.raises(kind) as raised:
                result_of(future)
            # A text among many raises the ValueError that says which.
            many = name in ("stream", "batch") and kind is ValueError
            assert type(raised.value) is (TamselTextError if many else kind), name
            # The text at fault is the second.
            prefix = rf"text 1 at byte {len(SOUND) + 1} \(line 1\): " if name == "stream" else (
                r"text 1: " if name == "batch" else "")
            assert re.fullmatch(prefix + message, str(raised.value)), (name, str(raised.value))


# --- a buffer changed while calls read it ----------------------------------------------

SUM = compile("add")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("count", [1000, 600_000], ids=["small", "large"])
def test_a_bytearray_changed_while_calls_read_it(count, threads):
    # A call reads the text as it was at one moment: all ones or all twos,
    # so its sum is one of two numbers. Half of each would give neither.
    ones, twos = (b"[" + b"%d," % digit * count + b"%d]" % digit for digit in (1, 2))
    sums = {count + 1, 2 * (count + 1)}
    text = bytearray(ones)
    calls = {
        "first_bytes": lambda: [SUM.first_bytes(text)],
        "input_bytes": lambda: list(SUM.input_bytes(text)),
        "memoryview": lambda: [SUM.first_bytes(memoryview(text))],
        "batch": lambda: SUM.batch([text, memoryview(text)], first=True, **with_threads(threads)),
    }
    done = threading.Event()

    def change():
        # The same length each time: a bytearray that is lent out may still
        # be written, though not resized.
        changes = 0
        while not done.is_set():
            text[:] = twos if changes % 2 == 0 else ones
            changes += 1
            time.sleep(0)
        return changes

    def caller(seed):
        order = list(calls) * (1 if SANITIZED else 2)
        random.Random(seed).shuffle(order)
        for name in order:
            got = calls[name]()
            assert set(got) <= sums, (name, got)

    with thread_pool(WORKERS + 1) as pool:
        changer = pool.submit(change)
        try:
            for future in [pool.submit(caller, seed) for seed in range(WORKERS)]:
                result_of(future)
        finally:
            done.set()
        assert result_of(changer) > 0
