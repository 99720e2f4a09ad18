"""A call in a child process, with Ctrl-C's signal coming 50 ms into it.

A timer's signal stands in for Ctrl-C: its handler raises KeyboardInterrupt,
as Ctrl-C's does, and the call must end soon after. A loop that never polls
would hold the call to its end.
"""
import subprocess
import sys
import textwrap

# An interrupted call ends within this many seconds of its start.
SOON = 0.5

CHILD = """
import signal, sys, time
import tamsel_vonk
{setup}
def handler(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
start = time.perf_counter()
if sys.argv[1] == "interrupted":
    signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    {call}
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
except BaseException as error:
    outcome = f"failed: {{error!r}}"
print(time.perf_counter() - start, outcome, flush=True)
{after}
"""


def run(setup, call, after="", args=(), stdin=None, interrupted=True):
    """Runs `call` after `setup`, then `after`; gives the outcome ("finished",
    "interrupted" or "failed: " and the error), the call's seconds, and the
    lines that `after` printed."""
    code = CHILD.format(setup=textwrap.dedent(setup), call=call, after=textwrap.dedent(after))
    mode = "interrupted" if interrupted else "whole"
    done = subprocess.run([sys.executable, "-c", code, mode, *args], input=stdin,
                          capture_output=True, text=True, timeout=300)
    lines = done.stdout.splitlines()
    assert lines, done.stderr
    seconds, outcome = lines[0].split(maxsplit=1)
    return outcome, float(seconds), lines[1:]


def lateness(setup, call, seconds, args=(), stdin=None, reading_args=None):
    """None when an interrupted call that took `seconds` ended soon enough;
    else how late it was.

    On a slow machine (an emulator runs the module ten to twenty times
    slower) reading a large document takes longer than SOON by itself, and no
    poll comes inside the parser. There, a call that ends after SOON must
    still have cut at least half of the work that follows the reading: the
    reading is timed as the same call with `reading_args`, whose query reads
    as much of the document and loops nowhere (none: the reading is free)."""
    if seconds <= SOON:
        return None
    _, whole, _ = run(setup, call, args=args, stdin=stdin, interrupted=False)
    reading = 0.0
    if reading_args is not None:
        _, reading, _ = run(setup, call, args=reading_args, stdin=stdin, interrupted=False)
    if seconds < reading + (whole - reading) / 2:
        return None
    return f"{seconds:.2f} s interrupted, {whole:.2f} s whole, {reading:.2f} s reading"
