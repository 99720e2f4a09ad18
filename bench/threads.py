#!/usr/bin/env python3
"""Every core: calls on several Python threads, a stream on threads of its
own, and results as JSON text, each against what a caller would do otherwise.

    python3 bench/threads.py            # full run (about a minute)
    python3 bench/threads.py --quick    # smoke run at tiny sizes, a few seconds

Every figure is a ratio taken in this one run (above 1 means the first
contender is faster), after checking that both give the same results.
Timings are the best of several rounds in which the contenders take turns.

- Python threads: first_bytes over twitter.json-sized documents (each a
  copy of its own), on 2 threads of a ThreadPoolExecutor against 1:
  throughput of the two, as the large documents run without the lock.
- Our threads: stream(threads=2) against stream() over 20,000 GitHub events
  as JSON Lines in one bytes object (the workload of bench/streams.py).
- JSON text: input_bytes(..., as_json=True) against input_bytes() followed
  by orjson.dumps of each result, over twitter.json with `.statuses.[]`.
"""

import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import streams  # noqa: E402  (its event lines and its best_of)

import tamsel_vonk  # noqa: E402

try:
    import orjson
except ImportError:
    orjson = None

THREADS_VS_ONE = 1.6
STREAM_THREADS_VS_ONE = 1.6
JSON_TEXT_VS_ORJSON = 2.0


def python_threads(data_dir, documents, rounds):
    with open(os.path.join(data_dir, "twitter.json"), "rb") as f:
        text = f.read()
    program = tamsel_vonk.compile(".statuses.[] | .user.screen_name")
    # Each its own bytes object, as documents that arrive separately are.
    texts = [bytes(bytearray(text)) for _ in range(documents)]
    expected = [program.first_bytes(t) for t in texts]

    def run(threads):
        def share(k):
            return [program.first_bytes(t) for t in texts[k::threads]]
        with ThreadPoolExecutor(threads) as pool:
            return sorted(r for part in pool.map(share, range(threads)) for r in part)

    for threads in (1, 2):
        if run(threads) != sorted(expected):
            raise SystemExit(f"{threads} threads give other results")
    best = streams.best_of({"1 thread": lambda: run(1), "2 threads": lambda: run(2)}, rounds)
    rows = [(name, best[name] / documents * 1e6) for name in best]
    return rows, [("2 Python threads vs 1, first_bytes", best["1 thread"] / best["2 threads"],
                   THREADS_VS_ONE)]


def our_threads(data_dir, lines, rounds):
    blob = b"\n".join(streams.event_lines(data_dir, lines)) + b"\n"
    # A program of its own for each run: a copy reads as a fresh one does.
    program = tamsel_vonk.compile(streams.QUERY)

    def run(threads):
        return list(tamsel_vonk.compile(streams.QUERY).stream(blob, threads=threads))

    expected = list(program.stream(blob))
    if run(2) != expected:
        raise SystemExit("stream(threads=2) gives other results")
    best = streams.best_of({"threads=1": lambda: run(1), "threads=2": lambda: run(2)}, rounds)
    rows = [(name, best[name] / lines * 1e6) for name in best]
    return rows, [("stream threads=2 vs 1, JSON Lines", best["threads=1"] / best["threads=2"],
                   STREAM_THREADS_VS_ONE)]


def json_text(data_dir, rounds):
    if orjson is None:
        return [], []
    with open(os.path.join(data_dir, "twitter.json"), "rb") as f:
        text = f.read()
    program = tamsel_vonk.compile(".statuses.[]")

    def ours():
        return list(program.input_bytes(text, as_json=True))

    def objects_then_orjson():
        return [orjson.dumps(result) for result in program.input_bytes(text)]

    # Equal as values: orjson writes floats and escapes in its own way.
    if [orjson.loads(t) for t in ours()] != [orjson.loads(t) for t in objects_then_orjson()]:
        raise SystemExit("as_json gives other results than orjson.dumps")
    best = streams.best_of({"as_json": ours, "objects + orjson.dumps": objects_then_orjson},
                           rounds)
    rows = [(name, best[name] * 1e6) for name in best]
    return rows, [("as_json vs objects + orjson.dumps", best["objects + orjson.dumps"] /
                   best["as_json"], JSON_TEXT_VS_ORJSON)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes, for a smoke run")
    parser.add_argument("--data", default=streams.DEFAULT_DATA)
    args = parser.parse_args(argv)
    documents, lines, rounds = (4, 200, 1) if args.quick else (200, 20000, 7)
    verdicts = []
    for title, (rows, found) in (
        ("Python threads, first_bytes, us a document", python_threads(args.data, documents, rounds)),
        ("stream over JSON Lines, us a line", our_threads(args.data, lines, rounds)),
        ("twitter.json .statuses.[], us a call", json_text(args.data, rounds)),
    ):
        print(title)
        for name, value in rows:
            print(f"  {name:28} {value:10.2f}")
        verdicts += found
    print()
    for name, ratio, target in verdicts:
        mark = "ok" if ratio >= target else "MISSED"
        print(f"{name:45} {ratio:6.2f}x  (target {target}x)  {mark}")
    return verdicts


if __name__ == "__main__":
    main()
