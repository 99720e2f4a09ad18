#!/usr/bin/env python3
"""One JSON Lines file in one process, against the same file over a Dask
cluster of two worker processes.

    python3 bench/dask_scale.py            # full run: writes a 200 MB file, under a minute
    python3 bench/dask_scale.py --quick    # smoke run on a tiny file, seconds

The file is GitHub events (those of github_events.json over and over, one
compact line each, as bench/streams.py writes them), written at run time to
a temporary folder and removed after, and the query is streams.py's
`select(.type == "PushEvent") | .actor.login`.

- one process: `program.stream(path, lines=True)` over the whole file;
- the cluster: a LocalCluster of 2 worker processes of one thread each,
  started before the clock starts; `tamsel_vonk_pool.block_ranges` cuts
  the file into one range a worker, each task maps its block of whole lines
  (`tamsel_vonk_pool.map_block`, no copy) and streams it, and the results
  come back to this process in order. (`dask.bytes.read_bytes` blocks, which
  the recipe also shows, are read into bytes objects and handed from task
  to task: several times slower here.)

Both must give the same results before they are timed. The figure is the
ratio one-process time / cluster time, the best of several rounds in which
the two take turns; the scheduler is left idle between rounds, so no round
finds blocks that an earlier one read.
"""

import argparse
import os
import pathlib
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import streams  # noqa: E402  (its event lines, file writer and verdict line)

import tamsel_vonk  # noqa: E402

WORKERS = 2
CLUSTER_VS_ONE_PROCESS = 1.3  # target: one process time / cluster time


def stream_block(path, start, stop, query):
    """The results of one block of lines; runs in a worker, which maps it.

    They travel back inside a tuple: here a task's bare list of 26,000
    strings came back in over a second, the same list in a tuple in a few
    milliseconds."""
    import tamsel_vonk_pool
    with tamsel_vonk_pool.map_block(path, start, stop) as block:
        return (list(tamsel_vonk.compile(query).stream(block, lines=True)),)


def one_process(path):
    # A path, not a str: a str source is JSON text itself.
    return list(tamsel_vonk.compile(streams.QUERY).stream(path, lines=True))


def on_cluster(client, path, block_size):
    import tamsel_vonk_pool

    ranges = tamsel_vonk_pool.block_ranges(path, block_size)
    futures = [client.submit(stream_block, str(path), start, stop, streams.QUERY, pure=False)
               for start, stop in ranges]
    parts = client.gather(futures)
    return [result for (part,) in parts for result in part], len(ranges)


def settle(client):
    """Waits until the scheduler has let go of every task of the last round,
    so that the next round reads the blocks again rather than finding them
    in a worker's memory."""
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.tasks)):
        if time.monotonic() > deadline:
            raise SystemExit("the scheduler still holds tasks of a finished round")
        time.sleep(0.01)


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a tiny file, a few seconds")
    parser.add_argument("--data", default=streams.DEFAULT_DATA,
                        help="folder of the real documents")
    parser.add_argument("--block-mib", type=float, default=0,
                        help="block size of the full run, in MiB (default: one block a worker)")
    opts = parser.parse_args(argv)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise SystemExit("dask and distributed are not installed (tools/venv installs them)")
    if not os.path.isfile(os.path.join(opts.data, "github_events.json")):
        raise SystemExit(f"no github_events.json in {opts.data}")
    size = 2 * streams.MB if opts.quick else 200 * streams.MB
    block_size = 256 << 10 if opts.quick else int(opts.block_mib * streams.MB)
    lines = 200 if opts.quick else 20_000
    rounds = 1 if opts.quick else 5

    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder, "events.jsonl")
        size = streams.write_file(path, streams.event_lines(opts.data, lines), size)
        if block_size == 0:
            block_size = -(-size // WORKERS)
        with LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            expected = one_process(path)
            found, blocks = on_cluster(client, path, block_size)  # also warms the workers up
            if found != expected:
                raise SystemExit("the cluster gives other results than one process")
            settle(client)
            best = {"one process": float("inf"), "cluster": float("inf")}
            for _ in range(rounds):  # the two take turns
                best["one process"] = min(best["one process"], timed(lambda: one_process(path)))
                best["cluster"] = min(best["cluster"],
                                      timed(lambda: on_cluster(client, path, block_size)))
                settle(client)

    print(f"{size / streams.MB:.0f} MiB of JSON Lines, {len(expected)} results, {streams.QUERY}")
    print(f"cluster: {WORKERS} worker processes, {blocks} blocks of about "
          f"{size / blocks / streams.MB:.1f} MiB")
    for name, seconds in best.items():
        print(f"  {name:12} {seconds:7.3f} s {size / seconds / streams.MB:8.0f} MiB/s")
    print("Verdicts:")
    text, _ = streams.verdict_line("cluster vs one process", best["one process"] / best["cluster"],
                                   CLUSTER_VS_ONE_PROCESS)
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
