"""Plain-Python clausal normal form: the pipeline of quorvel.prover.clausifier
written as ordinary recursive functions over quorvel.core.ast nodes, with
frozen dataclasses for literals and clauses and a plain substitution. Used by
benchmarks/bench_clausifier.py (and by the tests as a second opinion)."""

from __future__ import annotations

import itertools
from dataclasses import dataclass, field

from quorvel.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
    bound_variables,
    free_variables,
)


# ----------------------------------------------------------------- substitution

def substitute_term(term, mapping):
    if isinstance(term, Variable):
        return mapping.get(term, term)
    if isinstance(term, FunctionApp):
        return FunctionApp(func=term.func, arity=term.arity, args=tuple(substitute_term(a, mapping) for a in term.args),
                           return_sort=term.return_sort)
    return term


def substitute_formula(formula, mapping):
    """Substitution for the pipeline's inputs, whose bound variables are apart."""
    if isinstance(formula, PredicateApp):
        return PredicateApp(pred=formula.pred, arity=formula.arity,
                            args=tuple(substitute_term(a, mapping) for a in formula.args))
    if isinstance(formula, Equality):
        return Equality(left=substitute_term(formula.left, mapping), right=substitute_term(formula.right, mapping))
    if isinstance(formula, Not):
        return Not(operand=substitute_formula(formula.operand, mapping))
    if isinstance(formula, (And, Or, Implies, Iff)):
        return type(formula)(left=substitute_formula(formula.left, mapping),
                             right=substitute_formula(formula.right, mapping))
    if isinstance(formula, (Forall, Exists)):
        inner = {k: v for k, v in mapping.items() if k != formula.variable}
        return type(formula)(variable=formula.variable, body=substitute_formula(formula.body, inner))
    raise ValueError(f"Unsupported formula: {type(formula)}")


# ------------------------------------------------------------ literals, clauses

@dataclass(frozen=True)
class Literal:
    atom: object
    positive: bool = True
    _hash_cache: int = field(init=False, repr=False, compare=False)
    _free_vars: frozenset = field(init=False, repr=False, compare=False)

    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash((Literal, self.atom, self.positive)))
        object.__setattr__(self, "_free_vars", frozenset(free_variables(self.atom)))

    def __hash__(self):
        return self._hash_cache

    def to_string(self):
        if isinstance(self.atom, Equality):
            return f"{self.atom.left!r}{' = ' if self.positive else ' ≠ '}{self.atom.right!r}"
        return ("" if self.positive else "¬") + repr(self.atom)


@dataclass(frozen=True)
class Clause:
    literals: frozenset = field(default_factory=frozenset)
    _hash_cache: int = field(init=False, repr=False, compare=False)
    _is_tautology: bool = field(init=False, repr=False, compare=False)

    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash((Clause, self.literals)))
        positives = {lit.atom for lit in self.literals if lit.positive}
        negatives = {lit.atom for lit in self.literals if not lit.positive}
        object.__setattr__(self, "_is_tautology", bool(positives & negatives))

    def __hash__(self):
        return self._hash_cache

    @property
    def is_tautology(self):
        return self._is_tautology

    def to_string(self):
        if not self.literals:
            return "□"
        return " ∨ ".join(sorted(lit.to_string() for lit in self.literals))


# --------------------------------------------------------------------- pipeline

def eliminate_implications(f):
    if isinstance(f, (PredicateApp, Equality)):
        return f
    if isinstance(f, Not):
        return Not(operand=eliminate_implications(f.operand))
    if isinstance(f, Implies):
        a, b = eliminate_implications(f.left), eliminate_implications(f.right)
        return Or(left=Not(operand=a), right=b)
    if isinstance(f, Iff):
        a, b = eliminate_implications(f.left), eliminate_implications(f.right)
        return And(left=Or(left=Not(operand=a), right=b), right=Or(left=Not(operand=b), right=a))
    if isinstance(f, And):
        return And(left=eliminate_implications(f.left), right=eliminate_implications(f.right))
    if isinstance(f, Or):
        return Or(left=eliminate_implications(f.left), right=eliminate_implications(f.right))
    if isinstance(f, Forall):
        return Forall(variable=f.variable, body=eliminate_implications(f.body))
    if isinstance(f, Exists):
        return Exists(variable=f.variable, body=eliminate_implications(f.body))
    raise ValueError(f"Unsupported formula node: {type(f)}")


def to_nnf(f):
    if isinstance(f, (PredicateApp, Equality)):
        return f
    if isinstance(f, Not):
        op = f.operand
        if isinstance(op, Not):
            return to_nnf(op.operand)
        if isinstance(op, And):
            return Or(left=to_nnf(Not(operand=op.left)), right=to_nnf(Not(operand=op.right)))
        if isinstance(op, Or):
            return And(left=to_nnf(Not(operand=op.left)), right=to_nnf(Not(operand=op.right)))
        if isinstance(op, Forall):
            return Exists(variable=op.variable, body=to_nnf(Not(operand=op.body)))
        if isinstance(op, Exists):
            return Forall(variable=op.variable, body=to_nnf(Not(operand=op.body)))
        if isinstance(op, (Implies, Iff)):
            return to_nnf(Not(operand=eliminate_implications(op)))
        if isinstance(op, (PredicateApp, Equality)):
            return f
        raise ValueError(f"Unsupported negated formula operand: {type(op)}")
    if isinstance(f, And):
        return And(left=to_nnf(f.left), right=to_nnf(f.right))
    if isinstance(f, Or):
        return Or(left=to_nnf(f.left), right=to_nnf(f.right))
    if isinstance(f, Forall):
        return Forall(variable=f.variable, body=to_nnf(f.body))
    if isinstance(f, Exists):
        return Exists(variable=f.variable, body=to_nnf(f.body))
    if isinstance(f, (Implies, Iff)):
        return to_nnf(eliminate_implications(f))
    raise ValueError(f"Unsupported formula node: {type(f)}")


def standardize_variables(formula):
    variables = free_variables(formula) | bound_variables(formula)
    counter = itertools.count(max((v.id for v in variables), default=0) + 1)

    def _std(f, env):
        if isinstance(f, (PredicateApp, Equality)):
            return f if not env else substitute_formula(f, env)
        if isinstance(f, Not):
            return Not(operand=_std(f.operand, env))
        if isinstance(f, (And, Or, Implies, Iff)):
            left = _std(f.left, env)
            return type(f)(left=left, right=_std(f.right, env))
        if isinstance(f, (Forall, Exists)):
            fresh = Variable(id=next(counter), kind=f.variable.kind, sort=f.variable.sort)
            inner = dict(env)
            inner[f.variable] = fresh
            return type(f)(variable=fresh, body=_std(f.body, inner))
        raise ValueError(f"Unsupported formula: {type(f)}")

    return _std(formula, {})


_skolem_constant_counter = itertools.count()
_skolem_function_counter = itertools.count()


def reset_skolem_counters():
    global _skolem_constant_counter, _skolem_function_counter
    _skolem_constant_counter = itertools.count()
    _skolem_function_counter = itertools.count()


def _symbols(f, out):
    if isinstance(f, Constant):
        out.add(f.name)
    elif isinstance(f, (FunctionApp, PredicateApp)):
        out.add(f.func if isinstance(f, FunctionApp) else f.pred)
        for a in f.args:
            _symbols(a, out)
    elif isinstance(f, Equality):
        _symbols(f.left, out)
        _symbols(f.right, out)
    elif isinstance(f, Not):
        _symbols(f.operand, out)
    elif isinstance(f, (And, Or, Implies, Iff)):
        _symbols(f.left, out)
        _symbols(f.right, out)
    elif isinstance(f, (Forall, Exists)):
        _symbols(f.body, out)
    return out


def skolemize(formula, signature=None):
    taken = _symbols(formula, set())

    def fresh(prefix, counter_name):
        while True:
            name = f"{prefix}{next(globals()[counter_name])}"
            if name not in taken:
                return name

    def _sk(f, outer):
        if isinstance(f, (PredicateApp, Equality)):
            return f
        if isinstance(f, Not):
            return Not(operand=_sk(f.operand, outer))
        if isinstance(f, (And, Or)):
            left = _sk(f.left, outer)
            return type(f)(left=left, right=_sk(f.right, outer))
        if isinstance(f, Forall):
            return Forall(variable=f.variable, body=_sk(f.body, outer + [f.variable]))
        if isinstance(f, Exists):
            v = f.variable
            if not outer:
                name = fresh("sk_c", "_skolem_constant_counter")
                term = Constant(name, sort=v.sort)
                if signature is not None:
                    try:
                        signature.register_constant(name, v.sort)
                    except Exception:
                        pass
            else:
                name = fresh("sk_f", "_skolem_function_counter")
                sorts = tuple(u.sort for u in outer)
                term = FunctionApp(func=name, arity=len(outer), args=tuple(outer), return_sort=v.sort)
                if signature is not None:
                    try:
                        signature.register_function(name, len(outer), sorts, v.sort)
                    except Exception:
                        pass
            return _sk(substitute_formula(f.body, {v: term}), outer)
        raise ValueError(f"Unsupported formula in skolemization: {type(f)}")

    return _sk(formula, [])


def drop_universals(f):
    if isinstance(f, Forall):
        return drop_universals(f.body)
    if isinstance(f, Exists):
        return Exists(variable=f.variable, body=drop_universals(f.body))
    if isinstance(f, (PredicateApp, Equality)):
        return f
    if isinstance(f, Not):
        return Not(operand=drop_universals(f.operand))
    if isinstance(f, (And, Or)):
        left = drop_universals(f.left)
        return type(f)(left=left, right=drop_universals(f.right))
    raise ValueError(f"Unsupported formula: {type(f)}")


def distribute_cnf(f):
    if isinstance(f, (PredicateApp, Equality, Not)):
        return f
    if isinstance(f, And):
        return And(left=distribute_cnf(f.left), right=distribute_cnf(f.right))
    if isinstance(f, Or):
        left, right = distribute_cnf(f.left), distribute_cnf(f.right)
        if isinstance(left, And):
            return distribute_cnf(And(left=Or(left=left.left, right=right), right=Or(left=left.right, right=right)))
        if isinstance(right, And):
            return distribute_cnf(And(left=Or(left=left, right=right.left), right=Or(left=left, right=right.right)))
        return Or(left=left, right=right)
    raise ValueError(f"Unsupported formula in CNF distribution: {type(f)}")


def formula_to_clauses(formula):
    conjuncts = []

    def _collect_and(f):
        if isinstance(f, And):
            _collect_and(f.left)
            _collect_and(f.right)
        else:
            conjuncts.append(f)

    def _collect_or(f, lits):
        if isinstance(f, Or):
            _collect_or(f.left, lits)
            _collect_or(f.right, lits)
        elif isinstance(f, Not):
            assert isinstance(f.operand, (PredicateApp, Equality))
            lits.add(Literal(atom=f.operand, positive=False))
        elif isinstance(f, (PredicateApp, Equality)):
            lits.add(Literal(atom=f, positive=True))
        else:
            raise ValueError(f"Unexpected formula inside clause: {type(f)}")

    _collect_and(formula)
    result = []
    for conjunct in conjuncts:
        lits = set()
        _collect_or(conjunct, lits)
        clause = Clause(literals=frozenset(lits))
        if not clause.is_tautology:
            result.append(clause)
    return result


def to_cnf(formula, signature=None):
    f = eliminate_implications(formula)
    f = to_nnf(f)
    f = standardize_variables(f)
    f = skolemize(f, signature)
    f = drop_universals(f)
    f = distribute_cnf(f)
    return formula_to_clauses(f)
