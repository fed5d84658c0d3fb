import pytest
from hypothesis import given
from strategies import propositional_formulas

from quorvel.constructive.common import (
    FALSUM,
    VERUM,
    _formula_weight,
    _is_atomic,
    _is_falsum,
    _is_verum,
    normalize_formula,
)
from quorvel.constructive.kripke import KripkeModel, World
from quorvel.core.ast import And, Constant, Equality, Exists, Forall, Iff, Implies, Not, Or, PredicateApp, Variable

p = PredicateApp("p", 0, ())
q = PredicateApp("q", 0, ())
x = Variable(1)


class Atom(PredicateApp):
    pass


class EqualsAnything:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def test_constants_are_the_two_named_atoms():
    assert FALSUM == PredicateApp("_bot", 0, ())
    assert VERUM == PredicateApp("_top", 0, ())
    assert hash(FALSUM) == hash(PredicateApp("_bot", 0, ()))


@pytest.mark.parametrize(
    ("formula", "falsum", "verum", "atomic"),
    [
        (FALSUM, True, False, True),
        (PredicateApp("_bot", 0, ()), True, False, True),
        (VERUM, False, True, True),
        (p, False, False, True),
        (PredicateApp("_bot", 1, (Constant("c"),)), False, False, True),
        (Atom("_bot", 0, ()), False, False, True),  # another class is never equal
        (Not(FALSUM), False, False, False),
        (Implies(p, FALSUM), False, False, False),
        (Iff(p, q), False, False, False),
        (Equality(x, x), False, False, False),
        (Forall(x, p), False, False, False),
        (5, False, False, False),
        (EqualsAnything(), True, True, False),  # exactly `formula == FALSUM`
    ],
)
def test_tests(formula, falsum, verum, atomic):
    assert (_is_falsum(formula), _is_verum(formula), _is_atomic(formula)) == (falsum, verum, atomic)


def test_a_failing_eq_propagates():
    class Broken:
        def __eq__(self, other):
            raise ZeroDivisionError("eq")

        __hash__ = object.__hash__

    with pytest.raises(ZeroDivisionError):
        _is_falsum(Broken())


@pytest.mark.parametrize(
    ("formula", "expected"),
    [
        (Not(p), Implies(p, FALSUM)),
        (Iff(p, q), And(Implies(p, q), Implies(q, p))),
        (Not(Not(p)), Implies(Implies(p, FALSUM), FALSUM)),
        (Or(p, Not(q)), Or(p, Implies(q, FALSUM))),
        (Iff(Not(p), q), And(Implies(Implies(p, FALSUM), q), Implies(q, Implies(p, FALSUM)))),
        (Forall(x, Not(p)), Forall(x, Implies(p, FALSUM))),
        (Exists(x, Iff(p, p)), Exists(x, And(Implies(p, p), Implies(p, p)))),
    ],
)
def test_normalize_rewrites_not_and_iff(formula, expected):
    assert normalize_formula(formula) == expected


@pytest.mark.parametrize(
    "formula", [p, FALSUM, And(p, Or(q, Implies(p, VERUM))), Equality(x, x), Forall(x, Implies(p, q)), 5]
)
def test_normalize_returns_formulas_without_not_or_iff_unchanged(formula):
    assert normalize_formula(formula) is formula


def test_normalize_keeps_untouched_subtrees_and_shares_work():
    kept = And(p, q)
    assert normalize_formula(Or(kept, Not(q))).left is kept
    f = Not(p)
    for _ in range(300):  # a DAG of 2**300 paths
        f = And(f, f)
    g = normalize_formula(f)
    assert g.left is g.right


def test_normalize_handles_deep_formulas():
    f = p
    for _ in range(200_000):
        f = Not(f)
    g = normalize_formula(f)
    for _ in range(200_000):
        assert isinstance(g, Implies) and g.right == FALSUM
        g = g.left
    assert g is p


def _connectives(formula):
    stack, seen = [formula], set()
    while stack:
        f = stack.pop()
        seen.add(type(f))
        if isinstance(f, Not):
            stack.append(f.operand)
        elif isinstance(f, (And, Or, Implies, Iff)):
            stack += [f.left, f.right]
    return seen


@given(propositional_formulas())
def test_normalize_removes_not_and_iff_and_is_idempotent(formula):
    once = normalize_formula(formula)
    assert not _connectives(once) & {Not, Iff}
    assert normalize_formula(once) is once
    assert normalize_formula(formula) == once


WORLDS = [World(i, f"w{i}") for i in range(4)]


def _models():
    chain = KripkeModel()
    for a, b in zip(WORLDS, WORLDS[1:]):
        chain.add_relation(a, b)
    chain.add_valuation(WORLDS[1], p)
    chain.add_valuation(WORLDS[3], q)
    fork = KripkeModel()
    fork.add_relation(WORLDS[0], WORLDS[1])
    fork.add_relation(WORLDS[0], WORLDS[2])
    fork.add_valuation(WORLDS[1], p)
    fork.add_valuation(WORLDS[2], PredicateApp("r", 0, ()))
    return chain, fork


MODELS = _models()


@given(propositional_formulas())
def test_normalize_is_intuitionistically_equivalent(formula):
    normal = normalize_formula(formula)
    for model in MODELS:
        for w in model.worlds:
            assert model.evaluate(normal, w) == model.evaluate(formula, w)


@pytest.mark.parametrize(
    ("formula", "weight"),
    [(p, 1), (Not(p), 2), (And(p, Implies(q, FALSUM)), 5), (Forall(x, Equality(x, x)), 2)],
)
def test_formula_weight(formula, weight):
    assert _formula_weight(formula) == weight


def test_formula_weight_counts_shared_subtrees_unfolded():
    f = p
    for _ in range(100):
        f = And(f, f)
    assert _formula_weight(f) == 2**101 - 1


def test_helpers_take_one_positional_argument():
    with pytest.raises(TypeError):
        normalize_formula()
    with pytest.raises(TypeError):
        _is_falsum(p, p)
