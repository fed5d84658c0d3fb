"""Kripke models: native module against the plain-Python peer.

Build: a chain of 50 worlds with 20 atoms, edge by edge (every add_relation
recomputes the closure and monotonicity fixpoints), atoms added as it grows.
Evaluate: 40 formulas nested 12 deep, at every world of the chain.

The build peer runs the fixpoints pass by pass over Python sets; the
evaluation peer is plain recursive forcing with the same per-call memo as
the native module (without a memo the peer cannot finish: each Not or
Implies level multiplies the work by up to 50 worlds).

Run: python benchmarks/bench_kripke.py
"""

import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from peers.kripke_peer import KripkeModel as PeerModel  # noqa: E402
from peers.kripke_peer import MemoKripkeModel  # noqa: E402

from quorvel.constructive.kripke import KripkeModel, World  # noqa: E402
from quorvel.core.ast import And, Iff, Implies, Not, Or, PredicateApp  # noqa: E402

WORLDS = [World(i, f"w{i}") for i in range(50)]
ATOMS = [PredicateApp(f"a{i}", 0, ()) for i in range(20)]


def build(cls):
    m = cls()
    for i, (u, v) in enumerate(zip(WORLDS, WORLDS[1:])):
        m.add_valuation(u, ATOMS[(7 * i) % 20])
        m.add_relation(u, v)
    m.add_valuation(WORLDS[-1], ATOMS[0])
    return m


def formula(rng, depth):
    if depth == 0:
        return rng.choice(ATOMS)
    sub = formula(rng, depth - 1)
    side = rng.choice(ATOMS)
    kind = rng.randrange(6)
    if kind == 0:
        return Not(sub)
    cls = (And, Or, Implies, Implies, Iff)[kind - 1]
    return cls(sub, side) if rng.random() < 0.5 else cls(side, sub)


def evaluate_all(model, formulas):
    return [model.evaluate(f, w) for f in formulas for w in WORLDS]


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    rng = random.Random(12)
    formulas = [formula(rng, 12) for _ in range(40)]

    native_build, native = best(lambda: build(KripkeModel), 20)
    peer_build, peer = best(lambda: build(PeerModel), 3)
    assert {w: set(s) for w, s in native.relations.items()} == peer.relations
    assert {w: set(s) for w, s in native.valuations.items()} == peer.valuations

    memo_peer = build(MemoKripkeModel)
    native_eval, expected = best(lambda: evaluate_all(native, formulas), 20)
    peer_eval, answers = best(lambda: evaluate_all(memo_peer, formulas), 3)
    assert answers == expected

    print(f"build    native {native_build * 1e3:8.2f} ms   peer {peer_build * 1e3:8.2f} ms   "
          f"ratio {peer_build / native_build:6.1f}x")
    print(f"evaluate native {native_eval * 1e3:8.2f} ms   peer {peer_eval * 1e3:8.2f} ms   "
          f"ratio {peer_eval / native_eval:6.1f}x")


if __name__ == "__main__":
    main()
