#!/usr/bin/env python3
"""How each builtin and operator grows with its input: n, 2n, 4n and 8n.

    python3 bench/sweep.py            # every case, a few minutes
    python3 bench/sweep.py --quick    # tiny sizes: checks that every case runs
    python3 bench/sweep.py add sort   # only the cases whose name has a word

Each case is a query and a way to make its input at a size: n elements,
members, characters or levels. The time of one call (bytes in, every result
converted) is the best of a few, and `growth` is the time per element at 8n
over the time per element at n: 1.0 for linear work, about 1.2 for n log n
from these sizes, 8 for quadratic. A case is flagged when every doubling
grows the time per element by more than SUPER_LINEAR_STEP. A case that takes longer than STOP_AFTER seconds at one size is not
run at the next, and its growth is projected from the doublings it ran.
"""

import argparse
import json
import math
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import tamsel_vonk  # noqa: E402

import run  # noqa: E402

# A doubling of the input that more than doubles the time, at every step: a
# quadratic loop gives 2 per step, n log n about 1.07, and the memory
# hierarchy one large step where the data leaves a cache, not three.
SUPER_LINEAR_STEP = 1.4
STOP_AFTER = 3.0
STEPS = 4  # n, 2n, 4n, 8n


# Input makers: size -> Python value (dumped to JSON text once per size).
def numbers(n):
    return [(i * 7919) % n for i in range(n)]


def floats(n):
    return [((i * 7919) % n) / 7.0 for i in range(n)]


def words(n):
    return ["w%07d" % ((i * 7919) % n) for i in range(n)]


def objects(n):
    return [{"k%d" % i: i} for i in range(n)]


def records(n):
    return [{"id": i, "name": "n%d" % i} for i in range(n)]


def wide(n):
    return {"k%d" % i: i for i in range(n)}


def entries(n):
    return [{"key": "k%d" % (i % (n // 2 + 1)), "value": i} for i in range(n)]


def pairs(n):
    return [[i, i] for i in range(n)]


def text(n):
    return ("abcé, xyz " * (n // 10 + 1))[:n]


def escapes(n):
    return ('"\\\n' * (n // 3 + 1))[:n]


def nested(n):
    value = [1]
    for _ in range(n):
        value = [value, 1]
    return value


def halves(n):
    return {"a": numbers(n), "b": numbers(n // 2)}


def two_objects(n):
    return {"a": wide(n), "b": {"k%d" % (i + n // 2): i for i in range(n)}}


def two_texts(n):
    return {"a": text(n), "b": text(n)}


def mixed(n):
    return [{"k%d" % i: i} if i % 2 else None for i in range(n)]


def strings_then_numbers(n):
    return [("s%d" % i) if i % 2 else i for i in range(n)]


def json_text(n):
    return json.dumps(records(n // 20))


def square(n):
    """Two arrays whose product has about n pairs."""
    side = list(range(int(math.sqrt(n))))
    return {"a": side, "b": side}


def code_points(n):
    return [0x41 + i % 26 for i in range(n)]


# name, query, input maker, n at the first step.
ELEMENTS = 20_000
CHARS = 1_000_000
CASES = [
    ("identity (conversion)", ".", records, ELEMENTS),
    ("iterate", ".[] | empty", records, ELEMENTS),
    ("recursive descent", ".. | empty", records, ELEMENTS),
    ("recurse", "recurse | empty", records, ELEMENTS),
    ("slice of an array", ".[1:] | length", numbers, ELEMENTS),
    ("slice of a string", ".[1:] | length", text, CHARS),
    ("comma", ".[], .[] | empty", numbers, ELEMENTS),
    ("construction product", "{a: .a.[], b: .b.[]} | empty", square, 5 * ELEMENTS),
    ("construction per element", ".[] | {a: ., b: 1} | empty", numbers, ELEMENTS),
    ("select ==", ".[] | select(.id == 5) | empty", records, ELEMENTS),
    ("== of long strings", "select(.a == .b) | length", two_texts, CHARS),
    ("+ arrays", ".a + .b | length", halves, ELEMENTS),
    ("- arrays", ".a - .b | length", halves, ELEMENTS),
    ("+ objects", ".a + .b | length", two_objects, ELEMENTS),
    ("+ strings", ".a + .b | length", two_texts, CHARS),
    ("length of a string", "length", text, CHARS),
    ("keys", "keys | length", wide, ELEMENTS),
    ("keys_unsorted", "keys_unsorted | length", wide, ELEMENTS),
    ("values", "values | length", wide, ELEMENTS),
    ("reverse of an array", "reverse | length", numbers, ELEMENTS),
    ("reverse of a string", "reverse | length", text, CHARS),
    ("sort numbers", "sort | length", numbers, ELEMENTS),
    ("sort floats", "sort | length", floats, ELEMENTS),
    ("sort strings", "sort | length", words, ELEMENTS),
    ("sort objects", "sort | length", objects, ELEMENTS),
    ("sort mixed", "sort | length", strings_then_numbers, ELEMENTS),
    ("unique numbers", "unique | length", numbers, ELEMENTS),
    ("unique strings", "unique | length", words, ELEMENTS),
    ("min", "min", numbers, ELEMENTS),
    ("max", "max", words, ELEMENTS),
    ("first, last", "first, last", numbers, ELEMENTS),
    ("flatten", "flatten | length", pairs, ELEMENTS),
    ("flatten deep", "flatten | length", nested, 100),
    ("add numbers", "add", numbers, ELEMENTS),
    ("add strings", "add | length", words, ELEMENTS),
    ("add arrays", "add | length", pairs, ELEMENTS),
    ("add objects", "add | length", objects, ELEMENTS),
    ("add objects and nulls", "add | length", mixed, ELEMENTS),
    ("add strings and numbers", "add", strings_then_numbers, ELEMENTS),
    ("to_entries", "to_entries | length", wide, ELEMENTS),
    ("from_entries", "from_entries | length", entries, ELEMENTS),
    ("tostring", "tostring | length", records, ELEMENTS),
    ("tojson", "tojson | length", records, ELEMENTS),
    ("tojson of escapes", "tojson | length", escapes, CHARS),
    ("tojson deep", "tojson | length", nested, 100),
    ("fromjson", "fromjson | length", json_text, CHARS),
    ("tonumber", ".[] | tostring | tonumber | empty", numbers, ELEMENTS),
    ("ascii_downcase", "ascii_downcase | length", text, CHARS),
    ("ascii_upcase", "ascii_upcase | length", text, CHARS),
    ("explode", "explode | length", text, CHARS // 10),
    ("implode", "implode | length", code_points, ELEMENTS),
    ("numeric builtins",
     ".[] | floor, ceil, round, sqrt, fabs, isinfinite, isnan, isnormal | empty",
     floats, ELEMENTS),
    ("length, type, not", ".[] | length, type, not | empty", numbers, ELEMENTS),
    ("has", "has(\"k7\")", wide, ELEMENTS),
    ("startswith, endswith", "startswith(\"abc\"), endswith(\"xyz \")", text, CHARS),
    ("contains a string", "contains(\"zzz\")", text, CHARS),
    ("contains in an array", "contains(\"w0000001\")", words, ELEMENTS),
    ("inside", "inside(\"abcé, xyz \")", text, CHARS),
    ("split", "split(\",\") | length", text, CHARS),
    ("join", "join(\",\") | length", words, ELEMENTS),
    ("ltrimstr, rtrimstr", "ltrimstr(\"abc\"), rtrimstr(\"xyz \") | length", text, CHARS),
    ("flatten(1)", "flatten(1) | length", pairs, ELEMENTS),
    ("index of a string", "index(\"zzz\")", text, CHARS),
    ("rindex of a string", "rindex(\"abc\")", text, CHARS),
    ("indices of a string", "indices(\"a\") | length", text, CHARS),
    ("indices in an array", "indices(5) | length", numbers, ELEMENTS),
    ("limit", "limit(-1) | length", numbers, ELEMENTS),
    ("arithmetic per element", ".[] | . + 1, . - 1, . * 2, . / 3, . % 5 | empty", numbers,
     ELEMENTS),
]


def best_time(program, data, budget):
    """The best of a few calls, as many as fit in `budget` seconds (at least 2)."""
    best = math.inf
    spent = 0.0
    calls = 0
    while calls < 2 or (spent < budget and calls < 7):
        start = time.perf_counter()
        list(program.input_bytes(data))
        elapsed = time.perf_counter() - start
        best = min(best, elapsed)
        spent += elapsed
        calls += 1
    return best


def sweep(case, scale, budget):
    """Times per size, in order; stops early after a slow size."""
    name, query, make, base = case
    program = tamsel_vonk.compile(query)
    n = max(2, int(base * scale))
    times = []
    for _ in range(STEPS):
        data = json.dumps(make(n), ensure_ascii=False).encode()
        times.append((n, best_time(program, data, budget)))
        if times[-1][1] > STOP_AFTER:
            break
        n *= 2
    return times


def growth(times):
    """Time per element at the last size over that at the first, projected to
    8n when the sweep stopped early (each missing doubling at the rate of the
    last one)."""
    if len(times) == 1:
        return math.nan
    (n0, t0), (n1, t1) = times[0], times[-1]
    ratio = (t1 / n1) / (t0 / n0)
    if len(times) >= 2 and len(times) < STEPS:
        (na, ta), (nb, tb) = times[-2], times[-1]
        step = (tb / nb) / (ta / na)
        ratio *= step ** (STEPS - len(times))
    return ratio


def smallest_step(times):
    """The least growth of the time per element over one doubling."""
    return min((tb / nb) / (ta / na) for (na, ta), (nb, tb) in zip(times, times[1:]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="tiny sizes, one call each")
    ap.add_argument("words", nargs="*", help="run only cases whose name has one of these")
    args = ap.parse_args(argv)
    scale, budget = (0.01, 0.0) if args.quick else (1.0, 0.3)
    rows, flagged = [], []
    for case in CASES:
        if args.words and not any(word in case[0] for word in args.words):
            continue
        times = sweep(case, scale, budget)
        g = growth(times)
        # A case too slow to run even at 2n is flagged with no growth to show.
        super_linear = len(times) == 1 or smallest_step(times) > SUPER_LINEAR_STEP
        verdict = "SUPER-LINEAR" if super_linear else "ok"
        if super_linear:
            flagged.append(case[0])
        cells = [run.fmt_time(t) for _, t in times] + ["-"] * (STEPS - len(times))
        rows.append([case[0], "`%s`" % case[1].replace("|", "\\|"), "%d" % times[0][0]]
                    + cells + ["%.2f" % g, verdict])
        print("%-28s %s" % (case[0], " ".join(cells + ["%.2f" % g, verdict])), file=sys.stderr)
    print(run.table(["case", "query", "n", "n", "2n", "4n", "8n", "growth", ""], rows))
    if flagged:
        print("\nsuper-linear: " + ", ".join(flagged))
    return 1 if flagged and not args.quick else 0


if __name__ == "__main__":
    sys.exit(main())
