#!/usr/bin/env python3
"""Builtins over parts of a document, against the path step to the same part.

    python3 bench/in_place.py            # every builtin workload, about a minute
    python3 bench/in_place.py --quick    # one round each: a smoke run

For each builtin workload of workloads.py: the median time per call of our
query, of the path step to the part it reads (the workload's `path`), and of
orjson.loads plus the same Python. Printed: the times, orjson / ours (above 1:
we are faster) and ours / path (what the builtin adds to reaching its part;
a builtin that only reads its part should stay close to 1). Results are
checked against orjson's before anything is timed.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import peers  # noqa: E402
import run  # noqa: E402
import workloads as wl  # noqa: E402

# A builtin that only reads its part costs at most this much over the path step.
READ_VS_PATH = 1.3


def measure(w, text, opts):
    """Medians of ours, the path step and orjson over `text`, each call given
    a fresh str; None when orjson's results differ from ours."""
    args = run.Arguments(text, peers.FRESH)
    ours = peers.make_call("ours", w)
    path = peers.make_call("ours", wl.Workload(w.group, w.name, w.doc, w.path, w.python))
    calls = {"ours": ours, "path": path}
    orjson = peers.make_call("orjson", w)
    if orjson is not None:
        if not peers.same(ours(args.one()), orjson(args.one())):
            return None
        calls["orjson"] = orjson
    medians, _ = run.time_peers(calls, args, opts)
    return medians


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="one round each: a smoke run")
    ap.add_argument("--data", default=run.DEFAULT_DATA, help="folder of the real-world documents")
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    args = ap.parse_args(argv)
    opts = argparse.Namespace(clock=args.clock)
    if args.quick:
        opts.min_batch, opts.min_rounds, opts.max_rounds, opts.budget = 0.0, 1, 1, 0.0
    else:
        opts.min_batch, opts.min_rounds, opts.max_rounds, opts.budget = 0.05, 3, 9, 0.6
    real = run.load_real(args.data)
    rows = []
    for w in wl.real_workloads(real) + wl.builtin_workloads(real):
        if w.group != wl.BUILTIN or w.path is None:
            continue
        m = measure(w, real[w.doc], opts)
        if m is None:
            rows.append((w.name, w.doc, "differs", "", "", "", ""))
            continue
        vs_orjson = "%.2fx" % (m["orjson"] / m["ours"]) if "orjson" in m else "-"
        rows.append((w.name, w.doc, run.fmt_time(m["ours"]), run.fmt_time(m["path"]),
                     run.fmt_time(m["orjson"]) if "orjson" in m else "-", vs_orjson,
                     "%.2fx" % (m["ours"] / m["path"])))
    print(run.table(["builtin", "document", "ours", "path", "orjson", "orjson/ours", "ours/path"],
                    rows))


if __name__ == "__main__":
    main()
