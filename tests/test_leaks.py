"""Repeated calls must not leak: neither memory nor references to the
interpreter's singletons (None, True, False), on any path a call can take."""
import gc
import mmap
import json
import os
import sys

import pytest

from tamsel_vonk import PanicException, compile

SANITIZED = bool(os.environ.get("TAMSEL_SANITIZED"))

BIG_OBJECT = json.dumps({f"key{i}": [None, True, False, i, f"\u00e9{i}"] for i in range(40)})
DOCUMENT = json.dumps({
    "items": [{"x": i, "y": None, "z": i % 2 == 0, "s": "text\u00e9\U0001F600"} for i in range(20)],
    "a": 7, "b": 0, "big": 18446744073709551615, "neg": -9223372036854775808, "f": 1.5,
})

PROGRAMS = {name: compile(query) for name, query in {
    "results": ".items.[] | {x: .x, y: .y, z: .z, s: .s}",
    "descent": "..",
    "render": "tojson | fromjson",
    "entries": ".items.[0] | to_entries | from_entries",
    "none": ".items.[] | select(.x > 100)",
    "missing": ".nothing",
    "panic": ".a % .b",
    "big": ".",
    "arith": ".big + .neg, .f * 2",
}.items()}


def one_round():
    """Each path once: results, no results, errors of every kind, partial use."""
    for name in ("results", "descent", "render", "entries", "arith"):
        list(PROGRAMS[name].input(DOCUMENT))
    assert list(PROGRAMS["none"].input(DOCUMENT)) == []
    assert PROGRAMS["missing"].first(DOCUMENT) is None
    PROGRAMS["big"].first(BIG_OBJECT)
    PROGRAMS["results"].first(DOCUMENT)
    # Partly consumed and abandoned iterators.
    it = PROGRAMS["descent"].input(DOCUMENT)
    next(it)
    next(it)
    del it
    PROGRAMS["results"].input(DOCUMENT)
    for query in (".a[", "select(", "{}", ".a | "):
        with pytest.raises(ValueError):
            compile(query)
    for text in ("[1,", '{"a" 1}', "", "nul", "[1] 2"):
        with pytest.raises(ValueError):
            PROGRAMS["results"].input(text)
    with pytest.raises(PanicException):
        PROGRAMS["panic"].input(DOCUMENT)
    with pytest.raises(PanicException):
        PROGRAMS["panic"].first(DOCUMENT)
    with pytest.raises(TypeError):
        PROGRAMS["results"].input(b"[]")
    with pytest.raises(TypeError):
        compile(".", ".")
    with pytest.raises(UnicodeEncodeError):
        PROGRAMS["results"].input("\ud800")


def resident_bytes():
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        pytest.skip("no /proc/self/statm on this platform")


def singleton_counts():
    # Immortal objects (3.12 and later) report a fixed count: the delta is 0.
    return [sys.getrefcount(obj) for obj in (None, True, False)]


def test_repeated_calls_do_not_leak():
    rounds = 1000 if SANITIZED else 3000
    for _ in range(rounds // 5):  # warm-up: caches, parser buffers, allocator pools
        one_round()
    gc.collect()
    counts_before = singleton_counts()
    rss_before = resident_bytes()
    for _ in range(rounds):
        one_round()
    gc.collect()
    counts_after = singleton_counts()
    rss_after = resident_bytes()
    # One leaked reference per round would show as `rounds` or more; other
    # objects coming and going move the counts by a few dozen either way.
    growth = [after - before for before, after in zip(counts_before, counts_after)]
    assert max(growth) < rounds // 4, growth
    if not SANITIZED:  # ASan's quarantine holds freed memory on purpose
        # Each round converts about 200 objects; a leak of even one small
        # object per call would pass several megabytes here.
        assert rss_after - rss_before < 4 * 1024 * 1024, (rss_before, rss_after)


def lazily_freed_bytes():
    """Pages handed back with MADV_FREE that the kernel has not taken yet:
    counted in the resident size, but the kernel's to reclaim."""
    try:
        with open("/proc/self/smaps_rollup") as rollup:
            for line in rollup:
                if line.startswith("LazyFree:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def pages_handed_back_leave():
    """Whether pages given back with MADV_FREE stop counting as held: not
    under an emulator that ignores the advice (qemu's user mode)."""
    size = 32 * 2**20
    with mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE) as pages:
        pages.write(b"x" * size)
        before = resident_bytes() - lazily_freed_bytes()
        pages.madvise(mmap.MADV_FREE)
        return before - (resident_bytes() - lazily_freed_bytes()) > size // 2


@pytest.mark.parametrize("megabytes", [2.7, 40])
def test_parser_memory_held_between_calls_does_not_grow_with_programs(megabytes):
    if SANITIZED:
        pytest.skip("ASan's quarantine holds freed memory on purpose")
    if not hasattr(mmap, "MADV_FREE") or not pages_handed_back_leave():
        pytest.skip("pages handed back with MADV_FREE stay held here (an emulator)")
    row = '{"id": 12345, "name": "caf\u00e9 row", "tags": ["a", "b"], "score": 1.5},'
    data = ("[" + row * int(megabytes * 2**20 / len(row.encode())) + "1]").encode()
    gc.collect()
    before = resident_bytes() - lazily_freed_bytes()
    programs = [compile(".[%d].id" % n) for n in range(20)]
    for n, program in enumerate(programs):
        assert program.first_bytes(data) == 12345
        assert program.first(data.decode()) == 12345
    gc.collect()
    held = resident_bytes() - lazily_freed_bytes() - before
    assert held < 64 * 2**20, held / 2**20
