"""How the LJT derivations of the scalable ILTP families grow with their size.

    python benchmarks/ljt_growth.py [--timeout 30] [--families SYJ201 SYJ202 SYJ206]

For each size of each family, in a forked child with a wall-clock limit:
the time prove_ljt takes, the derivation's tree size, its distinct nodes
(one per distinct sequent, since equal sequents share their node) and its
distinct sequents up to the order and repetition of antecedents, with the
factor each count grew by from the size before. A family stops at its first
size past the limit. The last column bounds what any sharing of equal
sub-derivations can save: the derivation the search returns is fixed, and
even nodes merged up to the order of their antecedents are that many.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from forked import run_in_child  # noqa: E402
from iltp import parse_problem, problem_files  # noqa: E402


def measure(path, conn):
    from quorvel.constructive.ljt import prove_ljt
    prob = parse_problem(path.read_text(), path.stem)
    t0 = time.perf_counter()
    tree = prove_ljt(prob.target, prob.premises)
    seconds = time.perf_counter() - t0
    if tree is None:
        conn.send(("refuted", seconds, 0, 0, 0))
        return
    seen, classes, todo = set(), set(), [tree.root]
    while todo:
        node = todo.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        classes.add((frozenset(node.sequent.antecedents), node.sequent.succedent))
        todo.extend(node.premises)
    conn.send(("proved", seconds, tree.size, len(seen), len(classes)))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--timeout", type=float, default=30.0)
    ap.add_argument("--families", nargs="+", default=["SYJ201", "SYJ202", "SYJ206"])
    opts = ap.parse_args(argv)
    print(f"{'problem':<14}{'time s':>9}{'tree nodes':>14}{'distinct':>12}{'x':>6}{'up to order':>13}{'x':>6}")
    for family in opts.families:
        before = None
        for path in problem_files(pattern=rf"^{family}\+1\.\d+$"):
            out = run_in_child(measure, (path,), opts.timeout, ("timeout", opts.timeout, 0, 0, 0))
            verdict, seconds, size, distinct, classes = out
            if verdict != "proved":
                print(f"{path.stem:<14}{'> ' if verdict == 'timeout' else ''}{seconds:>7.2f}  {verdict}", flush=True)
                if verdict == "timeout":
                    break
                continue
            grow = ("", "") if before is None else (f"{distinct / before[0]:.1f}", f"{classes / before[1]:.1f}")
            print(f"{path.stem:<14}{seconds:>9.2f}{size:>14,}{distinct:>12,}{grow[0]:>6}{classes:>13,}{grow[1]:>6}",
                  flush=True)
            before = (distinct, classes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
