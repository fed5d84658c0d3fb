"""LJT prover: native search against the plain-Python search of peers/ljt_peer.py.

    python benchmarks/bench_ljt.py [--timeout 10] [--filter REGEX] [--repeat 3]

Every ILTP propositional problem first runs on the plain peer in a forked
child with a wall-clock limit; the problems it finishes within the limit are
then timed on the native prover (best of --repeat runs) in this process.
Both must give the same answer and, where the tree is small enough to
render cheaply, the same ASCII tree. Prints one line per compared problem and
the ratio of the summed times (peer / native) with the per-problem median.

Then the family of disjunctions of n implications (A1 -> B1) | ... |
(An -> Bn), which have no derivation: the plain search fails on them in 3n
steps, so the native prover must answer in about as few (--family-sizes).
"""

from __future__ import annotations

import argparse
import hashlib
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from iltp import load_status, parse_problem, problem_files  # noqa: E402
from forked import run_in_child  # noqa: E402

# Trees up to this size are compared line by line.
COMPARE_SIZE = 200_000


def summary(tree):
    if tree is None:
        return None, 0, ""
    digest = hashlib.sha256(tree.to_ascii().encode()).hexdigest() if tree.size <= COMPARE_SIZE else ""
    return tree.is_valid(), tree.size, digest


def disjunction_of_implications(n: int):
    """(A0 -> B0) | ... | (An-1 -> Bn-1), as a (target, premises) question."""
    from quorvel.core.ast import Implies, Or, PredicateApp
    goal = None
    for i in range(n):
        imp = Implies(PredicateApp(f"a{i}", 0, ()), PredicateApp(f"b{i}", 0, ()))
        goal = imp if goal is None else Or(goal, imp)
    return goal, []


def _peer_child(question, conn):
    sys.setrecursionlimit(1_000_000)
    from peers.ljt_peer import prove_ljt
    try:
        if isinstance(question, int):
            target, premises = disjunction_of_implications(question)
        else:
            prob = parse_problem(Path(question).read_text(), Path(question).stem)
            target, premises = prob.target, prob.premises
        t0 = time.perf_counter()
        tree = prove_ljt(target, premises)
        seconds = time.perf_counter() - t0
        conn.send(("ok", seconds, summary(tree)))
    except BaseException as exc:  # RecursionError, MemoryError: the peer did not finish
        conn.send(("error", 0.0, f"{type(exc).__name__}: {exc}"[:200]))
    finally:
        conn.close()


def run_peer(question, timeout: float):
    """`question`: a problem's path, or the size of a disjunction of implications."""
    return run_in_child(_peer_child, (question if isinstance(question, int) else str(question),), timeout,
                        ("timeout", timeout, ""))


def time_native(target, premises, repeat: int):
    from quorvel.constructive.ljt import prove_ljt
    best, result = float("inf"), None
    for _ in range(repeat):
        # The previous tree is freed outside the timed call, as the peer's
        # child never frees its tree.
        tree = None
        t0 = time.perf_counter()
        tree = prove_ljt(target, premises)
        best = min(best, time.perf_counter() - t0)
        result = summary(tree)
    return best, result


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--timeout", type=float, default=10.0, help="seconds the peer gets per problem")
    ap.add_argument("--filter", metavar="REGEX", help="only problems whose name matches")
    ap.add_argument("--repeat", type=int, default=3, help="native runs per problem (best counts)")
    ap.add_argument("--family-sizes", default="500,1000,2000",
                    help="sizes n of the disjunctions of n implications (empty: none)")
    opts = ap.parse_args(argv)

    import quorvel.constructive.ljt  # noqa: F401  (loaded once, before forking)

    status = load_status()
    rows, mismatches, skipped = [], [], 0
    for path in problem_files(pattern=opts.filter):
        kind, peer_seconds, peer_result = run_peer(path, opts.timeout)
        if kind != "ok":
            skipped += 1
            continue
        prob = parse_problem(path.read_text(), path.stem)
        native_seconds, native_result = time_native(prob.target, prob.premises, max(1, opts.repeat))
        same = native_result[:2] == peer_result[:2] and (
            not native_result[2] or not peer_result[2] or native_result[2] == peer_result[2])
        if not same:
            mismatches.append(path.stem)
        rows.append((path.stem, status.get(path.stem, "?"), peer_seconds, native_seconds))
        ratio = peer_seconds / native_seconds if native_seconds > 0 else float("inf")
        answer = "proved" if native_result[0] else "refuted"
        print(f"{path.stem:<16} {answer:<8} peer {peer_seconds:9.4f} s  native {native_seconds:9.6f} s  "
              f"x{ratio:9.1f}{'' if same else '  <-- DIFFERENT RESULT'}", flush=True)

    if not rows:
        print("no problem finished on the peer")
        return 1
    peer_total = sum(r[2] for r in rows)
    native_total = sum(r[3] for r in rows)
    ratios = [r[2] / r[3] for r in rows if r[3] > 0]
    print()
    print(f"compared {len(rows)} problems (the peer did not finish {skipped} within {opts.timeout:g} s)")
    print(f"peer total   {peer_total:10.3f} s")
    print(f"native total {native_total:10.4f} s")
    print(f"ratio of totals (peer / native): {peer_total / native_total:.1f}x; "
          f"median per problem: {statistics.median(ratios):.1f}x")
    family_ok = run_family([int(n) for n in opts.family_sizes.split(",") if n], opts)
    if mismatches:
        print(f"!!! {len(mismatches)} problems with different results: {', '.join(mismatches)}")
        return 1
    return 0 if family_ok else 1


def run_family(sizes, opts) -> bool:
    if not sizes:
        return True
    print()
    print("disjunctions of n implications (no derivation)")
    ok = True
    for n in sizes:
        kind, peer_seconds, peer_result = run_peer(n, opts.timeout)
        target, premises = disjunction_of_implications(n)
        native_seconds, native_result = time_native(target, premises, max(1, opts.repeat))
        if kind != "ok":
            print(f"n={n:<6} peer {kind}  native {native_seconds:9.6f} s")
            continue
        same = native_result == peer_result
        ok = ok and same
        ratio = peer_seconds / native_seconds if native_seconds > 0 else float("inf")
        print(f"n={n:<6} peer {peer_seconds:9.4f} s  native {native_seconds:9.6f} s  x{ratio:9.1f}"
              f"{'' if same else '  <-- DIFFERENT RESULT'}", flush=True)
    return ok


if __name__ == "__main__":
    sys.exit(main())
