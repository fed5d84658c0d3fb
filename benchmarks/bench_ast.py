"""quorvel.core.ast against its plain-Python peer (benchmarks/peers/ast_peer.py).

    python benchmarks/bench_ast.py [--nodes 1000000] [--repeat 3]

One builder function makes a balanced tree of And/Or/Implies/Not over atoms,
some with variables and function terms, with Forall/Exists at every third
level; it runs unchanged over both module namespaces.  Every term occurrence
is a fresh object, so the tree really has --nodes nodes (as formula_size counts
them).  Timings are the best of --repeat runs with the collector off; memory is
measured in a fresh interpreter per implementation (RSS growth while building,
and tracemalloc's count as a cross-check), divided by the node count.

Ratios: time is peer / quorvel (higher is better), memory is quorvel / peer
(lower is better).
"""

from __future__ import annotations

import argparse
import gc
import importlib
import json
import os
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

# Peer walks recurse once per tree level (a few frames each); the tree is shallow
# but give them room.
sys.setrecursionlimit(20000)

NAMESPACES = {"quorvel": "quorvel.core.ast", "peer": "peers.ast_peer"}


def load(which: str):
    return importlib.import_module(NAMESPACES[which])


def build_tree(ns, n_leaves: int):
    """Balanced binary tree over ``n_leaves`` atoms; height about log2(n) + a third."""
    Variable, Constant = ns.Variable, ns.Constant
    FunctionApp, PredicateApp = ns.FunctionApp, ns.PredicateApp
    Not, Forall, Exists = ns.Not, ns.Forall, ns.Exists
    binary = (ns.And, ns.Or, ns.Implies)
    names = [f"p{i}" for i in range(64)]

    level = []
    push = level.append
    for i in range(n_leaves):
        k = i & 3
        if k == 0:
            push(PredicateApp(names[i & 63], 0, ()))
        elif k == 1:
            push(PredicateApp("P", 1, (Variable(i & 7),)))
        elif k == 2:
            push(PredicateApp("Q", 2, (FunctionApp("f", 1, (Variable(i & 7),)),
                                       Constant("c"))))
        else:
            push(Not(PredicateApp(names[i & 63], 0, ())))

    height = 1
    while len(level) > 1:
        nxt = []
        push = nxt.append
        quantify = height % 3 == 0
        negate = height % 3 == 1
        for j in range(0, len(level) - 1, 2):
            node = binary[(j + height) % 3](level[j], level[j + 1])
            if quantify and j & 2 == 0:
                node = (Forall if j & 4 else Exists)(Variable((j + height) & 7), node)
            elif negate and j & 6 == 6:
                node = Not(node)
            push(node)
        if len(level) & 1:
            push(level[-1])
        level = nxt
        height += 1
    return level[0]


def all_nodes(ns, root) -> list:
    """Every node of the tree, terms included, by an explicit stack."""
    Var, Const, FApp, PApp = ns.Variable, ns.Constant, ns.FunctionApp, ns.PredicateApp
    Not, Q = ns.Not, (ns.Forall, ns.Exists)
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        out.append(n)
        if isinstance(n, (FApp, PApp)):
            stack.extend(n.args)
        elif isinstance(n, Not):
            stack.append(n.operand)
        elif isinstance(n, Q):
            stack.append(n.variable)
            stack.append(n.body)
        elif not isinstance(n, (Var, Const)):
            stack.append(n.left)
            stack.append(n.right)
    return out


def best_of(fn, repeat: int):
    """(best seconds, last result); the previous result is freed outside the clock."""
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            elapsed = time.perf_counter() - t0
        finally:
            gc.enable()
        best = min(best, elapsed)
    return best, result


def leaves_for(n_nodes: int) -> int:
    peer = load("peer")
    probe = 1 << 14
    return max(2, round(n_nodes * probe / peer.formula_size(build_tree(peer, probe))))


# -------------------------------------------------------------------- memory

def _rss() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(which: str, n_leaves: int) -> None:
    ns = load(which)
    build_tree(ns, 64)  # warm caches, interned names, type objects
    gc.collect()
    before = _rss()
    tree = build_tree(ns, n_leaves)
    rss = _rss() - before
    nodes = ns.formula_size(tree)
    del tree
    gc.collect()
    tracemalloc.start()
    tree = build_tree(ns, n_leaves)
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    print(json.dumps({"rss": rss, "traced": traced, "nodes": nodes}))


def measure_memory(which: str, n_leaves: int) -> dict:
    out = subprocess.run([sys.executable, __file__, "--memory-child", which,
                          "--leaves", str(n_leaves)],
                         capture_output=True, text=True)
    if out.returncode != 0:
        tail = "\n".join(out.stderr.strip().splitlines()[-5:])
        raise RuntimeError(f"memory run for {which} failed:\n{tail}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------- table

def _fmt_time(s: float) -> str:
    return f"{s * 1e3:9.1f} ms" if s < 10 else f"{s:9.2f} s "


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--nodes", type=int, default=1_000_000, help="tree size to aim for")
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    ap.add_argument("--memory-child", choices=sorted(NAMESPACES), help=argparse.SUPPRESS)
    ap.add_argument("--leaves", type=int, help=argparse.SUPPRESS)
    opts = ap.parse_args(argv)
    if opts.memory_child:
        memory_child(opts.memory_child, opts.leaves)
        return 0

    try:
        q = load("quorvel")
    except ImportError as exc:
        print(f"quorvel.core.ast is not importable: {exc}", file=sys.stderr)
        return 2
    p = load("peer")
    n_leaves = leaves_for(opts.nodes)
    R = opts.repeat

    rows = []  # (operation, quorvel, peer, kind) with kind in time/walk/memory/info

    def timed(op, kind, fq, fp):
        tq, rq = best_of(fq, R)
        tp, rp = best_of(fp, R)
        rows.append((op, tq, tp, kind))
        return rq, rp

    qa, pa = timed("build tree", "build",
                   lambda: build_tree(q, n_leaves), lambda: build_tree(p, n_leaves))
    n_nodes = p.formula_size(pa)
    height = p.formula_depth(pa)
    assert q.formula_size(qa) == n_nodes, "formula_size disagrees with the peer"
    assert q.formula_depth(qa) == height, "formula_depth disagrees with the peer"
    qb, pb = build_tree(q, n_leaves), build_tree(p, n_leaves)
    q_nodes, p_nodes = all_nodes(q, qa), all_nodes(p, pa)
    assert len(q_nodes) == len(p_nodes) == n_nodes
    # The trees live to the end; keep them out of every later collection so that
    # the gc.collect() before each run costs nothing.
    gc.freeze()

    timed("hash of every node", "info",
          lambda: list(map(hash, q_nodes)), lambda: list(map(hash, p_nodes)))
    del q_nodes, p_nodes
    rq, rp = timed("== on two equal copies", "walk", lambda: qa == qb, lambda: pa == pb)
    assert rq is True and rp is True
    assert hash(qa) == hash(qb)

    def ids(vs):
        return sorted((v.id, v.kind.name) for v in vs)

    rq, rp = timed("free_variables", "walk",
                   lambda: q.free_variables(qa), lambda: p.free_variables(pa))
    assert ids(rq) == ids(rp), "free_variables disagrees with the peer"
    rq, rp = timed("bound_variables", "walk",
                   lambda: q.bound_variables(qa), lambda: p.bound_variables(pa))
    assert ids(rq) == ids(rp), "bound_variables disagrees with the peer"
    timed("formula_size", "walk", lambda: q.formula_size(qa), lambda: p.formula_size(pa))
    timed("formula_depth", "walk", lambda: q.formula_depth(qa), lambda: p.formula_depth(pa))
    rq, rp = timed("canonicalize_bound_variables", "walk",
                   lambda: q.canonicalize_bound_variables(qa),
                   lambda: p.canonicalize_bound_variables(pa))
    assert q.formula_size(rq) == p.formula_size(rp) == n_nodes
    assert ids(q.bound_variables(rq)) == ids(p.bound_variables(rp)), \
        "canonical numbering disagrees with the peer"
    del rq, rp, qa, qb, pa, pb
    gc.collect()

    mq, mp = measure_memory("quorvel", n_leaves), measure_memory("peer", n_leaves)
    rows.append(("memory per node (RSS)", mq["rss"] / mq["nodes"],
                 mp["rss"] / mp["nodes"], "memory"))
    rows.append(("memory per node (tracemalloc)", mq["traced"] / mq["nodes"],
                 mp["traced"] / mp["nodes"], "info-memory"))

    print(f"quorvel.core.ast vs plain-Python peer: tree of {n_nodes:,} nodes "
          f"(height {height}), best of {R}, Python {sys.version.split()[0]}")
    head = f"{'operation':<32}{'quorvel':>13}{'peer':>13}{'ratio':>9}  {'target':<7} result"
    print(head)
    print("-" * len(head))
    failed = 0
    for op, vq, vp, kind in rows:
        if kind in ("memory", "info-memory"):
            ratio = vq / vp if vp else float("inf")
            cells = f"{vq:10.1f} B {vp:10.1f} B {ratio:8.2f} "
            target, ok = ("<=1.0", ratio <= 1.0) if kind == "memory" else ("", None)
        else:
            ratio = vp / vq if vq else float("inf")
            cells = f"{_fmt_time(vq)} {_fmt_time(vp)}{ratio:8.1f}x"
            target, ok = {"build": (">=3x", ratio >= 3), "walk": (">=20x", ratio >= 20),
                          "info": ("", None)}[kind]
        verdict = "info" if ok is None else ("PASS" if ok else "FAIL")
        failed += ok is False
        print(f"{op:<32}{cells}  {target:<7} {verdict}")
    print("-" * len(head))
    print("time ratio = peer / quorvel; memory ratio = quorvel / peer")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
