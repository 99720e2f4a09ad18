"""Counts the threads of this process that streams run on, by the names
the module gives them. A parse another test gave up on may still be ending
on a thread of its own, and the interpreter's threads come and go; neither
is counted."""
import os
import time

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


def threads_left_after(expected, seconds=5):
    """running_threads(), once it is down to `expected` or `seconds` have
    passed: a joined thread is still listed for a moment while the kernel
    finishes its exit, a long moment under emulation."""
    deadline = time.monotonic() + seconds
    while running_threads() > expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return running_threads()
