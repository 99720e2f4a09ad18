"""Counts the threads of this process that streams run on, by the names
the module gives them. A parse another test gave up on may still be ending
on a thread of its own, and the interpreter's threads come and go; neither
is counted."""
import os

STREAM_THREADS = ("tv-worker", "tv-read-ahead", "tv-decode")


def running_threads():
    count = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                count += comm.read().strip() in STREAM_THREADS
        except FileNotFoundError:  # it ended as we looked
            pass
    return count
