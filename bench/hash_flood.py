#!/usr/bin/env python3
"""Objects with crafted keys must cost what objects with random keys cost.

    python3 bench/hash_flood.py           # sizes up to 200,000 keys
    python3 bench/hash_flood.py --quick   # up to 40,000 keys, a few seconds

Objects above 32 members hash their keys with a seed of their own, drawn from
a process-wide random value, so nobody outside the process can choose keys
that collide. What an attacker can still send:

- one key repeated (every copy hashes alike, whatever the seed),
- keys sharing a long prefix and differing only in their last characters,
- keys of equal length differing in one middle character.

For each key set and size, the best of five runs of three jobs is timed:
parsing and copying the object (`{a: .} | .a`), rebuilding it with one lookup
and one insert per key (`to_entries | from_entries`), and converting it to a
dict (`.`). Printed: the time per key at each size. Verdict: a crafted set's
time relative to random keys of the same size must not grow with the size
(over an 8-fold size range a quadratic cost would grow it 8-fold); the script
exits with status 1 if that relative cost grows more than 3-fold.
"""
import argparse
import json
import random
import string
import sys
import time

import tamsel_vonk

JOBS = {
    "copy": tamsel_vonk.compile("{a: .} | .a | length"),
    "rebuild": tamsel_vonk.compile("to_entries | from_entries | length"),
    "convert": tamsel_vonk.compile("."),
}


def key_sets(n):
    rng = random.Random(n)
    prefix = "p" * 256
    return {
        "random": ["".join(rng.choices(string.ascii_letters, k=16)) for _ in range(n)],
        "one key repeated": ["k"] * n,
        "long shared prefix": [f"{prefix}{i}" for i in range(n)],
        "one middle char": [f"{'m' * 40}{chr(0x100 + i % 4096)}{'m' * 40}{i // 4096:03d}"
                            for i in range(n)],
    }


def document(keys):
    # Written by hand: a dict cannot hold the repeated key.
    return "{" + ",".join(f"{json.dumps(k)}:{i}" for i, k in enumerate(keys)) + "}"


def best_time(program, text, repeats=5):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        program.first(text)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sizes = [10_000, 20_000, 40_000] if args.quick else [25_000, 50_000, 100_000, 200_000]

    times = {}
    for n in sizes:
        for name, keys in key_sets(n).items():
            text = document(keys)
            for job, program in JOBS.items():
                times[name, job, n] = best_time(program, text)

    first, last = sizes[0], sizes[-1]
    worst = 0.0
    print(f"{'keys':<20} {'job':<8} " + " ".join(f"{n:>9,}" for n in sizes)
          + "   (ns per key)   vs random: smallest -> largest")
    for name in key_sets(1):
        for job in JOBS:
            row = [times[name, job, n] / n * 1e9 for n in sizes]
            relative = (times[name, job, first] / times["random", job, first],
                        times[name, job, last] / times["random", job, last])
            growth = relative[1] / relative[0]
            if name != "random":
                worst = max(worst, growth)
            print(f"{name:<20} {job:<8} " + " ".join(f"{t:>9.0f}" for t in row)
                  + f"   x{relative[0]:.2f} -> x{relative[1]:.2f}")
    print(f"largest growth of a crafted set's cost relative to random keys: x{worst:.2f} "
          f"(over a {last // first}-fold size range; quadratic would be about x{last // first})")
    return 1 if worst > 3 else 0


if __name__ == "__main__":
    sys.exit(main())
