#!/usr/bin/env python3
"""One huge array: stream(elements=True) over a file that is one JSON array
of GitHub events, against stream(lines=True) over the same events as JSON
Lines, and against jq's --stream idiom.

    python3 bench/elements.py            # full run (writes 1 GB of events under /tmp, a few minutes)
    python3 bench/elements.py --quick    # smoke run at a tiny size

The events are those of github_events.json varied line by line (see
compressed.py), laid out one element a line, `[\\n{...},\\n{...}\\n]\\n`; the
query is `.actor.login`. Each of ours runs in a child process, which reports
its best time and its peak memory above its start (VmHWM), after its
results are checked against those json.loads gives.

- elements=True from the path, threads 1 and 2, against lines=True over the
  JSON Lines file from its path (threads 1 and 2).
- The same array on one line, threads 1 and 2; the array wrapped in an
  object (elements=".items"); and the array gzipped.
- jq -cn --stream 'fromstream(1|truncate_stream(inputs)) | .actor.login' on
  a part of the array (it takes minutes over the whole), against ours on
  the same part.
"""

import argparse
import gzip
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from compressed import DEFAULT_DATA, MB, print_verdicts, varied_events  # noqa: E402

QUERY = ".actor.login"
JQ_STREAM = "fromstream(1|truncate_stream(inputs)) | .actor.login"

VS_LINES = 0.9
VS_JQ = 20.0
THREADS_GAIN = 1.3
HELD_MB = 64

# Runs in a child: the stream over one file, the best time (of a loop that
# hashes each result, as a consumer that keeps none would) and the peak
# memory above the child's start; prints the count, the results' checksum,
# seconds and KiB.
_CHILD = r"""
import hashlib, pathlib, sys, time, tamsel_vonk
path, threads, how, rounds = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
options = {"lines": True} if how == "lines" else {"elements": True if how == "." else how}
def hwm_kb():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
program = tamsel_vonk.compile(sys.argv[5])
list(program.stream(b'[{"actor": {"login": "warm"}}]', elements=True, threads=threads))
start = hwm_kb()
fastest = float("inf")
for _ in range(rounds):
    # The results are hashed as they come, not kept: the memory is the stream's.
    sha, count = hashlib.sha1(), 0
    begin = time.perf_counter()
    for login in program.stream(pathlib.Path(path), threads=threads, **options):
        sha.update(login.encode() if count == 0 else b"\n" + login.encode())
        count += 1
    fastest = min(fastest, time.perf_counter() - begin)
print(count, sha.hexdigest(), fastest, hwm_kb() - start)
"""


def ours(path, threads, how, rounds):
    out = subprocess.run([sys.executable, "-c", _CHILD, path, str(threads), how, str(rounds),
                          QUERY], check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), out[1], float(out[2]), int(out[3]) / 1024


def digest_of(logins):
    return hashlib.sha1("\n".join(logins).encode()).hexdigest()


def write_files(folder, data_dir, size):
    """The JSON Lines file, the array a line an element, the array on one
    line, and the array inside an object; returns their paths and the
    expected results (json.loads of each event)."""
    paths = {name: os.path.join(folder, name) for name in
             ("events.jsonl", "array.json", "one-line.json", "wrapped.json")}
    files = {name: open(path, "wb") for name, path in paths.items()}
    files["array.json"].write(b"[\n")
    files["one-line.json"].write(b"[")
    files["wrapped.json"].write(b'{"count": null, "items": [\n')
    expected, written, first, seed = [], 0, True, 34
    while written < size:
        # Parts of at most 64 MiB, each varied afresh, so that a large file
        # is never held whole.
        part = varied_events(data_dir, min(64 * MB, size - written), seed=seed)
        seed += 1
        lines = part.splitlines()
        expected += [json.loads(line)["actor"]["login"] for line in lines]
        files["events.jsonl"].write(part)
        joined = b",\n".join(lines)
        for name in ("array.json", "wrapped.json"):
            files[name].write((b"" if first else b",\n") + joined)
        files["one-line.json"].write((b"" if first else b",") + b",".join(lines))
        written += len(part)
        first = False
    files["array.json"].write(b"\n]\n")
    files["one-line.json"].write(b"]")
    files["wrapped.json"].write(b'\n], "next": null}\n')
    for f in files.values():
        f.close()
    return paths, expected


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tiny file, a few seconds")
    parser.add_argument("--data", default=DEFAULT_DATA, help="folder of the real documents")
    parser.add_argument("--mb", type=int, default=1000, help="MB of events in the full run")
    opts = parser.parse_args(argv)
    size = 4 * MB if opts.quick else opts.mb * MB
    jq_size = 2 * MB if opts.quick else 64 * MB
    rounds = 1 if opts.quick else 3
    verdicts, rows = [], []
    with tempfile.TemporaryDirectory(dir="/tmp") as folder:
        paths, expected = write_files(folder, opts.data, size)
        print(f"{os.path.getsize(paths['array.json']) / MB:.0f} MiB array of "
              f"{len(expected)} events; query {QUERY}")

        def measure(label, path, threads, how, want=expected):
            count, digest, seconds, held = ours(path, threads, how, rounds)
            if (count, digest) != (len(want), digest_of(want)):
                raise SystemExit(f"{label}: {count} results, not those expected")
            rows.append((label, threads, seconds, held))
            return seconds, held

        times = {}
        for threads in (1, 2):
            times["lines", threads] = measure("JSON Lines, lines=True", paths["events.jsonl"],
                                              threads, "lines")[0]
        for threads in (1, 2):
            seconds, held = measure("array, elements=True", paths["array.json"], threads, ".")
            times["elements", threads] = seconds
            verdicts.append((f"elements threads={threads} vs lines=True threads={threads}",
                             times["lines", threads] / seconds, VS_LINES))
            verdicts.append((f"elements threads={threads}: peak MiB", held, HELD_MB))
        verdicts.append(("elements threads=2 vs threads=1",
                         times["elements", 1] / times["elements", 2], THREADS_GAIN))
        for threads in (1, 2):
            _, held = measure("array on one line", paths["one-line.json"], threads, ".")
            verdicts.append((f"one line threads={threads}: peak MiB", held, HELD_MB))
            measure('wrapped, elements=".items"', paths["wrapped.json"], threads, ".items")

        # A gzipped part, and jq over a part: each against ours on it.
        part_path = os.path.join(folder, "part.json")
        with open(paths["array.json"], "rb") as f:
            head = f.read(jq_size)
        cut = head.rindex(b",\n")
        part = head[:cut] + b"\n]\n"
        with open(part_path, "wb") as f:
            f.write(part)
        part_expected = expected[:part.count(b",\n") + 1]
        with open(part_path + ".gz", "wb") as f:
            f.write(gzip.compress(part, 6))
        for threads in (1, 2):
            measure("part, gzipped", part_path + ".gz", threads, ".", part_expected)
        if shutil.which("jq"):
            part_ours = measure("part", part_path, 1, ".", part_expected)[0]
            begin = time.perf_counter()
            done = subprocess.run(["jq", "-cn", "--stream", JQ_STREAM, part_path],
                                  capture_output=True, check=True)
            jq_seconds = time.perf_counter() - begin
            if [json.loads(line) for line in done.stdout.splitlines()] != part_expected:
                raise SystemExit("jq --stream gives other results")
            rows.append(("part, jq -cn --stream", 1, jq_seconds, float("nan")))
            verdicts.append((f"elements vs jq --stream (on a part of {len(part) / MB:.0f} MB)",
                             jq_seconds / part_ours, VS_JQ))

    print("Best seconds | peak MiB above the start:")
    for label, threads, seconds, held in rows:
        print(f"  {label:28} threads={threads}  {seconds:8.3f} s  {held:6.1f} MiB")
    print_verdicts(verdicts)
    return rows


if __name__ == "__main__":
    main()
    sys.exit(0)
