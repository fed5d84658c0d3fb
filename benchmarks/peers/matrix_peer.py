"""Plain-Python polar formula tree and matrix paths: the same decomposition
and path enumeration as quorvel.constructive.matrix, written directly over
the plain prefix records of prefix_peer."""

from __future__ import annotations

import sys
from dataclasses import dataclass, field
from enum import Enum
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from prefix_peer import Prefix, PrefixConstant, PrefixVariable  # noqa: E402

from quorvel.constructive.common import _is_atomic, _is_falsum, _is_verum, normalize_formula  # noqa: E402
from quorvel.core.ast import And, Implies, Or  # noqa: E402
from quorvel.core.parser import to_string  # noqa: E402


class PositionType(str, Enum):
    ALPHA = "ALPHA"
    BETA = "BETA"
    PHI = "PHI"
    PSI = "PSI"
    ATOM = "ATOM"


@dataclass(eq=False)
class Position:
    id: int
    formula: object
    polarity: int
    pos_type: PositionType
    prefix: Prefix
    parent: object = None
    children: tuple = ()
    symbol: object = None

    def is_leaf(self):
        return self.pos_type == PositionType.ATOM

    def to_string(self):
        text = "_bot" if _is_falsum(self.formula) else to_string(self.formula)
        return f"{text}^{self.polarity}:{self.prefix.to_string()}"


class FormulaTree:
    def __init__(self, target, premises=None, multiplicity=1):
        self.target = normalize_formula(target)
        self.premises = tuple(normalize_formula(p) for p in premises) if premises else ()
        self.multiplicity = max(1, multiplicity)
        self.positions = []
        self.leaves = []
        self.tree_order = {}
        self._counter = 0
        self._const_counter = 0
        self._var_counter = 0
        c0 = PrefixConstant("c0")
        self._add_tree_symbol(c0)
        root_prefix = Prefix((c0,))
        if not self.premises:
            self.root = self._decompose(self.target, 0, root_prefix, None)
        else:
            kids = [self._decompose(p, 1, root_prefix, None) for p in self.premises]
            kids.append(self._decompose(self.target, 0, root_prefix, None))
            self._counter += 1
            self.root = Position(self._counter, self.target, 0, PositionType.BETA, root_prefix, children=tuple(kids))
            self.positions.append(self.root)

    def _add_tree_symbol(self, sym):
        self.tree_order.setdefault(sym, set())

    def _add_order_edge(self, parent, child):
        self._add_tree_symbol(parent)
        self._add_tree_symbol(child)
        self.tree_order[parent].add(child)

    def _extend(self, prefix, sym):
        if len(prefix):
            self._add_order_edge(prefix[-1], sym)
        return prefix.append(sym)

    def _next_constant(self):
        self._const_counter += 1
        c = PrefixConstant(f"c{self._const_counter}")
        self._add_tree_symbol(c)
        return c

    def _next_variable(self):
        self._var_counter += 1
        v = PrefixVariable(f"V{self._var_counter}")
        self._add_tree_symbol(v)
        return v

    def _decompose(self, f, polarity, prefix, parent):
        self._counter += 1
        pid = self._counter
        if _is_atomic(f) or not isinstance(f, (And, Or, Implies)):
            symbol = None
            if _is_atomic(f) and polarity == 1 and not _is_falsum(f) and not _is_verum(f):
                symbol = self._next_variable()
                prefix = self._extend(prefix, symbol)
            pos = Position(pid, f, polarity, PositionType.ATOM, prefix, parent, (), symbol)
            self.positions.append(pos)
            self.leaves.append(pos)
            return pos
        if isinstance(f, Implies) and polarity == 1:
            pos = Position(pid, f, 1, PositionType.PHI, prefix, parent)
            kids = []
            for _ in range(self.multiplicity):
                v = self._next_variable()
                ext = self._extend(prefix, v)
                kids.append(self._decompose(f.left, 0, ext, pos))
                kids.append(self._decompose(f.right, 1, ext, pos))
            pos.children = tuple(kids)
            self.positions.append(pos)
            return pos
        symbol = None
        if isinstance(f, Implies):
            symbol = self._next_constant()
            prefix = self._extend(prefix, symbol)
            kind, pols = PositionType.PSI, (1, 0)
        elif isinstance(f, And):
            kind, pols = (PositionType.BETA if polarity else PositionType.ALPHA), (polarity, polarity)
        else:
            kind, pols = (PositionType.ALPHA if polarity else PositionType.BETA), (polarity, polarity)
        pos = Position(pid, f, polarity, kind, prefix, parent, (), symbol)
        left = self._decompose(f.left, pols[0], prefix, pos)
        right = self._decompose(f.right, pols[1], prefix, pos)
        pos.children = (left, right)
        self.positions.append(pos)
        return pos

    def get_paths(self):
        return _paths(self.root)


def _join(left, right):
    return [p1 + p2 for p1 in left for p2 in right]


def _paths(pos):
    if pos.is_leaf():
        return [[pos]]
    if pos.pos_type == PositionType.ALPHA:
        out = [p for c in pos.children for p in _paths(c)]
        return out or [[]]
    if pos.pos_type in (PositionType.BETA, PositionType.PSI):
        if not pos.children:
            return [[]]
        out = _paths(pos.children[0])
        for c in pos.children[1:]:
            out = _join(out, _paths(c))
        return out
    out = [[]]
    kids = pos.children
    for k in range(len(kids) // 2):
        out = _join(out, _paths(kids[2 * k]) + _paths(kids[2 * k + 1]))
    return out


def path_count(tree):
    """The number of paths, from the tree's shape, without listing them."""
    count = {}
    for p in tree.positions:  # children come before their parent
        kids = [count[c.id] for c in p.children]
        if p.is_leaf():
            n = 1
        elif p.pos_type == "ALPHA":
            n = sum(kids) or 1
        elif p.pos_type == "PHI":
            n = 1
            for k in range(len(kids) // 2):
                n *= kids[2 * k] + kids[2 * k + 1]
        else:
            n = 1
            for k in kids:
                n *= k
        count[p.id] = n
    return count[tree.root.id]
