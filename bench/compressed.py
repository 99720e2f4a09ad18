#!/usr/bin/env python3
"""Compressed logs: a stream over a .gz or .zst file against the decompressor
alone, polars on the same file, and jq behind zcat.

    python3 bench/compressed.py            # full run (writes 200 MB of events, a minute or two)
    python3 bench/compressed.py --quick    # smoke run at a tiny size

The file is JSON Lines of GitHub events, made from the events of
github_events.json with their ids, times, people, repositories and commit
hashes varied line by line (repeated verbatim, a compressor would find whole
events again and decompress far faster than real logs). It is compressed
with `gzip -6` and `zstd -3`; the query is
`select(.type == "PushEvent") | .actor.login`.

Every figure is a ratio of times taken in this one run, peer / ours (above
1 means we are faster), after checking that the peer's results equal ours.
Each of ours runs in a child process, which also reports its peak memory
above its start (VmHWM).

- Ours from the path, threads 1 and 2, against `zcat file > /dev/null` and
  `zstd -dc file > /dev/null` (the decoder alone), and against polars
  `scan_ndjson` of the same file with the same selection (polars 1.34, as
  its documentation shows a lazy scan, filter and select).
- Every source kind of a .gz (bytes, a path, a file object, a pipe from
  `cat`) at threads 1 and 2.
- The command line on the .gz file against `zcat file | jq -c '...'`.
"""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_DATA = os.path.join(os.path.dirname(ROOT), "shared", "bench-data")
QUERY = 'select(.type == "PushEvent") | .actor.login'
MB = 1 << 20

VS_DECODER = 0.9
VS_POLARS = 2.0
CLI_VS_ZCAT_JQ = 3.0
HELD_MB = 64

try:
    import polars
except ImportError:
    polars = None


def varied_events(data_dir, size, seed=34):
    """About `size` bytes of JSON Lines, as bytes."""
    with open(os.path.join(data_dir, "github_events.json"), encoding="utf-8") as f:
        events = json.load(f)
    rng = random.Random(seed)
    people = ["%s%d" % (rng.choice(["dev", "octo", "ana", "li", "max", "zoe"]), rng.randrange(10**6))
              for _ in range(5000)]
    repos = ["%s/%s" % (rng.choice(people), rng.choice(["core", "web", "docs", "api", "cli"]))
             for _ in range(3000)]
    out, total, i = [], 0, 0
    while total < size:
        event = json.loads(json.dumps(events[i % len(events)]))
        event["id"] = str(26000000000 + i)
        event["created_at"] = "2026-12-%02dT%02d:%02d:%02dZ" % (
            1 + i // 86400 % 28, i // 3600 % 24, i // 60 % 60, i % 60)
        login = rng.choice(people)
        if isinstance(event.get("actor"), dict):
            event["actor"].update(id=rng.randrange(10**8), login=login, display_login=login,
                                  url="https://api.github.com/users/" + login)
        if isinstance(event.get("repo"), dict):
            name = rng.choice(repos)
            event["repo"].update(id=rng.randrange(10**8), name=name,
                                 url="https://api.github.com/repos/" + name)
        payload = event.get("payload")
        if isinstance(payload, dict) and "head" in payload:
            payload.update(push_id=rng.randrange(10**10), head="%040x" % rng.getrandbits(160),
                           before="%040x" % rng.getrandbits(160))
        line = json.dumps(event, separators=(",", ":"), ensure_ascii=False).encode() + b"\n"
        out.append(line)
        total += len(line)
        i += 1
    return b"".join(out)


def timed(argv, shell=False, stdout=subprocess.DEVNULL):
    begin = time.perf_counter()
    done = subprocess.run(argv, shell=shell, stdout=stdout, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - begin
    if done.returncode != 0:
        raise SystemExit(f"{argv} failed: {done.stderr.decode(errors='replace')[:300]}")
    return seconds, done.stdout


def best(run, rounds):
    figures = [run() for _ in range(rounds)]
    return min(figures, key=lambda figure: figure[0])


# Runs in a child: the stream over a source of one kind, the best time and
# the peak memory above the child's start; prints the count, then the
# results' checksum, seconds and KiB.
_CHILD = r"""
import hashlib, pathlib, subprocess, sys, time, tamsel_vonk
path, kind, threads, query, rounds = (sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4],
                                      int(sys.argv[5]))
def hwm_kb():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmHWM:"))
program = tamsel_vonk.compile(query)
list(program.stream(b'{"type": "PushEvent", "actor": {"login": "warm"}}', threads=threads))
data = pathlib.Path(path).read_bytes() if kind == "bytes" else None
start = hwm_kb()
fastest, digest, count = float("inf"), None, 0
for _ in range(rounds):
    child = None
    if kind == "bytes":
        source = data
    elif kind == "path":
        source = pathlib.Path(path)
    elif kind == "file object":
        source = open(path, "rb")
    else:
        child = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
        source = child.stdout
    begin = time.perf_counter()
    logins = list(program.stream(source, lines=True, threads=threads))
    fastest = min(fastest, time.perf_counter() - begin)
    digest, count = hashlib.sha1("\n".join(logins).encode()).hexdigest(), len(logins)
    del logins
    if child:
        child.stdout.close()
        child.wait()
    elif kind == "file object":
        source.close()
print(count, digest, fastest, hwm_kb() - start)
"""


def ours(path, kind, threads, rounds):
    out = subprocess.run([sys.executable, "-c", _CHILD, path, kind, str(threads), QUERY,
                          str(rounds)], check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), out[1], float(out[2]), int(out[3]) / 1024


def digest_of(logins):
    import hashlib
    return hashlib.sha1("\n".join(logins).encode()).hexdigest()


def ours_cli():
    found = shutil.which("tamsel-vonk", path=os.path.dirname(sys.executable))
    return [found] if found else [sys.executable, "-m", "tamsel_vonk_cli"]


def print_verdicts(verdicts):
    """Each (name, figure, target): a figure in MiB is held to at most its
    target, any other (a ratio) to at least."""
    print("Verdicts:")
    for name, figure, target in verdicts:
        upper = "MiB" in name
        ok = figure <= target if upper else figure >= target
        print(f"  {'PASS' if ok else 'MISS'}  {name}: {figure:.2f} "
              f"(target {'<=' if upper else '>='} {target})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tiny file, a few seconds")
    parser.add_argument("--data", default=DEFAULT_DATA, help="folder of the real documents")
    opts = parser.parse_args(argv)
    for tool in ("gzip", "zstd"):
        if not shutil.which(tool):
            raise SystemExit(f"needs the {tool} command")
    size = 4 * MB if opts.quick else 200 * MB
    rounds = 1 if opts.quick else 3
    verdicts = []
    with tempfile.TemporaryDirectory() as folder:
        plain = os.path.join(folder, "events.jsonl")
        text = varied_events(opts.data, size)
        with open(plain, "wb") as f:
            f.write(text)
        expected = [json.loads(line)["actor"]["login"] for line in text.splitlines()
                    if json.loads(line)["type"] == "PushEvent"]
        del text
        gz, zst = plain + ".gz", plain + ".zst"
        subprocess.run(f"gzip -6 -c {plain} > {gz}", shell=True, check=True)
        subprocess.run(["zstd", "-q", "-3", plain, "-o", zst], check=True)
        print(f"{os.path.getsize(plain) / MB:.0f} MiB of events, {len(expected)} results; "
              f".gz {os.path.getsize(gz) / MB:.1f} MiB, .zst {os.path.getsize(zst) / MB:.1f} MiB")

        def check(label, count, digest):
            if (count, digest) != (len(expected), digest_of(expected)):
                raise SystemExit(f"{label}: {count} results, not those expected")

        print("From the path (best seconds | peak MiB above the start):")
        # The stream over the text itself: what the parser alone costs,
        # the floor of a stream over an archive whose decoder is faster.
        unpacked = {}
        line = "  plain text"
        for threads in (1, 2):
            count, digest, unpacked[threads], held = ours(plain, "path", threads, rounds)
            check(f"plain threads={threads}", count, digest)
            line += f" | threads={threads} {unpacked[threads]:.3f} s {held:.1f} MiB"
        print(line)
        for name, file, decoder in (("gzip", gz, ["zcat", gz]), ("zstd", zst, ["zstd", "-dc", zst])):
            alone = best(lambda: timed(decoder), rounds)[0]
            line = f"  {name}: {' '.join(decoder[:-1])} alone {alone:.3f} s"
            for threads in (1, 2):
                count, digest, seconds, held = ours(file, "path", threads, rounds)
                check(f"{name} threads={threads}", count, digest)
                line += (f" | threads={threads} {seconds:.3f} s {held:.1f} MiB"
                         f" ({unpacked[threads] / seconds:.2f} of plain)")
                verdicts.append((f"{name} path threads={threads} vs {decoder[0]} alone",
                                 alone / seconds, VS_DECODER))
                verdicts.append((f"{name} path threads={threads}: peak MiB", held, HELD_MB))
            if polars is not None:
                def scan():
                    begin = time.perf_counter()
                    frame = (polars.scan_ndjson(file)
                             .filter(polars.col("type") == "PushEvent")
                             .select(polars.col("actor").struct.field("login")).collect())
                    return time.perf_counter() - begin, frame
                seconds_polars, frame = best(scan, rounds)
                got = frame.to_series().to_list()
                if got != expected:
                    raise SystemExit(f"polars gives other results on the {name} file")
                line += f" | polars {seconds_polars:.3f} s"
                fastest = min(ours(file, "path", t, rounds)[2] for t in (1, 2))
                verdicts.append((f"{name} path vs polars scan_ndjson", seconds_polars / fastest,
                                 VS_POLARS))
            print(line)

        print("Every source of the .gz (best seconds | peak MiB), threads 1 and 2:")
        for kind in ("bytes", "path", "file object", "pipe"):
            cells = []
            for threads in (1, 2):
                count, digest, seconds, held = ours(gz, kind, threads, rounds)
                check(f"{kind} threads={threads}", count, digest)
                cells.append(f"{seconds:.3f} s {held:6.1f} MiB")
            print(f"  {kind:12} " + "  ".join(cells))

        cli_query = ours_cli() + ["-c", QUERY, gz]
        ours_time, our_out = best(lambda: timed(cli_query, stdout=subprocess.PIPE), rounds)
        line = f"The command line on the .gz: ours {ours_time:.3f} s"
        if shutil.which("jq"):
            pipeline = f"zcat {gz} | jq -c '{QUERY}'"
            theirs_time, their_out = best(lambda: timed(pipeline, shell=True,
                                                        stdout=subprocess.PIPE), rounds)
            if our_out != their_out:
                raise SystemExit("zcat | jq gives another output than ours")
            line += f" | zcat | jq {theirs_time:.3f} s"
            verdicts.append(("command line vs zcat | jq", theirs_time / ours_time, CLI_VS_ZCAT_JQ))
        print(line)

    print_verdicts(verdicts)
    return 0


if __name__ == "__main__":
    sys.exit(main())
