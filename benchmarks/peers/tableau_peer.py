"""Plain-Python labelled tableau, for benchmarks/bench_tableau.py.

The expansion of quorvel.constructive.tableau written as plain recursive
Python over dataclasses and sets: the same clash test, bounds, rule order,
applied-rule keys, world numbering and left-first branching, and the same
set orders (formulas by first appearance in the premises, then the target,
then the implications of each equivalence; worlds by id), so both build the
same tree node for node. Formulas are quorvel.core.ast nodes; models come
from peers.kripke_peer.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any, Optional

from quorvel.constructive.common import FALSUM, VERUM, _is_atomic, _is_falsum, _is_verum
from quorvel.core.ast import And, Iff, Implies, Not, Or
from quorvel.core.parser import to_string

from peers.kripke_peer import KripkeModel


class Sign(str, enum.Enum):
    TRUE = "T"
    FALSE = "F"

    def __str__(self):
        return self.value


@dataclass(frozen=True)
class World:
    id: int
    name: str

    def __str__(self):
        return self.name


@dataclass(frozen=True)
class SignedFormula:
    sign: Sign
    formula: Any
    world: World

    def to_string(self, notation="infix"):
        if _is_falsum(self.formula):
            text = "\\bot" if notation == "latex" else "_bot"
        elif _is_verum(self.formula):
            text = "\\top" if notation == "latex" else "_top"
        else:
            text = to_string(self.formula, notation=notation)
        return f"{self.sign.value}({text}, {self.world.name})"

    def __str__(self):
        return self.to_string()


@dataclass
class TableauNode:
    id: int
    signed_formula: Optional[SignedFormula] = None
    rule: str = ""
    world: Optional[World] = None
    children: list = field(default_factory=list)
    is_closed: bool = False
    clash_details: Optional[str] = None

    def to_dict(self):
        return {
            "id": self.id,
            "signed_formula": self.signed_formula.to_string() if self.signed_formula is not None else None,
            "rule": self.rule,
            "world": self.world.name if self.world is not None else None,
            "is_closed": self.is_closed,
            "clash_details": self.clash_details,
            "children": [c.to_dict() for c in self.children],
        }


@dataclass
class BranchState:
    worlds: list = field(default_factory=list)
    relations: dict = field(default_factory=dict)
    t_formulas: dict = field(default_factory=dict)
    f_formulas: dict = field(default_factory=dict)
    applied_rules: set = field(default_factory=set)

    def copy(self):
        return BranchState(list(self.worlds),
                           {k: set(v) for k, v in self.relations.items()},
                           {k: set(v) for k, v in self.t_formulas.items()},
                           {k: set(v) for k, v in self.f_formulas.items()},
                           set(self.applied_rules))

    def add_world(self, world):
        if world not in self.worlds:
            self.worlds.append(world)
        if world not in self.relations:
            self.relations[world] = {world}
        if world not in self.t_formulas:
            self.t_formulas[world] = set()
        if world not in self.f_formulas:
            self.f_formulas[world] = set()

    def add_relation(self, source, target):
        self.add_world(source)
        self.add_world(target)
        self.relations[source].add(target)
        for u in self.worlds:
            if source in self.relations.get(u, ()):
                self.relations[u].add(target)
        for u in self.worlds:
            if target in self.relations.get(u, ()) and u != target:
                self.t_formulas[target] |= self.t_formulas.get(u, set())

    def add_t_formula(self, world, formula):
        self.add_world(world)
        self.t_formulas[world].add(formula)
        for s in list(self.relations[world]):
            self.t_formulas.setdefault(s, set()).add(formula)

    def add_f_formula(self, world, formula):
        self.add_world(world)
        self.f_formulas[world].add(formula)


def ranks(premises, target):
    """Formula -> rank: first appearance in a post-order walk, left first."""
    rank = {FALSUM: 0, VERUM: 1}

    def walk(f):
        stack = [(f, False)]
        while stack:
            g, expanded = stack.pop()
            if g in rank:
                continue
            if isinstance(g, (And, Or, Implies, Iff)) and not expanded:
                stack.append((g, True))
                stack.append((g.right, False))
                stack.append((g.left, False))
            elif isinstance(g, Not) and not expanded:
                stack.append((g, True))
                stack.append((g.operand, False))
            else:
                rank[g] = len(rank)

    for p in premises:
        walk(p)
    walk(target)
    for g in list(rank):
        if isinstance(g, Iff):
            for imp in (Implies(left=g.left, right=g.right), Implies(left=g.right, right=g.left)):
                rank.setdefault(imp, len(rank))
    return rank


LINEAR = ("T_And", "F_Or", "T_Not", "F_Imp", "F_Not")
RULES = LINEAR + ("F_And", "T_Or", "T_Imp", "T_Iff", "F_Iff")
ON_TRUE = {"T_And", "T_Not", "T_Or", "T_Imp", "T_Iff"}


def _is_negation(f):
    return isinstance(f, Not) or (isinstance(f, Implies) and _is_falsum(f.right))


TRIGGERS = {
    "T_And": lambda f: isinstance(f, And),
    "F_Or": lambda f: isinstance(f, Or),
    "T_Not": _is_negation,
    "F_Imp": lambda f: isinstance(f, Implies) and not _is_falsum(f.right),
    "F_Not": _is_negation,
    "F_And": lambda f: isinstance(f, And),
    "T_Or": lambda f: isinstance(f, Or),
    "T_Imp": lambda f: isinstance(f, Implies) and not _is_falsum(f.right),
    "T_Iff": lambda f: isinstance(f, Iff),
    "F_Iff": lambda f: isinstance(f, Iff),
}


def _negated(f):
    return f.operand if isinstance(f, Not) else f.left


@dataclass
class TableauProofResult:
    is_valid: bool
    root: TableauNode
    countermodel: Any = None


class TableauProver:
    def __init__(self, max_depth=100, max_worlds=50):
        self.max_depth = max(1, max_depth)
        self.max_worlds = max(1, max_worlds)
        self._node_counter = 0
        self._rank = {}

    def _next_node_id(self):
        self._node_counter += 1
        return self._node_counter

    def _sorted(self, formulas):
        return sorted(formulas, key=lambda f: (0, self._rank[f], "") if f in self._rank else (1, 0, repr(f)))

    def _check_clash(self, state):
        for w in state.worlds:
            t = state.t_formulas.get(w, set())
            f = state.f_formulas.get(w, set())
            for x in self._sorted(t):
                if _is_falsum(x):
                    return (w, x, f"Falsum bot asserted TRUE at {w.name}")
            for x in self._sorted(f):
                if _is_verum(x):
                    return (w, x, f"Verum top asserted FALSE at {w.name}")
            both = t & f
            if both:
                x = self._sorted(both)[0]
                return (w, x, f"Complementary clash on {to_string(x)} at {w.name}")
        return None

    def _extract_countermodel(self, state):
        model = KripkeModel()
        for w in state.worlds:
            model.add_world(w)
        for u in state.worlds:
            for v in sorted(state.relations.get(u, ()), key=lambda x: x.id):
                model.add_relation(u, v)
        for w in state.worlds:
            for f in state.t_formulas.get(w, ()):
                if _is_atomic(f) and not _is_falsum(f) and not _is_verum(f):
                    model.add_valuation(w, f)
        return model

    def prove(self, target, premises=None):
        self._node_counter = 0
        premises = tuple(premises) if premises else ()
        self._rank = ranks(premises, target)
        w0 = World(0, "w0")
        state = BranchState()
        state.add_world(w0)
        for p in premises:
            state.add_t_formula(w0, p)
        state.add_f_formula(w0, target)
        root = TableauNode(id=self._next_node_id(), signed_formula=SignedFormula(Sign.FALSE, target, w0),
                           rule="Target", world=w0)
        closed, open_state = self._expand_branch(state=state, node=root, depth=1)
        root.is_closed = closed
        model = self._extract_countermodel(open_state) if not closed and open_state is not None else None
        return TableauProofResult(closed, root, model)

    def _candidate(self, rule, state):
        for w in list(state.worlds):
            sets = state.t_formulas if rule in ON_TRUE else state.f_formulas
            for f in self._sorted(sets.get(w, ())):
                if not TRIGGERS[rule](f):
                    continue
                if rule in ("T_Not", "T_Imp"):
                    for s in sorted(state.relations.get(w, ()), key=lambda x: x.id):
                        key = (rule, f, w, s)
                        if key not in state.applied_rules:
                            return f, w, s, key
                    continue
                key = (rule, f, w)
                if key in state.applied_rules:
                    continue
                if rule in ("F_Imp", "F_Not") and len(state.worlds) >= self.max_worlds:
                    continue
                return f, w, None, key
        return None

    def _expand_branch(self, state, node, depth):
        clash = self._check_clash(state)
        if clash is not None:
            node.is_closed = True
            node.clash_details = clash[2]
            return True, None
        if depth >= self.max_depth or len(state.worlds) > self.max_worlds:
            node.is_closed = False
            return False, state
        for rule in RULES:
            found = self._candidate(rule, state)
            if found is not None:
                return self._apply(rule, *found, state, node, depth)
        node.is_closed = False
        return False, state

    def _child(self, sign, f, w, label, world):
        return TableauNode(id=self._next_node_id(), signed_formula=SignedFormula(sign, f, w), rule=label, world=world)

    def _linear(self, child, state, node, depth):
        closed, open_state = self._expand_branch(state, child, depth + 1)
        node.is_closed = closed
        return closed, open_state

    def _apply(self, rule, f, w, s, key, state, node, depth):
        state.applied_rules.add(key)
        T, F = Sign.TRUE, Sign.FALSE
        if rule in ("T_And", "F_Or"):
            sign = T if rule == "T_And" else F
            child = self._child(sign, f, w, rule, w)
            node.children.append(child)
            add = state.add_t_formula if sign is T else state.add_f_formula
            add(w, f.left)
            add(w, f.right)
            return self._linear(child, state, node, depth)
        if rule == "T_Not":
            child = self._child(T, f, w, rule, s)
            node.children.append(child)
            state.add_f_formula(s, _negated(f))
            return self._linear(child, state, node, depth)
        if rule in ("F_Imp", "F_Not"):
            n = len(state.worlds)
            w_new = World(id=n, name=f"w{n}")
            state.add_world(w_new)
            state.add_relation(w, w_new)
            if rule == "F_Imp":
                state.add_t_formula(w_new, f.left)
                state.add_f_formula(w_new, f.right)
            else:
                state.add_t_formula(w_new, _negated(f))
                state.add_f_formula(w_new, FALSUM)
            child = self._child(F, f, w, f"{rule} ({w.name} <= {w_new.name})", w_new)
            node.children.append(child)
            return self._linear(child, state, node, depth)
        if rule == "T_Iff":
            state.add_t_formula(w, Implies(left=f.left, right=f.right))
            state.add_t_formula(w, Implies(left=f.right, right=f.left))
            child = self._child(T, f, w, "T_Iff", w)
            node.children.append(child)
            return self._linear(child, state, node, depth)
        if rule == "F_And":
            left, right = (F, f.left, w, "F_And_L"), (F, f.right, w, "F_And_R")
        elif rule == "T_Or":
            left, right = (T, f.left, w, "T_Or_L"), (T, f.right, w, "T_Or_R")
        elif rule == "T_Imp":
            left, right = (F, f.left, s, f"T_Imp_F ({s.name})"), (T, f.right, s, f"T_Imp_T ({s.name})")
        else:
            imp1, imp2 = Implies(left=f.left, right=f.right), Implies(left=f.right, right=f.left)
            left, right = (F, imp1, w, "F_Iff_L"), (F, imp2, w, "F_Iff_R")
        for sign, g, at, label in (left, right):
            branch = state.copy()
            (branch.add_t_formula if sign is T else branch.add_f_formula)(at, g)
            child = self._child(sign, g, at, label, at)
            node.children.append(child)
            closed, open_state = self._expand_branch(branch, child, depth + 1)
            if not closed:
                node.is_closed = False
                return False, open_state
        node.is_closed = True
        return True, None


def prove_tableau(formula, premises=None, max_depth=100, max_worlds=50):
    return TableauProver(max_depth=max_depth, max_worlds=max_worlds).prove(target=formula, premises=premises)
