"""Prefix unification: native unify_prefixes against the plain-Python
algorithm of peers/prefix_peer.py.

    python benchmarks/bench_prefix.py [--repeat 3]

Each row unifies one family of words; both sides must give the same
unifiers (bindings in order) before anything is timed. Prints the best of
--repeat runs of each side and their ratio.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers.prefix_peer as peer  # noqa: E402

import quorvel.constructive.prefix as native  # noqa: E402


def word(module, names):
    return module.Prefix([module.PrefixVariable(n) if n.startswith("V") else module.PrefixConstant(n)
                          for n in names])


def start(module, bindings):
    return module.PrefixSubstitution({module.PrefixVariable(v): word(module, w).symbols for v, w in bindings})


def family(n):
    return [f"V{i}" for i in range(1, n + 1)], [f"c{i}" for i in range(1, n + 1)], []


def interleaved(n):
    # c0.V1.c1.V2 ... against c0.c1.V(n+1).c2 ...: variables on both sides.
    left = ["c0"] + [s for i in range(1, n + 1) for s in (f"V{i}", f"c{i}")]
    right = ["c0"] + [s for i in range(1, n + 1) for s in (f"c{i}", f"V{n + i}")]
    return left, right, []


def started(n):
    # The family under a starting substitution that binds other variables.
    left, right, _ = family(n)
    return left, right, [(f"V{100 + i}", [f"c{i}", f"V{i}"]) for i in range(1, n + 1)]


ROWS = [
    ("[V1..V6] ~ [c1..c6]", family(6)),
    ("[V1..V8] ~ [c1..c8]", family(8)),
    ("[V1..V10] ~ [c1..c10]", family(10)),
    ("c0.V1.c1.V2.. ~ c0.c1.V7.c2.. (6)", interleaved(6)),
    ("[V1..V9] ~ [c1..c9], 9 bound", started(9)),
]


def best_of(repeat, fn):
    best, out = float("inf"), None
    for _ in range(repeat):
        out = None
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repeat", type=int, default=3)
    opts = ap.parse_args(argv)
    worst = float("inf")
    print(f"{'family':<36} {'unifiers':>9} {'peer s':>10} {'native s':>10} {'ratio':>8}")
    for label, (left, right, bindings) in ROWS:
        args_peer = (word(peer, left), word(peer, right), start(peer, bindings))
        args_native = (word(native, left), word(native, right), start(native, bindings))
        peer_s, peer_out = best_of(opts.repeat, lambda: peer.unify_prefixes(*args_peer))
        native_s, native_out = best_of(opts.repeat, lambda: native.unify_prefixes(*args_native))
        if [u.to_dict() for u in peer_out] != [u.to_dict() for u in native_out]:
            print(f"{label}: DIFFERENT UNIFIERS")
            return 1
        ratio = peer_s / native_s
        worst = min(worst, ratio)
        print(f"{label:<36} {len(native_out):>9} {peer_s:>10.4f} {native_s:>10.5f} {ratio:>7.1f}x", flush=True)
    print(f"\nlowest ratio: {worst:.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
