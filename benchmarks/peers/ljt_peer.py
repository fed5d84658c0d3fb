"""Plain-Python equivalent of ``quorvel.constructive.ljt``, used by the benchmarks
and as the reference the tests compare the native prover against.

The search is the recursive backward search over the thirteen LJT rules in
their fixed order, with no cache, on the quorvel syntax-tree nodes and the
constructive helpers; formulas are compared with ``==`` going through the
antecedents in order.  It includes the native prover's three repairs: an
antecedent ``_top -> B`` reduces to ``B`` by "L_Imp_Atom" even when ``_top``
is not an antecedent, premises may be a list or a tuple (anything else is a
TypeError), and the LaTeX lines put the sequent in math mode and escape the
underscores of rule labels.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional, Tuple

from quorvel.constructive.common import (FALSUM, _is_atomic, _is_falsum, _is_verum,
                                         normalize_formula)
from quorvel.core.ast import And, Formula, Implies, Or
from quorvel.core.parser import to_string

AXIOM_RULES = ("Ax", "L_Bot", "R_Top")


@dataclass(frozen=True)
class Sequent:
    antecedents: Tuple[Formula, ...] = ()
    succedent: Formula = FALSUM

    def __post_init__(self):
        object.__setattr__(self, "antecedents", tuple(self.antecedents))

    def to_string(self, notation: str = "infix") -> str:
        latex = notation == "latex"

        def fmt(f):
            if _is_falsum(f):
                return "\\bot" if latex else "_bot"
            if _is_verum(f):
                return "\\top" if latex else "_top"
            return to_string(f, notation=notation)

        turnstile = " \\vdash " if latex else " ==> "
        return ", ".join(fmt(a) for a in self.antecedents) + turnstile + fmt(self.succedent)

    def __str__(self) -> str:
        return self.to_string()


@dataclass(frozen=True)
class LJTProofNode:
    sequent: Sequent
    rule: str
    premises: Tuple["LJTProofNode", ...] = ()

    def to_dict(self) -> dict:
        return {"sequent": self.sequent.to_string(), "rule": self.rule,
                "premises": [p.to_dict() for p in self.premises]}


class LJTProofTree:
    def __init__(self, root: LJTProofNode):
        self.root = root

    @property
    def depth(self) -> int:
        def d(n):
            return 1 if not n.premises else 1 + max(d(p) for p in n.premises)
        return d(self.root)

    @property
    def size(self) -> int:
        def s(n):
            return 1 + sum(s(p) for p in n.premises)
        return s(self.root)

    def is_valid(self) -> bool:
        def v(n):
            if not n.premises:
                return n.rule in AXIOM_RULES
            return all(v(p) for p in n.premises)
        return v(self.root)

    def to_dict(self) -> dict:
        return {"root": self.root.to_dict(), "depth": self.depth, "size": self.size,
                "is_valid": self.is_valid()}

    def to_ascii(self) -> str:
        lines = [f"[{self.root.rule}] {self.root.sequent}"]

        def render(node, prefix="", is_last=True):
            lines.append(prefix + ("`-- " if is_last else "|-- ") + f"[{node.rule}] {node.sequent}")
            inner = prefix + ("    " if is_last else "|   ")
            for i, p in enumerate(node.premises):
                render(p, inner, i == len(node.premises) - 1)

        for i, p in enumerate(self.root.premises):
            render(p, "", i == len(self.root.premises) - 1)
        return "\n".join(lines)

    def to_latex(self) -> str:
        lines = ["\\begin{prooftree}"]
        inference = {1: "UnaryInfC", 2: "BinaryInfC", 3: "TrinaryInfC"}

        def rec(node):
            label = "  \\RightLabel{" + node.rule.replace("_", "\\_") + "}"
            text = "$" + node.sequent.to_string("latex") + "$}"
            if not node.premises:
                lines.extend(["  \\AxiomC{}", label, "  \\UnaryInfC{" + text])
                return
            for p in node.premises:
                rec(p)
            lines.append(label)
            lines.append("  \\" + inference.get(len(node.premises), "QuaternaryInfC") + "{" + text)

        rec(self.root)
        lines.append("\\end{prooftree}")
        return "\n".join(lines)

    __str__ = to_ascii


class LJTProver:
    def prove(self, target, premises=None) -> Optional[LJTProofTree]:
        target = normalize_formula(target)
        if premises is None:
            premises = []
        elif not isinstance(premises, (list, tuple)):
            raise TypeError("premises must be a list or tuple of formulas, not "
                            + type(premises).__name__)
        normalized = [normalize_formula(p) for p in premises]
        root = self._search(Sequent(antecedents=tuple(normalized), succedent=target))
        return None if root is None else LJTProofTree(root)

    def is_provable(self, target, premises=None) -> bool:
        return self.prove(target, premises) is not None

    def _search(self, seq: Sequent) -> Optional[LJTProofNode]:
        gamma = list(seq.antecedents)
        goal = seq.succedent

        def node(rule, *premises):
            return LJTProofNode(sequent=seq, rule=rule, premises=tuple(premises))

        def sub(ants, succ):
            return self._search(Sequent(antecedents=tuple(ants), succedent=succ))

        def rest(i):
            return gamma[:i] + gamma[i + 1:]

        if _is_verum(goal):
            return node("R_Top")
        if any(_is_falsum(a) for a in gamma):
            return node("L_Bot")
        if goal in gamma:
            return node("Ax")
        if isinstance(goal, Implies):
            p = sub(gamma + [goal.left], goal.right)
            return None if p is None else node("R_Imp", p)
        if isinstance(goal, And):
            p = sub(gamma, goal.left)
            if p is None:
                return None
            q = sub(gamma, goal.right)
            return None if q is None else node("R_And", p, q)
        for i, a in enumerate(gamma):
            if isinstance(a, And):
                p = sub(rest(i) + [a.left, a.right], goal)
                return None if p is None else node("L_And", p)
        for i, a in enumerate(gamma):
            if isinstance(a, Or):
                p = sub(rest(i) + [a.left], goal)
                if p is None:
                    return None
                q = sub(rest(i) + [a.right], goal)
                return None if q is None else node("L_Or", p, q)
        for i, a in enumerate(gamma):
            if isinstance(a, Implies) and ((_is_atomic(a.left) and a.left in gamma)
                                           or _is_verum(a.left)):
                p = sub(rest(i) + [a.right], goal)
                return None if p is None else node("L_Imp_Atom", p)
        for i, a in enumerate(gamma):
            if isinstance(a, Implies) and isinstance(a.left, And):
                d, e, b = a.left.left, a.left.right, a.right
                curried = Implies(left=d, right=Implies(left=e, right=b))
                p = sub(rest(i) + [curried], goal)
                return None if p is None else node("L_Imp_And", p)
        for i, a in enumerate(gamma):
            if isinstance(a, Implies) and isinstance(a.left, Or):
                d, e, b = a.left.left, a.left.right, a.right
                p = sub(rest(i) + [Implies(left=d, right=b), Implies(left=e, right=b)], goal)
                return None if p is None else node("L_Imp_Or", p)
        if isinstance(goal, Or):
            p = sub(gamma, goal.left)
            if p is not None:
                return node("R_Or1", p)
            p = sub(gamma, goal.right)
            if p is not None:
                return node("R_Or2", p)
        for i, a in enumerate(gamma):
            if isinstance(a, Implies) and isinstance(a.left, Implies):
                d, e, b = a.left.left, a.left.right, a.right
                p = sub(rest(i) + [Implies(left=e, right=b), d], e)
                if p is None:
                    continue
                q = sub(rest(i) + [b], goal)
                if q is not None:
                    return node("L_Imp_Imp", p, q)
        return None


def prove_ljt(formula, premises=None) -> Optional[LJTProofTree]:
    return LJTProver().prove(formula, premises)
