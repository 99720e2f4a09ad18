#!/usr/bin/env python3
"""Many documents per call: the stream and batch methods, a large file, and
the command line, against what a caller would do otherwise.

    python3 bench/streams.py            # full run (a few minutes; writes a 200 MB file)
    python3 bench/streams.py --quick    # smoke run at tiny sizes, a few seconds

Every figure is a ratio taken in this one run, peer time / our time (above 1
means we are faster), after checking that the peer's results equal ours.
Timings are the best of several rounds in which the contenders take turns.

- JSON Lines: 20,000 GitHub events (the events of github_events.json over
  and over, one compact line each) in one bytes object, through
  `select(.type == "PushEvent") | .actor.login`: stream() against a loop of
  first_bytes() over the lines, and against pysimdjson per line (one parser
  reused, `at_pointer` for the login, as its documentation recommends).
- batch() over the list of those lines, against the same loop.
- A large file: 200 MB of such lines, written at run time to a temporary
  folder and removed after. In a child process: the memory held above the
  start while streaming it from its path (peak resident size, VmHWM), and
  its throughput against the same bytes streamed from memory.
- Every source kind (bytes, str, bytearray, a file object, a path, a pipe
  from another process) at threads 1, 2 and 4, over a file of 256 MiB of
  such lines and of the same events laid out over several lines each, a
  child process a cell: the best time, and the peak memory held above the
  source itself (VmHWM, reset once the source is read); and the stream from
  a path against a first_bytes loop over the same lines in memory.
- The command line, a child process each, on that file in the default mode
  and with --lines against jq (Debian's jq, when installed), with each
  one's peak resident size; and pretty output of canada.json and
  twitter.json against `jq .`.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen  # noqa: E402

import tamsel_vonk  # noqa: E402

try:
    import simdjson  # pysimdjson
except ImportError:
    simdjson = None

DEFAULT_DATA = os.path.join(os.path.dirname(ROOT), "shared", "bench-data")
QUERY = 'select(.type == "PushEvent") | .actor.login'
MB = 1 << 20

# Targets.
STREAM_VS_LOOP = 2.0
STREAM_VS_PYSIMDJSON = 2.0
BATCH_VS_LOOP = 1.5
FILE_HELD_MB = 64
FILE_VS_MEMORY = 0.9        # throughput from a path / from memory
CLI_VS_JQ = 4.0
CLI_HELD_MB = 64
CLI_PRETTY_VS_JQ = 2.0
SOURCES_THREADS_VS_ONE = 1.3   # threads=2 against threads=1, every source
SOURCES_HELD_MB = 128          # peak held above the source, every cell
PATH_VS_LOOP = 2.0             # a stream from a path / first_bytes over the lines in memory
SOURCE_KINDS = ("bytes", "str", "bytearray", "file object", "path", "pipe")


def event_lines(data_dir, count):
    """`count` compact lines of GitHub events, as bytes."""
    with open(os.path.join(data_dir, "github_events.json"), encoding="utf-8") as f:
        events = json.load(f)
    return [gen._dumps(events[i % len(events)]).encode() for i in range(count)]


def best_of(contenders, rounds):
    """The best time of each contender (name -> function), taking turns."""
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def json_lines(lines, rounds):
    program = tamsel_vonk.compile(QUERY)
    first = program.first_bytes
    blob = b"\n".join(lines) + b"\n"

    def loop():
        return [r for r in (first(line) for line in lines) if r is not None]

    contenders = {
        "stream": lambda: list(program.stream(blob)),
        "batch": lambda: [r for r in program.batch(lines, first=True) if r is not None],
        "first_bytes loop": loop,
    }
    if simdjson is not None:
        parser = simdjson.Parser()

        def pysimdjson():
            out = []
            for line in lines:
                event = parser.parse(line)
                if event["type"] == "PushEvent":
                    out.append(event.at_pointer("/actor/login"))
                del event  # the parser refuses to parse while a proxy lives
            return out

        contenders["pysimdjson"] = pysimdjson
    expected = loop()
    for name, run in contenders.items():
        if run() != expected:
            raise SystemExit(f"{name} gives other results than ours")
    best = best_of(contenders, rounds)
    size = len(blob)
    rows = [(name, best[name] / len(lines) * 1e6, size / best[name] / MB) for name in contenders]
    verdicts = [
        ("stream vs first_bytes loop", best["first_bytes loop"] / best["stream"], STREAM_VS_LOOP),
        ("batch vs first_bytes loop", best["first_bytes loop"] / best["batch"], BATCH_VS_LOOP),
    ]
    if "pysimdjson" in best:
        verdicts.append(("stream vs pysimdjson per line", best["pysimdjson"] / best["stream"],
                         STREAM_VS_PYSIMDJSON))
    return rows, verdicts


# Runs in a child: one cell of the table of sources, the best of some rounds,
# and the memory held above the source at its peak.
_SOURCE_CHILD = r"""
import pathlib, subprocess, sys, time, tamsel_vonk
path, kind, threads, lines, query, rounds = (sys.argv[1], sys.argv[2], int(sys.argv[3]),
                                            sys.argv[4] == "1", sys.argv[5], int(sys.argv[6]))
def status_kb(field):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
data = pathlib.Path(path).read_bytes()
held = {"bytes": data, "str": None, "bytearray": None}
if kind == "str":
    held["str"] = data.decode()
elif kind == "bytearray":
    held["bytearray"] = bytearray(data)
if kind != "bytes":
    del data
def source():
    if kind in held and held[kind] is not None:
        return held[kind], None
    if kind == "file object":
        return open(path, "rb"), None
    if kind == "path":
        return pathlib.Path(path), None
    child = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
    return child.stdout, child
program = tamsel_vonk.compile(query)
list(program.stream(b'{"type": "PushEvent", "actor": {"login": "warm"}}', threads=threads))
best, count, peak = float("inf"), None, 0
for _ in range(rounds):
    given, child = source()
    reset_peak()
    base = status_kb("VmRSS")
    begin = time.perf_counter()
    n = sum(1 for _ in tamsel_vonk.compile(query).stream(given, threads=threads, lines=lines))
    best = min(best, time.perf_counter() - begin)
    peak = max(peak, status_kb("VmHWM") - base)
    assert count in (None, n)
    count = n
    if child:
        child.stdout.close()
        child.wait()
    elif hasattr(given, "close"):
        given.close()
print(count, best, peak)
"""


def sources(path, laid_out_path, lines, rounds):
    """The table of sources: rows of (layout, kind, {threads: (seconds,
    held MiB)}), and the verdicts."""
    first = tamsel_vonk.compile(QUERY).first_bytes
    with open(path, "rb") as f:
        in_memory = f.read().splitlines()

    def loop():
        return sum(1 for line in in_memory if first(line) is not None)

    loop_time = best_of({"loop": loop}, rounds)["loop"]
    rows, verdicts = [], []
    for layout, file, modes in (("JSON Lines", path, (True, False)),
                                ("laid out", laid_out_path, (False,))):
        with open(file, "rb") as f:
            expected = sum(1 for _ in tamsel_vonk.compile(QUERY).stream(f.read()))
        if layout == "JSON Lines" and loop() != expected:
            raise SystemExit("the first_bytes loop gives other results than the stream")
        for as_lines in modes:
            for kind in SOURCE_KINDS:
                cells = {}
                for threads in (1, 2, 4):
                    out = subprocess.run(
                        [sys.executable, "-c", _SOURCE_CHILD, file, kind, str(threads),
                         "1" if as_lines else "0", QUERY, str(rounds)],
                        check=True, capture_output=True, text=True).stdout.split()
                    if int(out[0]) != expected:
                        raise SystemExit(f"{kind} threads={threads}: {out[0]} results, "
                                         f"not {expected}")
                    cells[threads] = (float(out[1]), int(out[2]) / 1024)
                label = f"{layout}{', lines=True' if as_lines else ''}"
                rows.append((label, kind, cells))
                verdicts.append((f"{label}, {kind}: threads=2 vs 1",
                                 cells[1][0] / cells[2][0], SOURCES_THREADS_VS_ONE))
                verdicts.append((f"{label}, {kind}: most held, MiB",
                                 max(held for _, held in cells.values()), SOURCES_HELD_MB))
                if kind == "path" and layout == "JSON Lines" and not as_lines:
                    verdicts.append(("path vs first_bytes loop over the lines in memory",
                                     loop_time / min(t for t, _ in cells.values()), PATH_VS_LOOP))
    return loop_time, rows, verdicts


def write_file(path, lines, size):
    """Writes JSON Lines of about `size` bytes to `path`."""
    chunk = b"\n".join(lines) + b"\n"
    written = 0
    with open(path, "wb") as f:
        while written < size:
            f.write(chunk)
            written += len(chunk)
    return written


# Runs in a child: streams the file from its path, for the memory held above
# the start, then from its path and from memory by turns, and prints the
# held memory and the best time of each.
_FILE_CHILD = r"""
import pathlib, sys, time, tamsel_vonk
def hwm_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
path, query, rounds = pathlib.Path(sys.argv[1]), sys.argv[2], int(sys.argv[3])
program = tamsel_vonk.compile(query)
list(program.stream(b'{"type": "PushEvent", "actor": {"login": "warm"}}'))
start_kb = hwm_kb()
count = sum(1 for _ in program.stream(path))
held_kb = hwm_kb() - start_kb
data = path.read_bytes()
best = {"path": float("inf"), "memory": float("inf")}
for _ in range(rounds):
    for name, source in (("path", path), ("memory", data)):
        begin = time.perf_counter()
        assert sum(1 for _ in program.stream(source)) == count
        best[name] = min(best[name], time.perf_counter() - begin)
print(count, held_kb, best["path"], best["memory"])
"""


def large_file(path, size, rounds):
    out = subprocess.run([sys.executable, "-c", _FILE_CHILD, path, QUERY, str(rounds)], check=True,
                         capture_output=True, text=True).stdout.split()
    count, held_kb, from_path, from_memory = int(out[0]), int(out[1]), float(out[2]), float(out[3])
    rows = [("from its path", from_path, size / from_path / MB),
            ("from memory", from_memory, size / from_memory / MB)]
    verdicts = [
        ("file: held above the start, MiB", held_kb / 1024, FILE_HELD_MB),
        ("file: throughput from path / from memory", from_memory / from_path, FILE_VS_MEMORY),
    ]
    return count, rows, verdicts


# GNU time reports a child's own peak resident size; the rusage of a child
# forked from this process would count this process's pages from before exec.
GNU_TIME = "/usr/bin/time" if os.path.exists("/usr/bin/time") else None


def run_command(argv):
    """(output, seconds, peak resident MiB or None) of one child process."""
    with tempfile.TemporaryFile() as out, tempfile.NamedTemporaryFile("r") as peak:
        measured = [GNU_TIME, "-f", "%M", "-o", peak.name] + argv if GNU_TIME else argv
        begin = time.perf_counter()
        done = subprocess.run(measured, stdout=out, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - begin
        if done.returncode != 0:
            raise SystemExit(f"{argv[0]} failed: {done.stderr.decode(errors='replace')[:200]}")
        rss = int(peak.read().split()[-1]) / 1024 if GNU_TIME else None
        out.seek(0)
        return out.read(), seconds, rss


def best_command(argv, rounds):
    best = None
    for _ in range(rounds):
        output, seconds, rss = run_command(argv)
        if best is None or seconds < best[1]:
            best = (output, seconds, rss)
    return best


def ours_cli():
    found = shutil.which("tamsel-vonk", path=os.path.dirname(sys.executable))
    return [found] if found else [sys.executable, "-m", "tamsel_vonk_cli"]


def command_line(path, data_dir, rounds):
    jq = shutil.which("jq")
    rows, verdicts = [], []
    cases = [("default mode", ours_cli() + ["-c", QUERY, path], ["jq", "-c", QUERY, path]),
             ("--lines", ours_cli() + ["-c", "--lines", QUERY, path], ["jq", "-c", QUERY, path])]
    for name in ("canada.json", "twitter.json"):
        document = os.path.join(data_dir, name)
        if os.path.isfile(document):
            cases.append((f"pretty {name}", ours_cli() + [".", document], ["jq", ".", document]))
    for label, ours, theirs in cases:
        # A small document's run is mostly start-up, and its timing noisy.
        tries = rounds * 5 if label.startswith("pretty") else rounds
        our_output, our_time, our_rss = best_command(ours, tries)
        row = [label, our_time, our_rss]
        if jq:
            their_output, their_time, their_rss = best_command(theirs, tries)
            # jq holds every number as a double: pretty output is compared
            # as values read that way.
            same = (our_output == their_output if not label.startswith("pretty")
                    else json.loads(our_output, parse_int=float)
                    == json.loads(their_output, parse_int=float))
            if not same:
                raise SystemExit(f"{label}: jq gives another output than ours")
            row += [their_time, their_rss]
            target = CLI_PRETTY_VS_JQ if label.startswith("pretty") else CLI_VS_JQ
            verdicts.append((f"command line {label} vs jq", their_time / our_time, target))
        if not label.startswith("pretty") and our_rss is not None:
            verdicts.append((f"command line {label}: peak resident MiB", our_rss, CLI_HELD_MB))
        rows.append(row)
    return rows, verdicts


def verdict_line(name, figure, target):
    # Memory figures are bounds from above; the rest from below.
    upper = "MiB" in name
    ok = figure <= target if upper else figure >= target
    sign = "<=" if upper else ">="
    return f"  {'PASS' if ok else 'MISS'}  {name}: {figure:.2f} (target {sign} {target})", ok


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, a few seconds")
    parser.add_argument("--data", default=DEFAULT_DATA, help="folder of the real documents")
    opts = parser.parse_args(argv)
    if not os.path.isfile(os.path.join(opts.data, "github_events.json")):
        raise SystemExit(f"no github_events.json in {opts.data}")
    count = 200 if opts.quick else 20_000
    rounds = 2 if opts.quick else 9
    file_size = 2 * MB if opts.quick else 200 * MB
    lines = event_lines(opts.data, count)
    verdicts = []

    rows, found = json_lines(lines, rounds)
    verdicts += found
    print(f"JSON Lines: {count} events, {sum(map(len, lines)) // count} bytes each, {QUERY}")
    for name, per_line, speed in rows:
        print(f"  {name:18} {per_line:7.3f} us/line {speed:8.0f} MiB/s")

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "events.jsonl")
        size = write_file(path, lines, file_size)
        results, rows, found = large_file(path, size, 2 if opts.quick else 5)
        verdicts += found
        print(f"A large file: {size / MB:.0f} MiB, {results} results")
        for name, seconds, speed in rows:
            print(f"  {name:18} {seconds:7.3f} s {speed:8.0f} MiB/s")
        laid_out = os.path.join(folder, "events-laid-out.json")
        with open(os.path.join(opts.data, "github_events.json"), encoding="utf-8") as f:
            events = json.load(f)
        write_file(laid_out, [json.dumps(event, indent=2).encode() for event in events],
                   file_size if opts.quick else 256 * MB)
        sources_path = path
        if not opts.quick:
            sources_path = os.path.join(folder, "events-256.jsonl")
            write_file(sources_path, lines, 256 * MB)
        loop_time, rows, found = sources(sources_path, laid_out, lines, 1 if opts.quick else 5)
        verdicts += found
        print(f"Sources: best time in ms | peak MiB held above the source, threads 1, 2, 4"
              f" (first_bytes loop over the lines: {loop_time * 1000:.0f} ms)")
        for label, kind, cells in rows:
            print(f"  {label:22} {kind:12} " + "  ".join(
                f"{cells[t][0] * 1000:7.0f} | {cells[t][1]:5.1f}" for t in (1, 2, 4)))
        if not opts.quick:
            os.remove(sources_path)
        os.remove(laid_out)
        rows, found = command_line(path, opts.data, 1 if opts.quick else 3)
        verdicts += found
        print("The command line (best time, peak resident size): ours | jq")
        def cell(seconds, rss):
            return f"{seconds * 1000:7.1f} ms " + (f"{rss:6.1f} MiB" if rss is not None else "")

        for row in rows:
            print(f"  {row[0]:22} {cell(row[1], row[2])}"
                  + (f" | {cell(row[3], row[4])}" if len(row) > 3 else ""))

    print("Verdicts:")
    failed = 0
    for name, figure, target in verdicts:
        text, ok = verdict_line(name, figure, target)
        failed += not ok
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
