"""Plain-Python equivalent of ``quorvel.core.ast``, used only by the benchmarks.

The twelve node classes are ordinary frozen dataclasses; compound nodes store
their hash at construction (``_hash_cache``) and applications and equations
keep the frozenset of their free variables (``_free_vars``).  The tree
functions are the straightforward recursive ones.  Behaviour (fields, checks,
messages, hashes, renaming order) matches the native module, so the same
builder code runs against either namespace.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any

__all__ = [
    "InvalidFormulaError", "PrimitiveSort", "IND", "Ind",
    "VariableKind", "Term", "Formula",
    "Variable", "Constant", "FunctionApp", "PredicateApp", "Equality",
    "Not", "And", "Or", "Implies", "Iff", "Forall", "Exists",
    "free_variables", "bound_variables", "formula_depth", "formula_size",
    "canonicalize_bound_variables",
]


class InvalidFormulaError(Exception):
    """A node failed its construction checks, or a walk met a foreign value."""


@dataclass(frozen=True)
class PrimitiveSort:
    name: str


IND = PrimitiveSort("Ind")
Ind = IND  # the name the native module's sorts use

# Second-order quantifiers live in another module; they are recognised by the
# name of their class only, tested after every other case.
_SECOND_ORDER = ("ForallPred", "ExistsPred", "ForallFunc", "ExistsFunc")


class VariableKind(enum.Enum):
    INDIVIDUAL = "INDIVIDUAL"
    PREDICATE = "PREDICATE"
    FUNCTION = "FUNCTION"


@dataclass(frozen=True)
class Term:
    sort: Any = field(default=IND, kw_only=True)


@dataclass(frozen=True)
class Formula:
    pass


def _cached_hash(self) -> int:
    return self._hash_cache


def _compound(cls):
    """Frozen dataclass whose hash is the value stored at construction."""
    cls = dataclass(frozen=True)(cls)
    cls.__hash__ = _cached_hash
    return cls


def _hidden():
    return field(init=False, repr=False, compare=False)


def _check_symbol(symbol, what: str, kind_name: str) -> None:
    # A text symbol only has to be non-empty; anything else must look like a
    # symbol variable (has both ``index`` and ``arity``).
    if isinstance(symbol, str):
        if not symbol:
            raise InvalidFormulaError(f"{what} name cannot be empty.")
    elif not (hasattr(symbol, "index") and hasattr(symbol, "arity")):
        raise InvalidFormulaError(
            f"{what} symbol must be str or {kind_name}, got {type(symbol)}.")


def _check_arity(symbol, arity: int, args: tuple, what: str, cls: str) -> None:
    if arity < 0:
        raise InvalidFormulaError(
            f"{what} arity must be non-negative, got {arity}.")
    if len(args) != arity:
        raise InvalidFormulaError(
            f"{cls} '{symbol}' expected arity {arity}, got {len(args)} arguments.")


def _union_free(parts) -> frozenset:
    acc: set = set()
    for p in parts:
        acc |= free_variables(p)
    return frozenset(acc)


# --------------------------------------------------------------------- terms

@dataclass(frozen=True)
class Variable(Term):
    id: int
    kind: VariableKind = VariableKind.INDIVIDUAL

    def __post_init__(self):
        if self.id < 0:
            raise InvalidFormulaError(
                f"Variable ID must be non-negative, got {self.id}.")


@dataclass(frozen=True)
class Constant(Term):
    name: str

    def __post_init__(self):
        if not self.name:
            raise InvalidFormulaError("Constant name cannot be empty.")


@_compound
class FunctionApp(Term):
    func: Any
    arity: int
    args: tuple
    return_sort: Any = IND
    _hash_cache: int = _hidden()
    _free_vars: frozenset = _hidden()

    def __post_init__(self):
        _check_symbol(self.func, "Function", "FunctionVariable")
        _check_arity(self.func, self.arity, self.args, "Function", "FunctionApp")
        object.__setattr__(self, "sort", self.return_sort)
        object.__setattr__(self, "_hash_cache", hash(
            (type(self), self.func, self.arity, self.args, self.return_sort)))
        object.__setattr__(self, "_free_vars", _union_free(self.args))


# ------------------------------------------------------------------ formulas

@_compound
class PredicateApp(Formula):
    pred: Any
    arity: int
    args: tuple
    _hash_cache: int = _hidden()
    _free_vars: frozenset = _hidden()

    def __post_init__(self):
        _check_symbol(self.pred, "Predicate", "PredicateVariable")
        _check_arity(self.pred, self.arity, self.args, "Predicate", "PredicateApp")
        object.__setattr__(self, "_hash_cache", hash(
            (type(self), self.pred, self.arity, self.args)))
        object.__setattr__(self, "_free_vars", _union_free(self.args))


@_compound
class Equality(Formula):
    left: Any
    right: Any
    _hash_cache: int = _hidden()
    _free_vars: frozenset = _hidden()

    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash(
            (type(self), self.left, self.right)))
        object.__setattr__(self, "_free_vars",
                           _union_free((self.left, self.right)))


@_compound
class Not(Formula):
    operand: Any
    _hash_cache: int = _hidden()

    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash((type(self), self.operand)))


class _Binary(Formula):
    """Shared construction of the four binary connectives."""

    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash(
            (type(self), self.left, self.right)))


@_compound
class And(_Binary):
    left: Any
    right: Any
    _hash_cache: int = _hidden()


@_compound
class Or(_Binary):
    left: Any
    right: Any
    _hash_cache: int = _hidden()


@_compound
class Implies(_Binary):
    left: Any
    right: Any
    _hash_cache: int = _hidden()


@_compound
class Iff(_Binary):
    left: Any
    right: Any
    _hash_cache: int = _hidden()


class _Quantifier(Formula):
    def __post_init__(self):
        object.__setattr__(self, "_hash_cache", hash(
            (type(self), self.variable, self.body)))


@_compound
class Forall(_Quantifier):
    variable: Any
    body: Any
    _hash_cache: int = _hidden()


@_compound
class Exists(_Quantifier):
    variable: Any
    body: Any
    _hash_cache: int = _hidden()


_BINARY = (And, Or, Implies, Iff)
_QUANT = (Forall, Exists)


# ----------------------------------------------------------------- variables

_MISSING = object()


def free_variables(node) -> set:
    cached = getattr(node, "_free_vars", _MISSING)
    if cached is not _MISSING and cached is not None:
        return set(cached)
    if isinstance(node, Variable):
        return {node}
    if isinstance(node, Constant):
        return set()
    if isinstance(node, (FunctionApp, PredicateApp, Equality)):
        return set(node._free_vars)
    if isinstance(node, Not):
        return free_variables(node.operand)
    if isinstance(node, _BINARY):
        return free_variables(node.left) | free_variables(node.right)
    if isinstance(node, _QUANT):
        result = free_variables(node.body)
        result.discard(node.variable)
        return result
    if type(node).__name__ in _SECOND_ORDER:
        return free_variables(node.body)
    raise InvalidFormulaError(f"Unsupported AST node type: {type(node)}")


def bound_variables(node) -> set:
    if isinstance(node, (Variable, Constant, FunctionApp, PredicateApp, Equality)):
        return set()
    if isinstance(node, Not):
        return bound_variables(node.operand)
    if isinstance(node, _BINARY):
        return bound_variables(node.left) | bound_variables(node.right)
    if isinstance(node, _QUANT):
        return {node.variable} | bound_variables(node.body)
    if type(node).__name__ in _SECOND_ORDER:
        return bound_variables(node.body)
    raise InvalidFormulaError(f"Unsupported AST node type: {type(node)}")


# ------------------------------------------------------------ size and depth

def formula_size(formula) -> int:
    def _term_size(term) -> int:
        if isinstance(term, (Variable, Constant)):
            return 1
        if isinstance(term, FunctionApp):
            return 1 + sum(_term_size(a) for a in term.args)
        raise InvalidFormulaError(f"Expected Term, got {type(term)}")

    def size(f) -> int:
        if isinstance(f, PredicateApp):
            return 1 + sum(_term_size(a) for a in f.args)
        if isinstance(f, Equality):
            return 1 + _term_size(f.left) + _term_size(f.right)
        if isinstance(f, Not):
            return 1 + size(f.operand)
        if isinstance(f, _BINARY):
            return 1 + size(f.left) + size(f.right)
        if isinstance(f, _QUANT):
            return 1 + _term_size(f.variable) + size(f.body)
        if type(f).__name__ in _SECOND_ORDER:
            return 1 + size(f.body)
        raise InvalidFormulaError(f"Expected Formula, got {type(f)}")

    return size(formula)


def formula_depth(formula) -> int:
    f = formula
    if isinstance(f, (PredicateApp, Equality)):
        return 1
    if isinstance(f, Not):
        return 1 + formula_depth(f.operand)
    if isinstance(f, _BINARY):
        return 1 + max(formula_depth(f.left), formula_depth(f.right))
    if isinstance(f, _QUANT):
        return 1 + formula_depth(f.body)
    if type(f).__name__ in _SECOND_ORDER:
        return 1 + formula_depth(f.body)
    raise InvalidFormulaError(f"Expected Formula, got {type(f)}")


# --------------------------------------------------------- canonical renaming

class IndexGenerator:
    """Hands out identifiers 0, 1, 2, ... skipping the reserved ones."""

    def __init__(self, reserved: set):
        self.reserved = reserved
        self.current = 0

    def get_next(self) -> int:
        while self.current in self.reserved:
            self.current += 1
        result = self.current
        self.current += 1
        return result


def canonicalize_bound_variables(formula):
    reserved = {v.id for v in free_variables(formula)}
    gen = IndexGenerator(reserved)

    def _canonicalize_term(t, env):
        if isinstance(t, Variable):
            return env.get(t, t)
        if isinstance(t, Constant):
            return t
        if isinstance(t, FunctionApp):
            return FunctionApp(func=t.func, arity=t.arity,
                               args=tuple(_canonicalize_term(a, env) for a in t.args),
                               return_sort=t.return_sort)
        return t

    def _canonicalize_formula(f, env):
        if isinstance(f, PredicateApp):
            return PredicateApp(pred=f.pred, arity=f.arity,
                                args=tuple(_canonicalize_term(a, env) for a in f.args))
        if isinstance(f, Equality):
            left = _canonicalize_term(f.left, env)
            return Equality(left=left, right=_canonicalize_term(f.right, env))
        if isinstance(f, Not):
            return Not(operand=_canonicalize_formula(f.operand, env))
        if isinstance(f, _BINARY):
            left = _canonicalize_formula(f.left, env)
            return type(f)(left=left, right=_canonicalize_formula(f.right, env))
        if isinstance(f, _QUANT):
            v = f.variable
            canon = Variable(id=gen.get_next(), sort=v.sort, kind=v.kind)
            inner = dict(env)
            inner[v] = canon
            return type(f)(variable=canon, body=_canonicalize_formula(f.body, inner))
        if type(f).__name__ in _SECOND_ORDER:
            return type(f)(variable=f.variable, body=_canonicalize_formula(f.body, env))
        raise InvalidFormulaError(f"Unsupported Formula node: {type(f)}")

    return _canonicalize_formula(formula, {})
