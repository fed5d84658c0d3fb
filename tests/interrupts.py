"""Interrupting a running call with a real signal, as Ctrl-C does."""

import os
import signal
import subprocess
import sys
import textwrap
import time


def seconds_until_interrupted(call, after=0.2):
    """Runs call(), raises KeyboardInterrupt into it `after` seconds in, and
    returns how long the call took to give up after that. A call that ends
    first fails the test."""
    old = signal.signal(signal.SIGALRM, signal.default_int_handler)
    start = time.monotonic()
    try:
        signal.setitimer(signal.ITIMER_REAL, after)
        try:
            call()
        except KeyboardInterrupt:
            return time.monotonic() - start - after
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    raise AssertionError("the call ended before it was interrupted")


_SCRIPT = """
import resource, sys
sys.path.insert(0, {tests!r})
from interrupts import seconds_until_interrupted
resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
{setup}
print(seconds_until_interrupted(lambda: {call}, after={after}))
"""


def seconds_until_interrupted_apart(setup, call, after, memory_limit=4 << 30):
    """seconds_until_interrupted in a fresh interpreter with bounded memory.

    A long search that is not interrupted must not take the machine's memory
    with it, and the garbage of other tests must not be collected inside it:
    a KeyboardInterrupt raised in a finalizer is reported and lost, as it
    would be in any Python code."""
    script = _SCRIPT.format(tests=os.path.dirname(__file__), limit=memory_limit, setup=textwrap.dedent(setup),
                            call=call, after=after)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    return float(run.stdout.split()[-1])
