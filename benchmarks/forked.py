"""Runs a plain-Python peer in a forked child under a wall-clock limit, so a
peer that takes too long, recurses too deep or runs out of memory costs the
benchmark one row, not the run."""

import multiprocessing


def run_in_child(child, args, timeout, on_timeout):
    """Calls child(*args, conn) in a forked process and returns what it sends
    on `conn`; `on_timeout` when nothing comes within `timeout` seconds, and
    ("error", 0.0, ...) when the child dies without sending."""
    ctx = multiprocessing.get_context("fork")
    recv, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=child, args=(*args, send), daemon=True)
    proc.start()
    send.close()
    if recv.poll(timeout):
        try:
            result = recv.recv()
        except EOFError:
            result = ("error", 0.0, f"child died (exit code {proc.exitcode})")
    else:
        result = on_timeout
    proc.kill()
    proc.join()
    recv.close()
    return result
