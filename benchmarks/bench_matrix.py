"""Matrix paths: native FormulaTree.get_paths against the plain-Python tree
and path enumeration of peers/matrix_peer.py, on the ILTP problems.

    python benchmarks/bench_matrix.py [--filter REGEX] [--max-paths 200000] [--repeat 3]

For multiplicity 1 and 2, every problem whose tree has at most --max-paths
paths is decomposed by both sides; the path lists (as position ids) must
agree before anything is timed. Then get_paths is timed on each side (best
of --repeat) and each row prints the summed times over the problems, with
the problems of most paths on lines of their own. Trees of more than --max-positions
positions are left out (the peer's decomposition of them takes minutes).

The "floor s" column is the time of merely copying the native result, list
by list, with the garbage collector off: no implementation that returns
new lists of positions can take less, so "peer s" / "floor s" bounds the
ratio any get_paths could reach on that row.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers.matrix_peer as peer  # noqa: E402
from peers.matrix_peer import path_count  # noqa: E402
from iltp import parse_problem, problem_files  # noqa: E402

from quorvel.constructive.matrix import FormulaTree  # noqa: E402


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
        del out
    return best


def copy_floor(repeat, paths):
    def copy():
        gc.disable()
        try:
            return list(map(list, paths))
        finally:
            gc.enable()
    return best_of(repeat, copy)


def position_count(prob, m):
    """The number of positions the tree of `prob` at multiplicity m has."""
    from quorvel.constructive.common import normalize_formula
    from quorvel.core.ast import And, Implies, Or
    memo = {}
    roots = [(normalize_formula(p), 1) for p in prob.premises] + [(normalize_formula(prob.target), 0)]
    for root in roots:
        stack = [root]
        while stack:
            f, pol = stack[-1]
            if (id(f), pol) in memo:
                stack.pop()
                continue
            if not isinstance(f, (And, Or, Implies)):
                memo[id(f), pol] = 1
                stack.pop()
                continue
            lp, rp = ((1 - pol, pol) if isinstance(f, Implies) else (pol, pol))
            todo = [(g, q) for g, q in ((f.left, lp), (f.right, rp)) if (id(g), q) not in memo]
            if todo:
                stack.extend(todo)
                continue
            pair = memo[id(f.left), lp] + memo[id(f.right), rp]
            memo[id(f), pol] = 1 + (m * pair if isinstance(f, Implies) and pol else pair)
            stack.pop()
    return sum(memo[id(f), pol] for f, pol in roots) + (1 if prob.premises else 0)


def ids(paths):
    return [[p.id for p in path] for path in paths]


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--filter", metavar="REGEX")
    ap.add_argument("--max-paths", type=int, default=200_000)
    ap.add_argument("--max-positions", type=int, default=20_000, help="larger trees are left out")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--top", type=int, default=3, help="problems shown on lines of their own")
    opts = ap.parse_args(argv)
    sys.setrecursionlimit(100_000)  # the peer's paths recurse once per level
    problems = [parse_problem(p.read_text(), p.stem) for p in problem_files(pattern=opts.filter)]
    worst = float("inf")
    print(f"{'row':<34} {'problems':>8} {'paths':>9} {'peer s':>9} {'native s':>9} {'ratio':>7}"
          f" {'floor s':>9} {'bound':>7}")
    for m in (1, 2):
        done = []
        for prob in problems:
            if position_count(prob, m) > opts.max_positions:
                continue
            try:
                tree = FormulaTree(prob.target, prob.premises, multiplicity=m)
            except MemoryError:
                continue
            if len(tree.positions) > opts.max_positions:
                continue
            count = path_count(tree)
            if count > opts.max_paths:
                continue
            plain = peer.FormulaTree(prob.target, prob.premises, m)
            paths = tree.get_paths()
            if ids(paths) != ids(plain.get_paths()):
                print(f"{prob.name} m={m}: DIFFERENT PATHS")
                return 1
            floor_s = copy_floor(opts.repeat, paths)
            del paths
            peer_s = best_of(opts.repeat, plain.get_paths)
            native_s = best_of(opts.repeat, tree.get_paths)
            done.append((prob.name, count, peer_s, native_s, floor_s))
        rows = [(f"ILTP, multiplicity {m}", done)]
        rows += [(f"  {name} m={m}", [r]) for r in sorted(done, key=lambda r: -r[1])[:opts.top] for name in [r[0]]]
        for label, rs in rows:
            peer_s, native_s, floor_s = (sum(r[k] for r in rs) for k in (2, 3, 4))
            ratio = peer_s / native_s
            worst = min(worst, ratio)
            print(f"{label:<34} {len(rs):>8} {sum(r[1] for r in rs):>9} {peer_s:>9.4f} {native_s:>9.5f} "
                  f"{ratio:>6.1f}x {floor_s:>9.5f} {peer_s / floor_s:>6.1f}x", flush=True)
    print(f"\nlowest ratio: {worst:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
