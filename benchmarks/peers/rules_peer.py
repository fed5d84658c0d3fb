"""Plain-Python inference rules: resolution, factoring and paramodulation of
quorvel.prover.rules written as ordinary functions over the clausifier's
Clause and Literal values, with the same unifiers. Used by
benchmarks/bench_rules.py (and by the tests as a second opinion)."""

from __future__ import annotations

from quorvel.core.ast import Equality, FunctionApp, PredicateApp, Variable
from quorvel.core.substitutions import UnificationError, unify_formulas, unify_terms
from quorvel.prover.clausifier import Clause, Literal


def standardize_clause_variables(c1, c2):
    c1_vars, c2_vars = c1.free_variables(), c2.free_variables()
    if not c1_vars or not c2_vars:
        return c1, c2, {}
    offset = max(max(v.id for v in c1_vars), max(v.id for v in c2_vars)) + 1
    renaming = {}
    for v in c2_vars:
        renaming[v] = Variable(id=v.id + offset, sort=v.sort, kind=v.kind)
    return c1, c2.substitute(renaming), dict(renaming)


def resolve_clauses(c1, c2):
    c1_std, c2_std, _ = standardize_clause_variables(c1, c2)
    results, seen = [], set()
    for l1 in c1_std.literals:
        for l2 in c2_std.literals:
            if l1.positive == l2.positive:
                continue
            try:
                mgu = unify_formulas(l1.atom, l2.atom)
                rem_c1 = {lit for lit in c1_std.literals if lit != l1}
                rem_c2 = {lit for lit in c2_std.literals if lit != l2}
                resolvent = Clause(frozenset(rem_c1 | rem_c2)).substitute(mgu)
                if resolvent not in seen:
                    seen.add(resolvent)
                    results.append((resolvent, mgu, (l1, l2)))
            except UnificationError:
                continue
    return results


def factor_clause(c):
    results, seen = [], set()
    lits = list(c.literals)
    n = len(lits)
    for i in range(n):
        for j in range(i + 1, n):
            l1, l2 = lits[i], lits[j]
            if l1.positive != l2.positive:
                continue
            try:
                mgu = unify_formulas(l1.atom, l2.atom)
                factored = c.substitute(mgu)
                if len(factored.literals) < len(c.literals) and factored not in seen:
                    seen.add(factored)
                    results.append((factored, mgu))
            except UnificationError:
                continue
    return results


def extract_subterms(term):
    result = [term]
    if isinstance(term, FunctionApp):
        for arg in term.args:
            result.extend(extract_subterms(arg))
    return result


def extract_atom_subterms(atom):
    if isinstance(atom, PredicateApp):
        return [t for arg in atom.args for t in extract_subterms(arg)]
    if isinstance(atom, Equality):
        return extract_subterms(atom.left) + extract_subterms(atom.right)
    return []


def replace_subterm(term, target, replacement):
    results = []
    if term == target:
        results.append(replacement)
    if isinstance(term, FunctionApp):
        for i, arg in enumerate(term.args):
            for r in replace_subterm(arg, target, replacement):
                args = term.args[:i] + (r,) + term.args[i + 1:]
                results.append(FunctionApp(func=term.func, arity=term.arity, args=args, return_sort=term.return_sort))
    return results


def replace_atom_subterm(atom, target, replacement):
    results = []
    if isinstance(atom, PredicateApp):
        for i, arg in enumerate(atom.args):
            for r in replace_subterm(arg, target, replacement):
                results.append(PredicateApp(pred=atom.pred, arity=atom.arity, args=atom.args[:i] + (r,) + atom.args[i + 1:]))
    elif isinstance(atom, Equality):
        for r in replace_subterm(atom.left, target, replacement):
            results.append(Equality(left=r, right=atom.right))
        for r in replace_subterm(atom.right, target, replacement):
            results.append(Equality(left=atom.left, right=r))
    return results


def paramodulate(c1, c2):
    results, seen = [], set()

    def _param_ordered(cla, clb):
        cla_std, clb_std, _ = standardize_clause_variables(cla, clb)
        for l_eq in cla_std.literals:
            if not (l_eq.positive and isinstance(l_eq.atom, Equality)):
                continue
            t1, t2 = l_eq.atom.left, l_eq.atom.right
            for lhs, rhs in ((t1, t2), (t2, t1)):
                for l_target in clb_std.literals:
                    if not isinstance(l_target.atom, (PredicateApp, Equality)):
                        continue
                    for s in extract_atom_subterms(l_target.atom):
                        if isinstance(s, Variable):
                            continue
                        try:
                            mgu = unify_terms(s, lhs)
                            for new_atom in replace_atom_subterm(l_target.atom, s, rhs):
                                new_lit = Literal(atom=new_atom, positive=l_target.positive)
                                rem_cla = {lit for lit in cla_std.literals if lit != l_eq}
                                rem_clb = {lit for lit in clb_std.literals if lit != l_target}
                                para = Clause(frozenset(rem_cla | rem_clb | {new_lit})).substitute(mgu)
                                if para not in seen:
                                    seen.add(para)
                                    results.append((para, mgu))
                        except UnificationError:
                            continue

    _param_ordered(c1, c2)
    _param_ordered(c2, c1)
    return results
