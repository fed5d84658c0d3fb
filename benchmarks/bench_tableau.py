"""quorvel.constructive.tableau against its plain-Python peer (benchmarks/peers/tableau_peer.py).

    python benchmarks/bench_tableau.py [--repeat 3] [--scale 1]

Each family is proved by both; their trees (node dictionaries) and
countermodels must agree before anything is timed. Times are the best of
--repeat runs of prove_tableau, result building included; the ratio is
peer / quorvel (higher is better).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))
sys.setrecursionlimit(200000)

from peers import tableau_peer as peer  # noqa: E402

from quorvel.constructive import tableau  # noqa: E402
from quorvel.core.ast import And, Iff, Implies, Not, Or, PredicateApp  # noqa: E402
from quorvel.core.parser import to_string  # noqa: E402


def atoms(n, stem="p"):
    return [PredicateApp(f"{stem}{i}", 0, ()) for i in range(n)]


def fold(op, items):
    items = list(items)
    out = items[0]
    for x in items[1:]:
        out = op(out, x)
    return out


def chain(n):
    a = atoms(n + 1)
    return a[n], [a[0]] + [Implies(a[i], a[i + 1]) for i in range(n)]


def pigeonhole(holes):
    at = {(i, j): PredicateApp(f"p{i}_{j}", 0, ()) for i in range(holes + 1) for j in range(holes)}
    placed = fold(And, (fold(Or, (at[i, j] for j in range(holes))) for i in range(holes + 1)))
    apart = fold(And, (Not(And(at[i, j], at[k, j])) for j in range(holes)
                       for i in range(holes + 1) for k in range(i + 1, holes + 1)))
    return Not(And(placed, apart)), []


def equivalence_ring(n):
    """(a0 <=> a1) & ... & (a(n-1) <=> a0) => (a0 <=> a(n-1)): valid, many T_Iff and T_Imp steps."""
    a = atoms(n, "a")
    ring = fold(And, (Iff(a[i], a[(i + 1) % n]) for i in range(n)))
    return Implies(ring, Iff(a[0], a[n - 1])), []


def excluded_middles(n):
    """The disjunction of n excluded middles: not valid, a countermodel with n + 1 worlds."""
    return fold(Or, (Or(x, Not(x)) for x in atoms(n))), []


def families(scale):
    return {
        f"implication chain {1000 * scale}": (*chain(1000 * scale), 10 ** 6, 50),
        f"pigeonhole {1 + scale}": (*pigeonhole(1 + scale), 10 ** 6, 50),
        f"equivalence ring {8 * scale}": (*equivalence_ring(8 * scale), 10 ** 3, 20),
        f"excluded middles {100 * scale}": (*excluded_middles(100 * scale), 10 ** 6, 10 ** 3),
    }


def model_dict(model):
    if model is None:
        return None
    return {"worlds": [w.name for w in model.worlds],
            "relations": {w.name: sorted(v.name for v in model.relations[w]) for w in model.worlds},
            "valuations": {w.name: sorted(to_string(f) for f in model.valuations[w]) for w in model.worlds}}


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--scale", type=int, default=1)
    opts = ap.parse_args(argv)
    print(f"{'family':28} {'nodes':>9} {'quorvel (s)':>12} {'peer (s)':>10} {'ratio':>8}")
    for name, (target, premises, depth, worlds) in families(opts.scale).items():
        ours, a = best(lambda: tableau.prove_tableau(target, premises, max_depth=depth, max_worlds=worlds),
                       opts.repeat)
        theirs, b = best(lambda: peer.prove_tableau(target, premises, max_depth=depth, max_worlds=worlds),
                         opts.repeat)
        if a.tree.root.to_dict() != b.root.to_dict() or model_dict(a.countermodel) != model_dict(b.countermodel):
            print(f"{name}: the two trees differ", file=sys.stderr)
            return 1
        print(f"{name:28} {a.tree.get_size():9d} {ours:12.4f} {theirs:10.4f} {theirs / ours:8.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
