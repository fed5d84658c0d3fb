"""Plain-Python Kripke models over Python sets, for benchmarks/bench_kripke.py.

The same operations and results as quorvel.constructive.kripke.KripkeModel:
the closure and monotonicity fixpoints recomputed pass by pass on every
add_relation, and forcing by plain recursion. `MemoKripkeModel` memoises
evaluate within a call, as the native module does.
"""

from quorvel.constructive.common import _is_atomic, _is_falsum, _is_verum
from quorvel.core.ast import And, Iff, Implies, Not, Or


class KripkeModel:
    def __init__(self, worlds=None, relations=None, valuations=None):
        self.worlds = list(worlds) if worlds is not None else []
        self.relations = {w: set(s) for w, s in relations.items()} if relations is not None else {}
        self.valuations = {w: set(s) for w, s in valuations.items()} if valuations is not None else {}

    def add_world(self, world):
        if world not in self.worlds:
            self.worlds.append(world)
        if world not in self.relations:
            self.relations[world] = {world}
        else:
            self.relations[world].add(world)
        if world not in self.valuations:
            self.valuations[world] = set()

    def add_relation(self, source, target):
        self.add_world(source)
        self.add_world(target)
        self.relations[source].add(target)
        self._compute_transitive_closure()
        self._enforce_monotonicity()

    def _compute_transitive_closure(self):
        for w in self.worlds:
            self.relations.setdefault(w, set()).add(w)
        changed = True
        while changed:
            changed = False
            for u in self.worlds:
                successors = self.relations[u]
                for v in list(successors):
                    for w in list(self.relations.get(v, ())):
                        if w not in successors:
                            successors.add(w)
                            changed = True

    def _enforce_monotonicity(self):
        changed = True
        while changed:
            changed = False
            for u in self.worlds:
                for v in list(self.relations.get(u, ())):
                    if v == u:
                        continue
                    for f in list(self.valuations.get(u, ())):
                        target = self.valuations.setdefault(v, set())
                        if f not in target:
                            target.add(f)
                            changed = True

    def add_valuation(self, world, formula):
        self.add_world(world)
        self.valuations[world].add(formula)
        for w in self.accessible_worlds(world):
            self.valuations.setdefault(w, set()).add(formula)

    def is_accessible(self, source, target):
        return source in self.relations and target in self.relations[source]

    def accessible_worlds(self, world):
        if world in self.relations:
            return set(self.relations[world])
        return {world}

    def evaluate(self, formula, world):
        if _is_falsum(formula):
            return False
        if _is_verum(formula):
            return True
        if _is_atomic(formula):
            return formula in self.valuations.get(world, ())
        if isinstance(formula, Not):
            return not any(self.evaluate(formula.operand, w) for w in self.accessible_worlds(world))
        if isinstance(formula, And):
            return self.evaluate(formula.left, world) and self.evaluate(formula.right, world)
        if isinstance(formula, Or):
            return self.evaluate(formula.left, world) or self.evaluate(formula.right, world)
        if isinstance(formula, Implies):
            for w in self.accessible_worlds(world):
                if self.evaluate(formula.left, w) and not self.evaluate(formula.right, w):
                    return False
            return True
        if isinstance(formula, Iff):
            there = Implies(left=formula.left, right=formula.right)
            back = Implies(left=formula.right, right=formula.left)
            return self.evaluate(there, world) and self.evaluate(back, world)
        return False


class MemoKripkeModel(KripkeModel):
    """evaluate with a memo per call keyed by (formula identity, world)."""

    def evaluate(self, formula, world):
        memo = {}
        keep = []

        def force(f, w):
            key = (id(f), w)
            if key in memo:
                return memo[key]
            if _is_falsum(f):
                r = False
            elif _is_verum(f):
                r = True
            elif _is_atomic(f):
                r = f in self.valuations.get(w, ())
            elif isinstance(f, Not):
                r = not any(force(f.operand, v) for v in self.accessible_worlds(w))
            elif isinstance(f, And):
                r = force(f.left, w) and force(f.right, w)
            elif isinstance(f, Or):
                r = force(f.left, w) or force(f.right, w)
            elif isinstance(f, Implies):
                r = all(not force(f.left, v) or force(f.right, v) for v in self.accessible_worlds(w))
            elif isinstance(f, Iff):
                there = Implies(left=f.left, right=f.right)
                back = Implies(left=f.right, right=f.left)
                keep.extend((there, back))
                r = force(there, w) and force(back, w)
            else:
                r = False
            memo[key] = r
            return r

        return force(formula, world)
