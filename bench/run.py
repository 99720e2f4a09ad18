#!/usr/bin/env python3
"""Benchmarks tamsel_vonk against orjson, json, jq, jmespath, pysimdjson,
cysimdjson and msgspec.

    python3 bench/run.py            # full run (several minutes)
    python3 bench/run.py --quick    # smoke run at tiny sizes, a few seconds

Every workload runs against every peer in this one process. Before a peer is
timed, its results must equal ours (same values, same types, same key order);
a peer that differs is reported and not timed.

Each workload runs in the flows callers have (see peers.py): every timed call
gets a `str` that no call has seen, made just before it outside the timed
region (CPython
caches a `str`'s UTF-8 form on the object, so reusing one `str` would hide a
cost every real call pays); identity, selective and growth workloads also run
on UTF-8 `bytes`, and JSON Lines only on bytes. Timing: one warm-up call, a
calibrated number of calls per batch, then rounds in which the peers take
turns (so that noise on a shared machine hits all of them alike), the garbage
collector disabled for everyone. Reported: the median time per call, and the
ratio peer time / our time (above 1 means we are faster).

Also: peak memory of one call per generated size (in a child process, from
VmHWM), and the C++ stage benchmark (bench/cpp) when it can be built.
"""

import argparse
import gc
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen  # noqa: E402
import peers  # noqa: E402
import workloads as wl  # noqa: E402

DEFAULT_DATA = os.path.join(os.path.dirname(ROOT), "shared", "bench-data")
KB, MB = 1 << 10, 1 << 20
FULL_SIZES = [KB, MB, 10 * MB, 100 * MB]
QUICK_SIZES = [KB, 64 * KB]
# Above this size only ours and orjson run the growth workloads: the others
# take seconds per call and add nothing to the shape of the curve.
ALL_PEERS_UP_TO = 10 * MB
# Above this size results are compared with == only (the strict walk that
# also checks types would take longer than the benchmark itself).
STRICT_UP_TO = 16 * MB

# Targets.
IDENTITY_VS_ORJSON = 0.6
SELECTIVE_VS_ORJSON = 4.0
SELECTIVE_VS_JQ = 20.0
SMALL_VS_ORJSON = 1.5
BUILTIN_VS_ORJSON = 3.0
PARSE_BUILD_VS_SIMDJSON = 1.5
LINEAR_SLACK = 1.5           # time per byte at the largest size / at 1 MB
GROWTH_VS_ORJSON = 1.25      # our per-byte growth / orjson's, same sizes
PROGRAMS_HELD_MB = 64        # held after twenty programs ran once each
MEMORY_FACTOR = 4.0          # peak <= 4 x text size + results


def size_label(n):
    if n >= MB:
        return "gen-%gMB" % round(n / MB, 1)
    return "gen-%dKB" % max(1, n // KB)


# ---------------------------------------------------------------- timing

def _clock(kind):
    return time.process_time if kind == "cpu" else time.perf_counter


class Arguments:
    """The argument of each call. In the bytes flow the same UTF-8 bytes every
    time (bytes carry no cache), timed as one batch. In the fresh str flow a
    new `str` for every call, made just before the call outside the timed
    region, so each call is timed alone."""

    def __init__(self, arg, flow):
        self.many = isinstance(arg, list)
        texts = arg if self.many else [arg]
        self.data = [t.encode("utf-8") for t in texts]
        self.flow = flow
        self.size = sum(len(d) for d in self.data)

    def one(self):
        if self.flow == peers.BYTES:
            return self.data if self.many else self.data[0]
        texts = [d.decode("utf-8") for d in self.data]
        return texts if self.many else texts[0]

    def time(self, fn, n, clock):
        """Seconds that `n` calls of `fn` take."""
        if self.flow == peers.BYTES:
            arg = self.one()
            t0 = clock()
            for _ in range(n):
                fn(arg)
            return clock() - t0
        total = 0.0
        for _ in range(n):
            arg = self.one()
            t0 = clock()
            fn(arg)
            total += clock() - t0
            del arg
        return total


def time_peers(calls, args, opts):
    """Median seconds per call for each peer in `calls` (name -> function),
    with the raw per-call samples."""
    clock = _clock(opts.clock)
    loops, estimate = {}, {}
    limit = 1 << 20
    for name, fn in calls.items():
        if opts.min_batch:
            fn(args.one())  # warm-up (the check already ran each call once)
        n = 1
        while True:
            gc.collect()
            t = args.time(fn, n, clock)
            if t >= opts.min_batch or n >= limit:
                break
            n = min(limit, max(n * 2, int(n * opts.min_batch / max(t, 1e-7) * 1.2)))
        loops[name], estimate[name] = n, t / n
    round_time = sum(loops[p] * estimate[p] for p in calls) or 1e-9
    rounds = max(opts.min_rounds, min(opts.max_rounds, int(opts.budget * len(calls) / round_time)))
    samples = {p: [] for p in calls}
    names = list(calls)
    for r in range(rounds):
        for p in names[r % len(names):] + names[:r % len(names)]:
            gc.collect()
            samples[p].append(args.time(calls[p], loops[p], clock) / loops[p])
    return {p: statistics.median(s) for p, s in samples.items()}, samples


# ---------------------------------------------------------------- workloads

def load_real(data_dir):
    """Texts of the real-world documents present in `data_dir` (none if the
    folder is absent)."""
    texts = {}
    if not os.path.isdir(data_dir):
        return texts
    for name in wl.REAL_DOCS:
        path = os.path.join(data_dir, name)
        if os.path.isfile(path):
            with open(path, encoding="utf-8") as f:
                texts[name] = f.read()
    return texts


def json_lines(text, count):
    """`count` lines of compact JSON, the elements of the array `text` over
    and over."""
    items = json.loads(text)
    return [gen._dumps(items[i % len(items)]) for i in range(count)]


def text_size(arg):
    if isinstance(arg, list):
        return sum(len(t.encode("utf-8")) for t in arg)
    return len(arg.encode("utf-8"))


def compare(result, reference, size, peer):
    if size > STRICT_UP_TO:
        return result == reference
    return peers.same(result, reference, json_numbers=(peer == "jq"))


def flows_of(w):
    """The flows a workload runs in."""
    if w.group == wl.LINES:
        return [peers.BYTES]
    # Builtins run in both: the bytes methods share their dicts' keys, which
    # input() on a fresh str may not.
    if w.group in (wl.IDENTITY, wl.GROWTH, wl.BUILTIN) + wl.SELECTIVE:
        return peers.FLOWS
    return [peers.FRESH]


def run_workload(w, arg, allowed, opts, flow=peers.FRESH, timed=True):
    """Checks every available peer against ours, then times the ones that
    agree. Returns one record of the JSON report."""
    args = Arguments(arg, flow)
    size = args.size
    rec = {"group": w.group, "name": w.name, "doc": w.doc, "flow": flow, "bytes": size,
           "query": w.query, "calls_per_run": len(arg) if w.many else 1, "status": {},
           "median_s": {}, "samples_s": {}, "ratio": {}}
    calls = {}
    reference = None
    for p in allowed:
        call = peers.make_call(p, w, flow)
        if call is None:
            rec["status"][p] = "n/a"
            continue
        try:
            result = call(args.one())
        except Exception as e:  # a peer that cannot run this job is reported, not fatal
            rec["status"][p] = "error: %s" % (str(e).splitlines() or [type(e).__name__])[0][:80]
            continue
        if p == "ours":
            reference = result
            ok = True
        elif "ours" not in calls:
            rec["status"][p] = "not compared"
            continue
        else:
            ok = compare(result, reference, size, p)
        rec["status"][p] = "ok" if ok else "differs"
        if ok:
            calls[p] = call
        del result
    reference = None
    if timed and "ours" in calls:
        medians, samples = time_peers(calls, args, opts)
        per_doc = len(arg) if w.many else 1
        rec["median_s"] = {p: m / per_doc for p, m in medians.items()}
        rec["samples_s"] = {p: [x / per_doc for x in s] for p, s in samples.items()}
        ours = medians["ours"]
        rec["ratio"] = {p: m / ours for p, m in medians.items() if p != "ours"}
    return rec


def workload_plan(real, sizes, opts):
    """(workload, argument, peers) in run order; generated texts are made
    lazily, one size at a time, to keep at most one big text alive."""
    avail = peers.available()
    for w in wl.real_workloads(real) + wl.builtin_workloads(real):
        yield w, (lambda w=w: real[w.doc]), avail
    small_count = 200 if opts.quick else 2000
    small = gen.small_documents(small_count)
    yield wl.small_workload("%dx%dB" % (small_count, text_size(small) // small_count)), \
        (lambda: small), avail
    if "github_events.json" in real:
        lines = json_lines(real["github_events.json"], 200 if opts.quick else 20_000)
        yield wl.lines_workload("github events %dx%dB" % (
            len(lines), text_size(lines) // len(lines))), (lambda: lines), avail
    first_size = 64 * KB if opts.quick else MB
    first_text = gen.document(first_size)
    for w in wl.first_workloads(size_label(first_size)):
        yield w, (lambda: first_text), avail
    del first_text
    for n in sizes:
        text = gen.document(n)
        allowed = avail if n <= ALL_PEERS_UP_TO else [p for p in avail if p in ("ours", "orjson")]
        for w in wl.generated_workloads(size_label(n)):
            yield w, (lambda text=text: text), allowed
        text = None


def check_only(quick=True, data_dir=DEFAULT_DATA):
    """The correctness checks of a run, without timing: one record per
    workload with each peer's status ("ok", "differs", "n/a", "error: ...")."""
    opts = argparse.Namespace(quick=quick)
    real = load_real(data_dir)
    sizes = QUICK_SIZES if quick else FULL_SIZES
    return [run_workload(w, arg(), allowed, opts, flow, timed=False)
            for w, arg, allowed in workload_plan(real, sizes, opts) for flow in flows_of(w)]


# ---------------------------------------------------------------- memory

PROBES = {
    "ours identity": ("ours", "."),
    "ours select": ("ours", wl.generated_workloads("x")[2].query),
    "orjson.loads": ("orjson", None),
}


PROGRAMS_PROBE = "twenty programs, once each"
PROGRAMS_DOC_BYTES = int(2.7 * MB)


def _status_kb(field):
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\s+(\d+)", f.read()).group(1))


def probe_child(path, peer, query):
    """In a fresh process: peak and held memory of one call over the text in
    `path`, measured against the memory in use once the text is loaded."""
    import ctypes
    try:
        trim = ctypes.CDLL("libc.so.6").malloc_trim
    except OSError:
        trim = lambda _: None  # noqa: E731
    gc.disable()
    if peer == "programs":
        return probe_programs(path)
    if peer == "ours":
        import tamsel_vonk
        program = tamsel_vonk.compile(query)
        run = lambda t: list(program.input(t))  # noqa: E731
    else:
        import orjson
        run = orjson.loads
    with open(path, encoding="utf-8") as f:
        text = f.read()
    trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # restart the high-water mark from here
        reset = True
    except OSError:
        reset = False
    base = _status_kb("VmRSS")
    result = run(text)
    trim(0)
    peak, held = _status_kb("VmHWM"), _status_kb("VmRSS")
    del result
    gc.collect()
    trim(0)
    kept = _status_kb("VmRSS")
    print(json.dumps({"bytes": len(text.encode()), "base_kb": base, "peak_kb": peak,
                      "held_kb": held, "kept_kb": kept, "hwm_reset": reset}))


def _lazy_free_kb():
    """Pages given back with MADV_FREE and not yet taken by the kernel: they
    count in VmRSS, but the kernel reclaims them as soon as it needs to."""
    try:
        with open("/proc/self/smaps_rollup") as f:
            m = re.search(r"LazyFree:\s+(\d+)", f.read())
            return int(m.group(1)) if m else 0
    except OSError:
        return 0


def probe_programs(path):
    """In a fresh process: what twenty programs, each run once over the text
    in `path` (half from bytes, half from a fresh str), hold afterwards."""
    import tamsel_vonk
    with open(path, "rb") as f:
        data = f.read()
    programs = [tamsel_vonk.compile(".items.[%d].id" % n) for n in range(20)]
    gc.collect()
    base = _status_kb("VmRSS") - _lazy_free_kb()
    for n, program in enumerate(programs):
        if n % 2:
            program.first_bytes(data)
        else:
            program.first(data.decode("utf-8"))
    gc.collect()
    held = _status_kb("VmRSS") - _lazy_free_kb() - base
    print(json.dumps({"bytes": len(data), "held_after_kb": held}))


def probe_memory(sizes, peer_names):
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "programs.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(gen.document(PROGRAMS_DOC_BYTES))
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--probe", path,
                               "programs", ""], capture_output=True, text=True)
        r = {"error": proc.stderr[-300:]} if proc.returncode else json.loads(proc.stdout)
        r.update(size=size_label(PROGRAMS_DOC_BYTES), probe=PROGRAMS_PROBE)
        out.append(r)
        for n in sizes:
            if n < MB:
                continue
            path = os.path.join(tmp, "doc.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(gen.document(n))
            for label, (peer, query) in PROBES.items():
                if peer not in peer_names:
                    continue
                proc = subprocess.run(
                    [sys.executable, os.path.abspath(__file__), "--probe", path, peer, query or ""],
                    capture_output=True, text=True)
                if proc.returncode != 0:
                    out.append({"size": size_label(n), "probe": label, "error": proc.stderr[-300:]})
                    continue
                r = json.loads(proc.stdout)
                text_kb = r["bytes"] / 1024
                peak = r["peak_kb"] - r["base_kb"]
                results = max(0, r["held_kb"] - r["kept_kb"])
                r.update(size=size_label(n), probe=label, peak_over_text=peak / text_kb,
                         beyond_results_over_text=(peak - results) / text_kb,
                         results_kb=results, kept_after_kb=r["kept_kb"] - r["base_kb"],
                         ok=peak <= MEMORY_FACTOR * text_kb + results)
                out.append(r)
    return out


# ---------------------------------------------------------------- C++ stages

def run_cpp(data_dir, quick):
    """Builds and runs bench/cpp; returns {benchmark name: median CPU ns}, or
    a string saying why there is nothing."""
    build = os.path.join(ROOT, "build", "bench")
    steps = [["cmake", "-S", ROOT, "-B", build, "-DTAMSEL_BUILD_BENCH=ON",
              "-DTAMSEL_BUILD_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release"],
             ["cmake", "--build", build, "--target", "tamsel_bench_stages", "-j2"]]
    for step in steps:
        try:
            proc = subprocess.run(step, capture_output=True, text=True)
        except OSError as e:
            return "not built: %s" % e
        if proc.returncode != 0:
            return "not built: %s" % (proc.stderr or proc.stdout).strip()[-400:]
    env = dict(os.environ, TAMSEL_BENCH_DATA=data_dir)
    proc = subprocess.run(
        [os.path.join(build, "tamsel_bench_stages"), "--benchmark_format=json",
         "--benchmark_min_time=%s" % ("0.01" if quick else "0.2"),
         "--benchmark_repetitions=%d" % (1 if quick else 5),
         "--benchmark_report_aggregates_only=%s" % ("false" if quick else "true")],
        capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return "failed: %s" % proc.stderr[-400:]
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}
    out = {}
    for b in json.loads(proc.stdout)["benchmarks"]:
        if b.get("aggregate_name", "median") != "median" or b.get("error_occurred"):
            continue
        out[b.get("run_name", b["name"])] = b["cpu_time"] * scale[b["time_unit"]]
    return out


# ---------------------------------------------------------------- report

def verdicts(records, memory, cpp, sizes):
    """Target checks: (target, subject, figure, PASS/MISS)."""
    rows = []

    def add(target, subject, figure, ok):
        rows.append((target, subject, figure, "PASS" if ok else "MISS"))

    for r in records:
        ratio = r["ratio"]
        subject = "%s %s, %s" % (r["name"], r["doc"], r["flow"])
        if r["group"] == wl.IDENTITY and "orjson" in ratio:
            add("identity >= %.1fx orjson.loads" % IDENTITY_VS_ORJSON, "%s, %s" % (r["doc"], r["flow"]),
                "%.2fx" % ratio["orjson"], ratio["orjson"] >= IDENTITY_VS_ORJSON)
        if r["group"] in wl.SELECTIVE and "orjson" in ratio:
            add(">= %.0fx orjson+Python" % SELECTIVE_VS_ORJSON, subject, "%.2fx" % ratio["orjson"],
                ratio["orjson"] >= SELECTIVE_VS_ORJSON)
            if "jq" in ratio:
                add(">= %.0fx jq" % SELECTIVE_VS_JQ, subject, "%.1fx" % ratio["jq"],
                    ratio["jq"] >= SELECTIVE_VS_JQ)
        if r["group"] == wl.BUILTIN and "orjson" in ratio:
            add(">= %gx orjson+Python" % BUILTIN_VS_ORJSON, subject,
                "%.2fx" % ratio["orjson"], ratio["orjson"] >= BUILTIN_VS_ORJSON)
        if r["group"] == wl.SMALL and "orjson" in ratio:
            add(">= 1.5x calls/s of orjson+Python", r["doc"], "%.2fx" % ratio["orjson"],
                ratio["orjson"] >= SMALL_VS_ORJSON)
    if isinstance(cpp, dict):
        for name, ns in sorted(cpp.items()):
            # What a call pays before evaluating: the copy, simdjson and the
            # tape check (the document is read in place, never built).
            if name.startswith("parse_document/"):
                doc = name.split("/", 1)[1]
                bare = cpp.get("simdjson_dom/" + doc)
                if bare:
                    add("parse+build <= 1.5x simdjson DOM", doc, "%.2fx" % (ns / bare),
                        ns / bare <= PARSE_BUILD_VS_SIMDJSON)
    growth = {}
    for r in records:
        if r["group"] == wl.GROWTH:
            for p, t in r["median_s"].items():
                growth.setdefault((r["name"], r["flow"], p), {})[r["bytes"]] = t

    def per_byte_growth(key):
        base = [(b, t) for b, t in sorted(growth.get(key, {}).items()) if b >= MB]
        if len(base) < 2:
            return None
        (b0, t0), (b1, t1) = base[0], base[-1]
        return (t1 / b1) / (t0 / b0), "%s -> %s" % (size_label(b0), size_label(b1))

    for (name, flow, p) in sorted(growth):
        if p != "ours" or not per_byte_growth((name, flow, p)):
            continue
        factor, span = per_byte_growth((name, flow, p))
        add("linear growth (per-byte time within %.1fx)" % LINEAR_SLACK,
            "%s %s, %s" % (name, span, flow), "%.2fx" % factor, factor <= LINEAR_SLACK)
        theirs = per_byte_growth((name, flow, "orjson"))
        if name == "deep path" and theirs:
            add("per-byte growth <= %.2fx orjson's" % GROWTH_VS_ORJSON,
                "%s %s, %s" % (name, span, flow),
                "%.2fx ours / %.2fx orjson = %.2f" % (factor, theirs[0], factor / theirs[0]),
                factor / theirs[0] <= GROWTH_VS_ORJSON)
    for m in memory:
        if m.get("probe") == PROGRAMS_PROBE and "error" not in m:
            held = m["held_after_kb"] / 1024
            add("twenty programs hold < %d MiB" % PROGRAMS_HELD_MB, m["size"], "%.1f MiB" % held,
                held < PROGRAMS_HELD_MB)
            continue
        if "error" in m or not m["probe"].startswith("ours"):
            continue
        add("peak memory <= 4x text + results", "%s %s" % (m["probe"], m["size"]),
            "results + %.2fx text" % m["beyond_results_over_text"], m["ok"])
    return rows


def fmt_time(s):
    if s >= 1:
        return "%.2f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    return "%.1f us" % (s * 1e6)


def table(header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = lambda r: "| " + " | ".join(str(x).ljust(w) for x, w in zip(r, widths)) + " |"  # noqa: E731
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
                     + [line(r) for r in rows])


def report(records, memory, cpp, rows, peer_names):
    others = [p for p in peer_names if p != "ours"]

    def cell(r, p, what):
        st = r["status"].get(p, "n/a")
        if st != "ok":
            return "-" if st == "n/a" else st.split(":")[0]
        if what == "time":
            return fmt_time(r["median_s"][p]) if p in r["median_s"] else "-"
        return "%.2fx" % r["ratio"][p] if p in r["ratio"] else "-"

    timed = [r for r in records if r["median_s"]]
    print("\nMedian time per call (CPU time of this process)\n")
    print(table(["workload", "document", "flow", "size"] + peer_names,
                [[r["name"], r["doc"], r["flow"], "%d KB" % max(1, r["bytes"] // KB)]
                 + [cell(r, p, "time") for p in peer_names] for r in timed]))
    print("\nRatio peer time / our time (above 1: we are faster)\n")
    print(table(["workload", "document", "flow"] + others,
                [[r["name"], r["doc"], r["flow"]] + [cell(r, p, "ratio") for p in others]
                 for r in timed]))
    for r in timed:
        if r["group"] in (wl.SMALL, wl.LINES):
            print("\n%s: %s calls/s ours, %s" % (
                "Many small documents" if r["group"] == wl.SMALL else "JSON Lines (%s)" % r["doc"],
                "{:,.0f}".format(1 / r["median_s"]["ours"]),
                ", ".join("%s %s" % (p, "{:,.0f}".format(1 / r["median_s"][p]))
                          for p in others if p in r["median_s"])))
    firsts = {(r["name"], r["doc"]): r["median_s"].get("ours") for r in timed
              if r["group"] == wl.FIRST and r["flow"] == peers.FRESH}
    for (name, doc), t in firsts.items():
        if name == "first(many)" and firsts.get(("input(many)", doc)):
            print("first() vs input() on %s: input takes %.2fx the time of first"
                  % (doc, firsts[("input(many)", doc)] / t))
    programs = [m for m in memory if m["probe"] == PROGRAMS_PROBE]
    memory = [m for m in memory if m["probe"] != PROGRAMS_PROBE]
    for m in programs:
        print("\nParser memory held after twenty programs ran once each over %s: %s"
              % (m["size"], m.get("error") or "%.1f MiB" % (m["held_after_kb"] / 1024)))
    if memory:
        print("\nPeak memory of one call (child process, VmHWM over the loaded text)\n")
        print(table(["size", "call", "text", "peak", "peak/text", "results", "(peak-results)/text",
                     "kept after"],
                    [[m["size"], m["probe"], "-", m.get("error", "")[:60], "", "", "", ""] if "error" in m else
                     [m["size"], m["probe"], "%.1f MB" % (m["bytes"] / MB),
                      "%.1f MB" % ((m["peak_kb"] - m["base_kb"]) / 1024),
                      "%.2fx" % m["peak_over_text"], "%.1f MB" % (m["results_kb"] / 1024),
                      "%.2fx" % m["beyond_results_over_text"],
                      "%.1f MB" % (m["kept_after_kb"] / 1024)] for m in memory]))
    if isinstance(cpp, dict):
        print("\nC++ stages (median CPU time)\n")
        docs = sorted({n.split("/")[1] for n in cpp if n.count("/") >= 1})
        stage_rows = []
        for d in docs:
            bare = cpp.get("simdjson_dom/" + d)
            pd = cpp.get("parse_document/" + d)
            pb = cpp.get("parse_build/" + d)
            stage_rows.append([d, fmt_time(bare / 1e9) if bare else "-",
                               fmt_time(cpp["simdjson_dom_copy/" + d] / 1e9) if ("simdjson_dom_copy/" + d) in cpp else "-",
                               fmt_time(pd / 1e9) if pd else "-",
                               "%.2fx" % (pd / bare) if bare and pd else "-",
                               fmt_time(pb / 1e9) if pb else "-",
                               fmt_time(cpp["to_json_text/" + d] / 1e9) if ("to_json_text/" + d) in cpp else "-"])
        print(table(["document", "simdjson DOM", "simdjson +copy", "parse (per call)", "vs DOM",
                     "full tree (fromjson)", "to_json_text"],
                    stage_rows))
        evals = [[n.split("/", 1)[1], fmt_time(ns / 1e9)] for n, ns in sorted(cpp.items())
                 if n.startswith("evaluate/")]
        if evals:
            print()
            print(table(["evaluate", "time"], evals))
    elif cpp:
        print("\nC++ stages: %s" % cpp)
    print("\nTargets\n")
    print(table(["target", "subject", "figure", "verdict"], rows))


def machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.*)", f.read())
            model = m.group(1).strip() if m else ""
    except OSError:
        pass
    from importlib import metadata
    versions = {}
    for name in peers.available():
        if name not in ("ours", "json"):
            try:
                versions[name] = metadata.version(name)
            except metadata.PackageNotFoundError:
                versions[name] = "?"
    return {"nproc": os.cpu_count(), "cpu": model, "python": platform.python_version(),
            "platform": platform.platform(), "peers": versions}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes, one round: a smoke run")
    ap.add_argument("--data", default=DEFAULT_DATA, help="folder of the real-world documents")
    ap.add_argument("--json", help="where to write the raw figures "
                    "(default build/bench/results-full.json, or results-quick.json)")
    ap.add_argument("--max-size", type=int, default=100, help="largest generated size, in MB")
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    ap.add_argument("--no-cpp", action="store_true", help="skip the C++ stage benchmark")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak memory probes")
    ap.add_argument("--only", action="append", default=[], metavar="TEXT",
                    help="run only the workloads whose name, document or query holds TEXT "
                         "(repeatable; with it, no generated sizes, memory or C++ stages)")
    ap.add_argument("--probe", nargs=3, help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    if opts.probe:
        probe_child(*opts.probe)
        return 0

    if opts.quick:
        sizes = QUICK_SIZES
        opts.min_batch, opts.min_rounds, opts.max_rounds, opts.budget = 0.0, 1, 1, 0.0
    else:
        sizes = [n for n in FULL_SIZES if n <= opts.max_size * MB]
        opts.min_batch, opts.min_rounds, opts.max_rounds, opts.budget = 0.05, 3, 15, 1.0
    info = machine()
    print("tamsel_vonk benchmark: %s, %d CPUs (%s), Python %s, peers %s" % (
        "quick" if opts.quick else "full", info["nproc"], info["cpu"], info["python"],
        ", ".join(peers.available())))
    real = load_real(opts.data)
    if not real:
        print("real-world documents not found in %s: skipped" % opts.data)

    gc.disable()
    started = time.perf_counter()
    records = []
    if opts.only:
        sizes, opts.no_memory, opts.no_cpp = [], True, True
    for w, arg, allowed in workload_plan(real, sizes, opts):
        if opts.only and not any(t in " ".join((w.name, w.doc, w.query)) for t in opts.only):
            continue
        text = arg()
        gc.collect()
        gc.freeze()
        for flow in flows_of(w):
            rec = run_workload(w, text, allowed, opts, flow)
            records.append(rec)
            bad = {p: s for p, s in rec["status"].items() if s not in ("ok", "n/a")}
            print("  %-18s %-20s %-9s %s%s" % (
                w.name, w.doc, flow, fmt_time(rec["median_s"]["ours"]) if rec["median_s"] else "",
                ("  " + ", ".join("%s %s" % kv for kv in bad.items())) if bad else ""), flush=True)
        text = None
        gc.unfreeze()
    gc.enable()

    memory = [] if opts.no_memory else probe_memory(sizes, peers.available())
    cpp = "skipped" if (opts.no_cpp or opts.quick) else run_cpp(opts.data, opts.quick)
    rows = verdicts(records, memory, cpp, sizes)
    report(records, memory, cpp, rows, peers.available())
    elapsed = time.perf_counter() - started
    print("\n%.0f s in all" % elapsed)

    if not opts.json:
        opts.json = os.path.join(ROOT, "build", "bench",
                                 "results-%s.json" % ("quick" if opts.quick else "full"))
    os.makedirs(os.path.dirname(os.path.abspath(opts.json)), exist_ok=True)
    with open(opts.json, "w") as f:
        json.dump({"machine": info, "mode": "quick" if opts.quick else "full", "clock": opts.clock,
                   "sizes": sizes, "seconds": elapsed, "workloads": records, "memory": memory,
                   "cpp_ns": cpp, "targets": rows}, f, indent=1)
    print("raw figures: %s" % opts.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
