"""quorvel.core.visitors against its plain-Python peer (benchmarks/peers/visitors_peer.py).

    python benchmarks/bench_visitors.py [--nodes 1000000] [--chain 20000] [--width 200000] [--repeat 3] [--fill 1.0]

Each of the six visitors runs on three trees of fresh objects (no shared
sub-trees, so no walk can skip work): a balanced tree of about --nodes nodes
mixing the connectives, quantifiers, equations and function terms; a chain of
--chain alternating negations and universal quantifiers; and a balanced
conjunction of --width atoms. The peer is the same visitor written plainly in
Python, run over the same nodes; the outputs must agree before anything is
timed. Times are the best of --repeat runs with the collector off, and of as
many more as fill --fill seconds (a run of a few milliseconds meets other
tenants' bursts on a shared host often, and one quiet run takes a few dozen
tries); the same rule times both sides. The ratio is peer / quorvel (higher is
better).

For the substitution rows, "build s" is the time of building the output's
new nodes alone (every node of the output that is no node of the input or of
the replacements, once each, by its class's constructor mapped over the
fields it has in the output) and freeing them again; the copies must equal
the nodes before that is timed. "bound" is peer s / build s, the most any
substitution that must build those nodes could reach.
"""

from __future__ import annotations

import argparse
import gc
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

from peers import visitors_peer as peer  # noqa: E402

import quorvel.core.visitors as native  # noqa: E402
from quorvel.core.ast import And, Constant, Equality, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp, Variable  # noqa: E402

# The peer recurses once per tree level, a few frames each.
sys.setrecursionlimit(1_000_000)

x, y, z = Variable(1), Variable(2), Variable(3)


def atom(i: int):
    """A fresh atom over fresh terms; about 7 nodes."""
    v = Variable(i % 4 + 1)
    return PredicateApp(f"P{i % 7}", 3, (v, FunctionApp("f", 1, (Variable((i + 1) % 4 + 1),)), Constant("c")))


def balanced(lo: int, hi: int, level: int = 0):
    if hi - lo == 1:
        return atom(lo) if lo % 5 else Equality(Variable(lo % 3 + 1), FunctionApp("g", 1, (Constant("d"),)))
    mid = (lo + hi) // 2
    left, right = balanced(lo, mid, level + 1), balanced(mid, hi, level + 1)
    node = (And, Or, Implies)[level % 3](left, right)
    if level % 4 == 1:
        node = Not(node)
    if level % 3 == 2:
        node = (Forall, Exists)[level % 2](Variable(level % 4 + 1), node)
    return node


def conjunction(lo: int, hi: int):
    if hi - lo == 1:
        return atom(lo)
    mid = (lo + hi) // 2
    return And(conjunction(lo, mid), conjunction(mid, hi))


def chain(depth: int):
    tree = atom(0)
    for i in range(depth):
        tree = Not(tree) if i % 2 else Forall(Variable(i % 3 + 2), tree)
    return tree


def visitors(ns):
    # x and y are bound in places, so the walk drops their entries there; no
    # binder captures h(v9).
    mapping = {x: FunctionApp("h", 1, (Variable(9),)), y: Constant("e")}
    return [
        ("transformer", lambda: ns.ASTTransformer()),
        ("depth", lambda: ns.DepthVisitor()),
        ("size", lambda: ns.SizeVisitor()),
        ("free variables", lambda: ns.FreeVariableCollector()),
        ("substitution", lambda: ns.SubstitutionTransformer(mapping)),
        ("export infix", lambda: ns.ExportVisitor("infix")),
        ("export latex", lambda: ns.ExportVisitor("latex")),
    ]


# The fields each node class is built from, in constructor order.
FIELDS = {
    FunctionApp: ("func", "arity", "args", "return_sort"),
    PredicateApp: ("pred", "arity", "args"),
    Equality: ("left", "right"),
    Not: ("operand",),
    And: ("left", "right"),
    Or: ("left", "right"),
    Implies: ("left", "right"),
    Iff: ("left", "right"),
    Forall: ("variable", "body"),
    Exists: ("variable", "body"),
}


def children(node):
    if isinstance(node, (FunctionApp, PredicateApp)):
        return node.args
    fields = FIELDS.get(type(node), ())
    return [getattr(node, f) for f in fields if f in ("left", "right", "operand", "variable", "body")]


def new_nodes(output, tree, mapping):
    """The nodes of `output` that are no nodes of `tree` nor of the mapping's
    replacements, each once, grouped by class: {cls: [node, ...]}."""
    old, stack = set(), [tree, *mapping.values()]
    while stack:
        n = stack.pop()
        if id(n) not in old:
            old.add(id(n))
            stack.extend(children(n))
    groups, seen, stack = {}, set(), [output]
    while stack:
        n = stack.pop()
        if id(n) in old or id(n) in seen:
            continue
        seen.add(id(n))
        groups.setdefault(type(n), []).append(n)
        stack.extend(children(n))
    return groups


def builder(groups):
    """A function that builds an equal copy of every node of `groups` from its
    fields (application arguments as new tuples), by the constructors mapped
    over columns of fields, and drops them; build(keep=True) returns the
    copies instead, class by class."""
    plan = []
    for cls, nodes in groups.items():
        if cls is Variable:
            plan.append((lambda ns: lambda: [Variable(n.id, n.kind, sort=n.sort) for n in ns])(nodes))
            continue
        columns = []
        for f in FIELDS[cls]:
            column = [getattr(n, f) for n in nodes]
            columns.append(([list(a) for a in column], True) if f == "args" else (column, False))
        plan.append((cls, columns))

    def build(keep=False):
        kept = []
        for step in plan:
            if callable(step):
                made = step()
            else:
                cls, columns = step
                made = list(map(cls, *(map(tuple, c) if as_tuple else c for c, as_tuple in columns)))
            if keep:
                kept.append(made)
        return kept

    return build


def best(run, repeat: int, fill: float) -> float:
    times = []
    while len(times) < repeat or sum(times) < fill and len(times) < 1000:
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
        gc.enable()
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--chain", type=int, default=20_000)
    parser.add_argument("--width", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--fill", type=float, default=1.0)
    args = parser.parse_args()

    trees = [
        ("balanced", balanced(0, max(2, args.nodes * 2 // 13))),
        ("chain", chain(args.chain)),
        ("conjunction", conjunction(0, args.width)),
    ]
    print(f"{'tree':<12} {'nodes':>9} {'visitor':<15} {'peer s':>9} {'quorvel s':>10} {'ratio':>8} {'build s':>9} {'bound':>8}")
    for tree_name, tree in trees:
        nodes = native.SizeVisitor().visit(tree)
        for (name, make_native), (_, make_peer) in zip(visitors(native), visitors(peer)):
            got, expected = make_native().visit(tree), make_peer().visit(tree)
            if got != expected:
                raise SystemExit(f"{tree_name} / {name}: quorvel and the peer disagree")
            # A result kept alive shares nodes with the tree, and a walk meets
            # a shared node through its table of shared nodes: time the walks
            # over the tree alone.
            del got, expected
            peer_time = best(lambda: make_peer().visit(tree), args.repeat, args.fill)
            native_time = best(lambda: make_native().visit(tree), args.repeat, args.fill)
            extra = ""
            if name == "substitution":
                got = make_native().visit(tree)
                groups = new_nodes(got, tree, make_native().mapping)
                build = builder(groups)
                if build(keep=True) != list(groups.values()):
                    raise SystemExit(f"{tree_name} / {name}: the nodes built alone differ")
                del got, groups
                build_time = best(build, args.repeat, args.fill)
                extra = f" {build_time:>9.4f} {peer_time / build_time:>7.1f}x"
            print(
                f"{tree_name:<12} {nodes:>9} {name:<15} {peer_time:>9.4f} {native_time:>10.4f} "
                f"{peer_time / native_time:>7.1f}x{extra}"
            )


if __name__ == "__main__":
    main()
