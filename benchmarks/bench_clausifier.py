"""Clausal normal form: native to_cnf against the plain-Python pipeline of
peers/clausifier_peer.py.

    python benchmarks/bench_clausifier.py [--timeout 10] [--repeat 3] [--filter REGEX]

Rows: the ILTP propositional problems read as classical formulas (the
implication from the conjunction of the axioms to the conjecture), then
generated families: right-nested equivalence chains, disjunctions of
conjunctions, and first-order formulas with nested quantifiers. Each input is
clausified by both with the Skolem counters reset; the clause texts must
agree (compared by digest) before the times count. The peer runs each ILTP
problem in a forked child with a wall-clock limit, and problems it does not
finish are left out of the row. A row's ratio is peer time / native time,
summed over its inputs; native times are the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from iltp import parse_problem, problem_files  # noqa: E402
from forked import run_in_child  # noqa: E402


def classical(prob):
    from quorvel.core.ast import And, Implies
    if not prob.premises:
        return prob.target
    hypotheses = prob.premises[0]
    for premise in prob.premises[1:]:
        hypotheses = And(hypotheses, premise)
    return Implies(hypotheses, prob.target)


def digest(clauses) -> str:
    h = hashlib.sha256()
    for c in clauses:
        h.update(c.to_string().encode())
        h.update(b"\n")
    return f"{len(clauses)}:{h.hexdigest()[:16]}"


def time_peer(formula):
    from peers import clausifier_peer as peer
    peer.reset_skolem_counters()
    t0 = time.perf_counter()
    clauses = peer.to_cnf(formula)
    seconds = time.perf_counter() - t0
    return seconds, digest(clauses)


def time_native(formula, repeat):
    from quorvel.prover import clausifier
    best, result = float("inf"), None
    for _ in range(repeat):
        clausifier.reset_skolem_counters()
        result = None  # the previous list is freed outside the timed call
        t0 = time.perf_counter()
        result = clausifier.to_cnf(formula)
        best = min(best, time.perf_counter() - t0)
    return best, digest(result)


def _peer_child(path: str, conn):
    sys.setrecursionlimit(1_000_000)
    try:
        prob = parse_problem(Path(path).read_text(), Path(path).stem)
        conn.send(("ok",) + time_peer(classical(prob)))
    except BaseException as exc:  # RecursionError, MemoryError: the peer did not finish
        conn.send(("error", 0.0, f"{type(exc).__name__}: {exc}"[:200]))
    finally:
        conn.close()


def run_peer(path: Path, timeout: float):
    return run_in_child(_peer_child, (str(path),), timeout, ("timeout", timeout, ""))


# ------------------------------------------------------------------ families

def iff_chain(n):
    from quorvel.core.ast import Iff, PredicateApp
    f = PredicateApp(f"p{n - 1}", 0, ())
    for i in reversed(range(n - 1)):
        f = Iff(PredicateApp(f"p{i}", 0, ()), f)
    return f


def disjunction_of_conjunctions(n):
    from quorvel.core.ast import And, Or, PredicateApp
    f = None
    for i in range(n):
        part = And(PredicateApp(f"a{i}", 0, ()), PredicateApp(f"b{i}", 0, ()))
        f = part if f is None else Or(f, part)
    return f


def nested_quantifiers(depth, copies):
    """A conjunction of `copies` formulas ∀x1 ∃y1 ... ∀xk ∃yk ((P(x1, y1) → Q(yk)) ∨ ... ∧ R(f(xi), yi))."""
    from quorvel.core.ast import (And, Exists, Forall, FunctionApp, Implies, Not, Or, PredicateApp, Variable)
    result = None
    for c in range(copies):
        xs = [Variable(id=2 * i) for i in range(depth)]
        ys = [Variable(id=2 * i + 1) for i in range(depth)]
        body = None
        for i in range(depth):
            fx = FunctionApp(func="f", arity=1, args=(xs[i],))
            part = Or(Implies(PredicateApp("P", 2, (xs[i], ys[i])), PredicateApp("Q", 1, (ys[-1 - i],))),
                      Not(PredicateApp(f"R{c}", 2, (fx, ys[i]))))
            body = part if body is None else And(body, part)
        for i in reversed(range(depth)):
            body = Forall(xs[i], Exists(ys[i], body))
        result = body if result is None else And(result, body)
    return result


FAMILIES = [
    ("iff chain, 5 atoms", lambda: [iff_chain(5)]),
    ("iff chain, 6 atoms", lambda: [iff_chain(6)]),
    ("disjunction of 8 conjunctions", lambda: [disjunction_of_conjunctions(8)]),
    ("disjunction of 11 conjunctions", lambda: [disjunction_of_conjunctions(11)]),
    ("nested quantifiers, depth 8 x 20", lambda: [nested_quantifiers(8, 20)]),
    ("nested quantifiers, depth 12 x 10", lambda: [nested_quantifiers(12, 10)]),
]


def row(name, peer_seconds, native_seconds, count, note=""):
    ratio = peer_seconds / native_seconds if native_seconds > 0 else float("inf")
    print(f"| {name:<36} | {count:>6} | {peer_seconds:10.4f} | {native_seconds:10.5f} | {ratio:8.1f}x |{note}",
          flush=True)
    return ratio


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--timeout", type=float, default=10.0, help="seconds the peer gets per ILTP problem")
    ap.add_argument("--repeat", type=int, default=3, help="native runs per input (best counts)")
    ap.add_argument("--filter", metavar="REGEX", help="only ILTP problems whose name matches")
    ap.add_argument("--no-iltp", action="store_true", help="generated families only")
    opts = ap.parse_args(argv)
    sys.setrecursionlimit(1_000_000)
    import quorvel.prover.clausifier  # noqa: F401  (loaded once, before forking)

    print(f"| {'row':<36} | {'inputs':>6} | {'peer s':>10} | {'native s':>10} | {'ratio':>9} |")
    print(f"|{'-' * 38}|{'-' * 8}|{'-' * 12}|{'-' * 12}|{'-' * 11}|")
    failed = False
    peer_total = native_total = 0.0
    compared = skipped = 0
    mismatches = []
    for path in [] if opts.no_iltp else problem_files(pattern=opts.filter):
        kind, peer_seconds, peer_digest = run_peer(path, opts.timeout)
        if kind != "ok":
            skipped += 1
            continue
        formula = classical(parse_problem(path.read_text(), path.stem))
        native_seconds, native_digest = time_native(formula, max(1, opts.repeat))
        if native_digest != peer_digest:
            mismatches.append(path.stem)
            continue
        compared += 1
        peer_total += peer_seconds
        native_total += native_seconds
    if compared:
        ratio = row("ILTP problems as classical formulas", peer_total, native_total, compared,
                    f" peer unfinished: {skipped}")
        failed |= ratio < 30
    if mismatches:
        print(f"!!! different clauses: {', '.join(mismatches)}")
        failed = True

    for name, make in FAMILIES:
        inputs = make()
        peer_seconds = native_seconds = 0.0
        for formula in inputs:
            ps, pd = time_peer(formula)
            ns, nd = time_native(formula, max(1, opts.repeat))
            if pd != nd:
                print(f"!!! {name}: different clauses")
                failed = True
            peer_seconds += ps
            native_seconds += ns
        failed |= row(name, peer_seconds, native_seconds, len(inputs)) < 30
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
