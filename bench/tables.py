#!/usr/bin/env python3
"""Tables: query results as Arrow columns (TamselProgram.table), against
what a data engineer would use otherwise.

    python3 bench/tables.py            # full run (about a minute; writes a 200 MB file)
    python3 bench/tables.py --quick    # smoke run at tiny sizes, a few seconds

Every figure is a ratio taken in this one run, peer time / our time (above 1
means we are faster), after checking that the peer's result equals ours.
Times are wall time, the best of several rounds in which the contenders take
turns.

- Fields to a DataFrame: GitHub events as JSON Lines in a file (the events
  of github_events.json over and over), four string fields (id, type,
  actor.login, repo.name) into a polars DataFrame. Peers: polars'
  scan_ndjson with a select, DuckDB's read_json, pyarrow.json.read_json,
  and orjson with Python building the columns.
- Counts: the 10 most frequent actor.login among PushEvents, through a
  table and polars' group-by, against each peer's own group-by (orjson:
  collections.Counter).
- A JSON string column: a polars column of event strings, one field out
  (actor.login), against polars' str.json_path_match and str.json_decode
  with a dtype, and DuckDB's json_extract_string over the same frame.
- Memory: in a child process, the peak resident size (VmHWM) above the
  start while the fields go to a DataFrame, against the size of its
  columns.
"""

import argparse
import collections
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import gen  # noqa: E402

import tamsel_vonk  # noqa: E402

import polars as pl  # noqa: E402

try:
    import duckdb
except ImportError:
    duckdb = None
try:
    import pyarrow as pa
    import pyarrow.compute  # noqa: F401  (pa.compute)
    import pyarrow.json as pa_json
except ImportError:
    pa = None
try:
    import orjson
except ImportError:
    orjson = None

DEFAULT_DATA = os.path.join(os.path.dirname(ROOT), "shared", "bench-data")
MB = 1 << 20
THREADS = 2

# Targets: ours against the fastest peer.
FIELDS_VS_FASTEST = 1.5
COUNTS_VS_FASTEST = 1.5
COLUMN_VS_FASTEST = 3.0
MEMORY_SLACK_MB = 64     # peak below 2x the output columns plus this

COLUMNS = {"id": ".id", "type": ".type", "login": ".actor.login", "repo": ".repo.name"}
PROGRAM = tamsel_vonk.compile(".")
PUSHES = tamsel_vonk.compile('select(.type == "PushEvent")')


def event_lines(data_dir, count):
    """`count` compact lines of GitHub events, as bytes."""
    with open(os.path.join(data_dir, "github_events.json"), encoding="utf-8") as f:
        events = json.load(f)
    return [gen._dumps(events[i % len(events)]).encode() for i in range(count)]


def write_lines(path, lines, size):
    with open(path, "wb") as f:
        written = 0
        while written < size:
            for line in lines:
                f.write(line + b"\n")
                written += len(line) + 1


def best_of(contenders, rounds):
    best = {name: float("inf") for name in contenders}
    for _ in range(rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def checked(contenders, ours, same):
    """The contenders whose result equals ours (the others are reported)."""
    expected = contenders[ours]()
    kept, differ = {}, []
    for name, run in contenders.items():
        if name == ours or same(run(), expected):
            kept[name] = run
        else:
            differ.append(name)
    return kept, differ, expected


def frames_equal(a, b):
    return a.shape == b.shape and a.columns == b.columns and a.equals(b)


# --- fields to a DataFrame --------------------------------------------------------

def fields(path):
    contenders = {
        "ours": lambda: pl.DataFrame(PROGRAM.table(pathlib.Path(path), columns=COLUMNS, lines=True,
                                                   threads=THREADS)),
        "polars scan_ndjson": lambda: pl.scan_ndjson(path).select(
            pl.col("id"), pl.col("type"), pl.col("actor").struct.field("login"),
            pl.col("repo").struct.field("name").alias("repo")).collect(),
    }
    if duckdb is not None:
        contenders["duckdb read_json"] = lambda: duckdb.sql(
            "SELECT id, type, actor.login AS login, repo.name AS repo "
            "FROM read_json('%s', format='newline_delimited')" % path).pl()
    if pa is not None:
        def pyarrow_json():
            t = pa_json.read_json(path)
            return pl.DataFrame({"id": t["id"], "type": t["type"],
                                 "login": pa.compute.struct_field(t["actor"], "login"),
                                 "repo": pa.compute.struct_field(t["repo"], "name")})
        contenders["pyarrow read_json"] = pyarrow_json
    if orjson is not None:
        def orjson_python():
            columns = {"id": [], "type": [], "login": [], "repo": []}
            with open(path, "rb") as f:
                for line in f:
                    e = orjson.loads(line)
                    columns["id"].append(e["id"])
                    columns["type"].append(e["type"])
                    columns["login"].append(e["actor"]["login"])
                    columns["repo"].append(e["repo"]["name"])
            return pl.DataFrame(columns)
        contenders["orjson + Python"] = orjson_python
    return checked(contenders, "ours",
                   lambda a, b: frames_equal(a.rename(dict(zip(a.columns, b.columns))), b))


# --- counts -----------------------------------------------------------------------

def counts(path):
    def top(frame):
        return (frame.group_by("login").len().sort(["len", "login"], descending=[True, False])
                .head(10).rows())

    contenders = {
        "ours": lambda: top(pl.DataFrame(PUSHES.table(pathlib.Path(path), columns={"login": ".actor.login"},
                                                      lines=True, threads=THREADS))),
        "polars scan_ndjson": lambda: top(pl.scan_ndjson(path).filter(
            pl.col("type") == "PushEvent").select(pl.col("actor").struct.field("login"))
            .collect()),
    }
    if duckdb is not None:
        contenders["duckdb read_json"] = lambda: duckdb.sql(
            "SELECT actor.login AS login, count(*) AS n FROM read_json('%s', "
            "format='newline_delimited') WHERE type = 'PushEvent' GROUP BY login "
            "ORDER BY n DESC, login LIMIT 10" % path).fetchall()
    if pa is not None:
        def pyarrow_counts():
            t = pa_json.read_json(path)
            pushes = t.filter(pa.compute.equal(t["type"], "PushEvent"))
            logins = pa.table({"login": pa.compute.struct_field(pushes["actor"], "login")})
            grouped = logins.group_by("login").aggregate([([], "count_all")])
            return (pl.DataFrame(grouped).rename({"count_all": "len"})
                    .sort(["len", "login"], descending=[True, False]).head(10).rows())
        contenders["pyarrow read_json"] = pyarrow_counts
    if orjson is not None:
        def orjson_counter():
            counter = collections.Counter()
            with open(path, "rb") as f:
                for line in f:
                    e = orjson.loads(line)
                    if e["type"] == "PushEvent":
                        counter[e["actor"]["login"]] += 1
            return sorted(counter.items(), key=lambda kv: (-kv[1], kv[0]))[:10]
        contenders["orjson + Counter"] = orjson_counter
    return checked(contenders, "ours", lambda a, b: [tuple(r) for r in a] == [tuple(r) for r in b])


# --- a JSON string column ---------------------------------------------------------

def json_column(lines):
    frame = pl.DataFrame({"j": [line.decode() for line in lines]})
    contenders = {
        "ours": lambda: pl.DataFrame(PROGRAM.table(frame["j"], columns={"login": ".actor.login"},
                                                   threads=THREADS))["login"],
        "polars json_path_match": lambda: frame.select(
            pl.col("j").str.json_path_match("$.actor.login").alias("login"))["login"],
        "polars json_decode": lambda: frame.select(
            pl.col("j").str.json_decode(pl.Struct({"actor": pl.Struct({"login": pl.String})}))
            .struct.field("actor").struct.field("login"))["login"],
    }
    if duckdb is not None:
        connection = duckdb.connect()
        connection.register("frame", frame)
        contenders["duckdb json_extract_string"] = lambda: connection.sql(
            "SELECT json_extract_string(j, '$.actor.login') AS login FROM frame").pl()["login"]
    return checked(contenders, "ours", lambda a, b: a.to_list() == b.to_list())


# --- memory -----------------------------------------------------------------------

MEMORY_CHILD = """
import pathlib, sys, polars as pl, tamsel_vonk
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM"):
            return int(line.split()[1]) * 1024
before = hwm()
frame = pl.DataFrame(tamsel_vonk.compile(".").table(pathlib.Path(sys.argv[1]), columns=%r, lines=True, threads=%d))
print(hwm() - before, frame.estimated_size())
""" % (COLUMNS, THREADS)


def memory(path):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path], capture_output=True,
                         text=True, check=True)
    held, columns = map(int, out.stdout.split())
    return held, columns


def ratio_rows(title, best, differ, target):
    ours = best.pop("ours")
    fastest = min(best.values()) if best else float("nan")
    rows = []
    for name, t in sorted(best.items(), key=lambda kv: kv[1]):
        rows.append((title, "%.1f ms" % (ours * 1e3), "%s: %.1f ms" % (name, t * 1e3),
                     "%.2fx" % (t / ours), ""))
    verdict = "PASS" if fastest / ours >= target else "MISS"
    rows.append((title, "", "fastest peer", "%.2fx" % (fastest / ours), "%sx: %s" % (target, verdict)))
    for name in differ:
        rows.append((title, "", name, "differs", ""))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, a few seconds")
    parser.add_argument("--data", default=DEFAULT_DATA, help="the real-world documents")
    opts = parser.parse_args(argv)
    rounds = 1 if opts.quick else 5
    size = 2 * MB if opts.quick else 200 * MB
    strings = 2000 if opts.quick else 200_000
    lines = event_lines(opts.data, strings)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "events.jsonl")
        write_lines(path, lines[:1000], size)
        kept, differ, expected = fields(path)
        rows += ratio_rows("fields to a DataFrame, %d MB, %d rows" % (size // MB, len(expected)),
                           best_of(kept, rounds), differ, FIELDS_VS_FASTEST)
        kept, differ, _ = counts(path)
        rows += ratio_rows("top 10 PushEvent logins", best_of(kept, rounds), differ,
                           COUNTS_VS_FASTEST)
        held, columns = memory(path)
        limit = 2 * columns + MEMORY_SLACK_MB * MB
        rows.append(("memory, fields to a DataFrame", "%.1f MiB held" % (held / MB),
                     "columns: %.1f MiB" % (columns / MB), "",
                     "< 2x + %d MiB: %s" % (MEMORY_SLACK_MB, "PASS" if held < limit else "MISS")))
    kept, differ, _ = json_column(lines)
    rows += ratio_rows("JSON column, %d strings of %d B" % (len(lines), sum(map(len, lines)) // len(lines)),
                       best_of(kept, rounds), differ, COLUMN_VS_FASTEST)
    print("| workload | ours | peer | peer / ours | target |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    return rows


if __name__ == "__main__":
    main()
