"""Inference rules: native resolution, factoring and paramodulation against
the plain-Python rules of peers/rules_peer.py.

    python benchmarks/bench_rules.py [--repeat 3]

Each row applies one rule to generated clause sets (every ordered pair for
the two-clause rules): clauses with many literals, deep terms and repeated
subterms. Both sides must return equal lists before anything is timed. The
ratio is peer time / native time (native best of --repeat runs).

"build s" is the time of building the row's results alone, each as the peer
builds it, with its unifier already known: Clause(frozenset(literals))
.substitute(mgu), or clause.substitute(mgu) for a factor (best of --repeat
runs). "bound" is peer time / build time: the most any implementation that
returns those clauses could reach.
"""

from __future__ import annotations

import argparse
import random
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from quorvel.core.ast import Constant, Equality, FunctionApp, PredicateApp, Variable  # noqa: E402
from quorvel.prover import rules  # noqa: E402
from quorvel.prover.clausifier import Clause, Literal  # noqa: E402

from peers import rules_peer as peer  # noqa: E402

CONSTANTS = [Constant(n) for n in "abc"]


def fn(name, *args):
    return FunctionApp(func=name, arity=len(args), args=args)


def random_term(rng, depth, variables):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(variables + CONSTANTS)
    if rng.random() < 0.5:
        return fn("f", random_term(rng, depth - 1, variables))
    return fn("g", random_term(rng, depth - 1, variables), random_term(rng, depth - 1, variables))


def random_clause(rng, literals, depth, first_var, equations=0.0):
    variables = [Variable(id=first_var + i) for i in range(3)]
    lits = set()
    while len(lits) < literals:
        left, right = random_term(rng, depth, variables), random_term(rng, depth, variables)
        if rng.random() < equations:
            lits.add(Literal(Equality(left, right), True))
            continue
        atom = PredicateApp(rng.choice("pqr"), 2, (left, right))
        lits.add(Literal(atom, rng.random() < 0.5))
    return Clause(frozenset(lits))


def tower(name, depth, leaf):
    t = leaf
    for _ in range(depth):
        t = fn(name, t)
    return t


def resolution_set(n, literals, depth, seed=1, equations=0.0):
    rng = random.Random(seed)
    clauses = [random_clause(rng, literals, depth, 3 * i, equations) for i in range(n)]
    return [(c1, c2) for c1 in clauses for c2 in clauses]


def factoring_set(n, literals, depth, seed=2):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        variables = [Variable(id=j) for j in range(4)]
        lits = {Literal(PredicateApp("p", 2, (random_term(rng, depth, variables), random_term(rng, depth, variables))))
                for _ in range(literals)}
        out.append((Clause(frozenset(lits)),))
    return out


def paramodulation_set(n, depth, width, seed=3):
    rng = random.Random(seed)
    pairs = []
    for i in range(n):
        deep = tower("f", depth, rng.choice(CONSTANTS))
        equation = Clause(frozenset({Literal(Equality(deep, rng.choice(CONSTANTS))),
                                     Literal(PredicateApp("q", 1, (Variable(id=0),)))}))
        args = tuple(fn("g", deep, tower("f", rng.randrange(depth + 1), Variable(id=1))) for _ in range(width))
        target = Clause(frozenset({Literal(PredicateApp("p", width, args)), Literal(PredicateApp("r", 1, (deep,)), False)}))
        pairs.append((equation, target))
    return pairs


ROWS = [
    ("resolution, 30 clauses x 6 literals", "resolve_clauses", lambda: resolution_set(30, 6, 2)),
    ("resolution, 12 clauses x 12 literals, deep", "resolve_clauses", lambda: resolution_set(12, 12, 4)),
    ("factoring, 200 clauses x 8 literals", "factor_clause", lambda: factoring_set(200, 8, 2)),
    ("paramodulation, deep repeated subterms", "paramodulate", lambda: paramodulation_set(40, 12, 6)),
    ("paramodulation, random clauses with equations", "paramodulate", lambda: resolution_set(10, 4, 2, equations=0.3)),
]


def run(fn, inputs):
    return [fn(*args) for args in inputs]


def build_steps(function, inputs):
    """How the peer builds each clause it returns: (literals, mgu) for
    Clause(frozenset(literals)).substitute(mgu), or for factors (clause, mgu)
    for clause.substitute(mgu). Read from one run of the peer in which Clause
    stands for a recorder."""
    if function == "factor_clause":
        return [(c, mgu) for (c,) in inputs for _, mgu in peer.factor_clause(c)]
    made = {}

    class Recorded:
        def __init__(self, literals):
            self.literals = set(literals)

        def substitute(self, mgu):
            result = Clause(frozenset(self.literals)).substitute(mgu)
            made[id(result)] = (result, self.literals, mgu)  # holds the result: ids stay unique
            return result

    peer.Clause = Recorded
    try:
        results = run(getattr(peer, function), inputs)
    finally:
        peer.Clause = Clause
    return [made[id(r[0])][1:] for rs in results for r in rs]


def build(function, steps):
    if function == "factor_clause":
        return [c.substitute(mgu) for c, mgu in steps]
    return [Clause(frozenset(literals)).substitute(mgu) for literals, mgu in steps]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args(argv)
    print(f"| {'row':<46} | {'calls':>6} | {'results':>7} | {'peer s':>9} | {'native s':>9} | {'ratio':>8} |"
          f" {'build s':>9} | {'bound':>8} |")
    print(f"|{'-' * 48}|{'-' * 8}|{'-' * 9}|{'-' * 11}|{'-' * 11}|{'-' * 10}|{'-' * 11}|{'-' * 10}|")
    failed = False
    for name, function, make in ROWS:
        inputs = make()
        native, plain = getattr(rules, function), getattr(peer, function)
        expected = run(plain, inputs)
        got = run(native, inputs)
        if got != expected:
            print(f"!!! {name}: different results")
            failed = True
            continue
        steps = build_steps(function, inputs)
        if build(function, steps) != [r[0] for rs in expected for r in rs]:
            print(f"!!! {name}: the results built alone differ")
            failed = True
            continue
        t0 = time.perf_counter()
        run(plain, inputs)
        peer_seconds = time.perf_counter() - t0
        native_seconds = float("inf")
        for _ in range(max(1, opts.repeat)):
            t0 = time.perf_counter()
            run(native, inputs)
            native_seconds = min(native_seconds, time.perf_counter() - t0)
        build_seconds = float("inf")
        for _ in range(max(1, opts.repeat)):
            t0 = time.perf_counter()
            build(function, steps)
            build_seconds = min(build_seconds, time.perf_counter() - t0)
        ratio = peer_seconds / native_seconds
        count = sum(len(r) for r in got)
        print(f"| {name:<46} | {len(inputs):>6} | {count:>7} | {peer_seconds:9.4f} | {native_seconds:9.5f} | {ratio:7.1f}x |"
              f" {build_seconds:9.5f} | {peer_seconds / build_seconds:7.1f}x |", flush=True)
        failed |= ratio < 30
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
