"""Interrupting a running call with a real signal, as Ctrl-C does."""

import signal
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
