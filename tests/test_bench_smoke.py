"""The benchmark's correctness checks at smoke-run sizes: every peer must
return what we return for every workload, or the timings compare different
jobs. No timing is asserted here."""

import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")
sys.path.insert(0, BENCH)

import peers  # noqa: E402
import run  # noqa: E402
import workloads  # noqa: E402


@pytest.fixture(scope="module")
def checks():
    return run.check_only(quick=True)


def test_every_workload_runs_on_ours(checks):
    assert checks, "no workloads"
    failed = [(r["name"], r["doc"], r["status"].get("ours")) for r in checks
              if r["status"].get("ours") != "ok"]
    assert failed == []


@pytest.mark.parametrize("peer", peers.PEERS[1:])
def test_peer_agrees_with_ours(checks, peer):
    if peer not in peers.available():
        pytest.skip("%s is not installed" % peer)
    # A peer that expresses no workload would agree vacuously.
    assert any(r["status"].get(peer) == "ok" for r in checks)
    disagree = []
    for r in checks:
        status = r["status"].get(peer, "n/a")
        # jq's numbers are doubles: integers above 2**53 come back rounded, so
        # a whole document holding such ids cannot round-trip through it.
        if peer == "jq" and r["group"] == workloads.IDENTITY and r["doc"] == "twitter.json":
            continue
        if status not in ("ok", "n/a"):
            disagree.append((r["name"], r["doc"], status))
    assert disagree == []


def test_generated_documents_are_deterministic():
    import gen
    assert gen.document(4096) == gen.document(4096)
    assert gen.document(4096, seed=1) != gen.document(4096)
    assert gen.small_documents(3) == gen.small_documents(3)


def test_strict_comparison_tells_number_kinds_and_key_order_apart():
    cases = [
        (1, 1.0, False, True),
        (True, 1, False, False),
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, False, False),
        ([1, [2.5, None]], [1, [2.5, None]], True, True),
        (float("nan"), float("nan"), True, True),
        ("1", 1, False, False),
    ]
    for a, b, strict, loose in cases:
        assert peers.same(a, b) is strict, (a, b)
        assert peers.same(a, b, json_numbers=True) is loose, (a, b)


def test_generated_document_size_and_shape():
    import json as stdjson
    import gen
    assert len(stdjson.loads(gen.document(1))["items"]) == 2
    for size in (1024, 50_000):
        n = len(gen.document(size).encode())
        # At least the requested size, and never a whole record past it.
        assert size <= n <= size + 400


def _record(group, name, doc, ratio, size=1000, ours=1.0, flow="bytes", orjson=None):
    median = {"ours": ours}
    if orjson is not None:
        median["orjson"] = orjson
    return {"group": group, "name": name, "doc": doc, "flow": flow, "bytes": size,
            "median_s": median, "ratio": ratio}


@pytest.mark.parametrize("record, cpp, expected", [
    # ratio = peer time / our time
    (_record("identity", "identity", "a.json", {"orjson": 0.6}), {}, [("0.60x", "PASS")]),
    (_record("identity", "identity", "a.json", {"orjson": 0.59}), {}, [("0.59x", "MISS")]),
    (_record("path", "deep path", "a.json", {"orjson": 4.0, "jq": 25.0}), {},
     [("4.00x", "PASS"), ("25.0x", "PASS")]),
    (_record("select", "sel", "a.json", {"orjson": 3.9, "jq": 19.0}), {},
     [("3.90x", "MISS"), ("19.0x", "MISS")]),
    (_record("small", "small docs", "n", {"orjson": 1.6}), {}, [("1.60x", "PASS")]),
    (None, {"simdjson_dom/a.json": 100.0, "parse_document/a.json": 150.0}, [("1.50x", "PASS")]),
    (None, {"simdjson_dom/a.json": 100.0, "parse_document/a.json": 151.0}, [("1.51x", "MISS")]),
])
def test_target_verdicts(record, cpp, expected):
    rows = run.verdicts([record] if record else [], [], cpp, [])
    assert [r[2:] for r in rows] == expected


def test_growth_compares_time_per_byte_from_one_megabyte_with_orjson_alongside():
    mb = run.MB
    records = [_record("growth", "deep path", "g", {}, size=s, ours=t, orjson=o)
               for s, t, o in ((1024, 1.0, 1.0), (mb, 1.0, 1.0), (100 * mb, 140.0, 120.0))]
    assert [r[2:] for r in run.verdicts(records, [], {}, [])] == [
        ("1.40x", "PASS"), ("1.40x ours / 1.20x orjson = 1.17", "PASS")]
    records[-1]["median_s"]["ours"] = 160.0
    assert [r[2:] for r in run.verdicts(records, [], {}, [])] == [
        ("1.60x", "MISS"), ("1.60x ours / 1.20x orjson = 1.33", "MISS")]


def test_held_memory_of_twenty_programs_is_a_target():
    memory = [{"probe": run.PROGRAMS_PROBE, "size": "gen-2.7MB", "held_after_kb": 70 * 1024}]
    assert [r[2:] for r in run.verdicts([], memory, {}, [])] == [("70.0 MiB", "MISS")]


def test_every_sweep_case_runs():
    import sweep
    for case in sweep.CASES:
        times = sweep.sweep(case, 0.001, 0.0)
        assert len(times) == sweep.STEPS, case[0]


def test_tables_bench_peers_agree_with_ours():
    pytest.importorskip("polars")
    import tables
    rows = tables.main(["--quick"])
    assert rows and [row for row in rows if row[3] == "differs"] == []


def test_elements_bench_results_are_checked():
    import elements
    if not os.path.isfile(os.path.join(elements.DEFAULT_DATA, "github_events.json")):
        pytest.skip("its events come from %s, which is absent" % elements.DEFAULT_DATA)
    rows = elements.main(["--quick"])
    # Every row ran, its results equal to json.loads's (or the run exits).
    assert {label for label, *_ in rows} >= {"JSON Lines, lines=True", "array, elements=True",
                                             "array on one line", "part, gzipped"}
