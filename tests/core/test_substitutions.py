import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Not,
    PredicateApp,
    Variable,
    free_variables,
)
from quorvel.core.sorts import Nat
from quorvel.core.substitutions import (
    UnificationError,
    substitute_formula,
    substitute_term,
    unify_formulas,
    unify_terms,
)
from strategies import VARIABLES, terms

x, y, z = Variable(id=0), Variable(id=1), Variable(id=2)
a, b = Constant("a"), Constant("b")


def f(*args):
    return FunctionApp(func="f", arity=len(args), args=args)


def g(*args):
    return FunctionApp(func="g", arity=len(args), args=args)


def P(*args):
    return PredicateApp("P", len(args), args)


# ---------------------------------------------------------------- substitution


def test_substitution_replaces_free_occurrences_and_keeps_the_rest():
    formula = And(P(x, y), Forall(x, P(x, z)))
    result = substitute_formula(formula, {x: a, z: f(x)})
    # The bound x is hidden; the free z becomes f(x), so the binder is renamed
    # apart from the new free x.
    assert result.left == P(a, y)
    renamed = result.right.variable
    assert renamed != x and renamed.id > 2
    assert result.right.body == P(renamed, f(x))


def test_unchanged_parts_are_the_same_objects_and_the_mapping_is_kept():
    untouched = P(y)
    formula = And(untouched, P(x))
    mapping = {x: a}
    result = substitute_formula(formula, mapping)
    assert result.left is untouched
    assert mapping == {x: a}
    assert substitute_formula(untouched, mapping) is untouched


def test_no_renaming_without_capture():
    formula = Forall(y, P(x))
    assert substitute_formula(formula, {x: f(z)}) == Forall(y, P(f(z)))
    assert substitute_formula(Forall(y, P(z)), {x: f(y)}) == Forall(y, P(z))


def test_substitute_term_and_variables_match_by_value():
    assert substitute_term(g(x, f(Variable(id=0))), {Variable(id=0): b}) == g(b, f(b))
    # Another sort is another variable.
    assert substitute_term(Variable(id=0, sort=Nat), {x: b}) == Variable(id=0, sort=Nat)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: substitute_formula(x, {}), "substitute_formula expects a formula, got <class 'quorvel.core.ast.Variable'>"),
        (lambda: substitute_term(P(), {}), "substitute_term expects a term, got <class 'quorvel.core.ast.PredicateApp'>"),
        (lambda: substitute_formula(P(x), [(x, a)]), "substitution must be a dict from Variable to term, got <class 'list'>"),
    ],
)
def test_substitution_refuses_wrong_arguments(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_deep_and_shared_trees():
    deep = P(x)
    for _ in range(100_000):
        deep = Not(deep)
    result = substitute_formula(deep, {x: a})
    for _ in range(100_000):
        result = result.operand
    assert result == P(a)
    shared = P(x)
    for _ in range(200):  # 2**200 paths, 201 objects
        shared = And(shared, shared)
    result = substitute_formula(shared, {x: a})
    assert result.left is result.right


# ------------------------------------------------------------------ unification


def apply(mgu, term):
    return substitute_term(term, mgu)


@pytest.mark.parametrize(
    "left, right",
    [
        (f(x, g(y, a)), f(g(z, z), x)),
        (g(x, y), g(y, x)),
        (g(x, f(y)), g(f(z), f(f(a)))),
        (x, x),
        (a, a),
    ],
)
def test_unifiers_unify_and_are_idempotent(left, right):
    mgu = unify_terms(left, right)
    assert apply(mgu, left) == apply(mgu, right)
    for value in mgu.values():
        assert not free_variables(value) & mgu.keys()


@pytest.mark.parametrize(
    "left, right, message",
    [
        (x, f(x), "Occurs check failed: "),
        (g(x, y), g(y, f(x)), "Occurs check failed: "),
        (f(a), f(b), "Cannot unify "),
        (f(x), g(x, x), "Cannot unify "),
        (x, Constant("n", sort=Nat), "their sorts differ"),
    ],
)
def test_unification_failures(left, right, message):
    with pytest.raises(UnificationError, match=re.escape(message)):
        unify_terms(left, right)


def test_unify_formulas_by_atoms_and_connectives():
    mgu = unify_formulas(And(P(x), Equality(x, y)), And(P(f(a)), Equality(z, b)))
    assert substitute_formula(And(P(x), Equality(x, y)), mgu) == substitute_formula(And(P(f(a)), Equality(z, b)), mgu)
    with pytest.raises(UnificationError):
        unify_formulas(P(x), PredicateApp("Q", 1, (x,)))
    with pytest.raises(UnificationError):
        unify_formulas(Forall(y, P(x)), Forall(y, P(a)))
    assert unify_formulas(Exists(y, P(y)), Exists(y, P(y))) == {}
    with pytest.raises(TypeError, match=re.escape("unify_formulas expects two formulas")):
        unify_formulas(x, P(x))


def test_long_chains_resolve_in_one_pass():
    # x0 = f(x1), x1 = f(x2), ...: the unifier maps x0 to the whole tower.
    n = 2000
    xs = [Variable(id=i) for i in range(n + 1)]
    left = FunctionApp(func="h", arity=n, args=tuple(xs[:n]))
    right = FunctionApp(func="h", arity=n, args=tuple(f(v) for v in xs[1:]))
    mgu = unify_terms(left, right)
    assert apply(mgu, left) == apply(mgu, right)
    assert len(free_variables(mgu[xs[0]])) == 1


@settings(max_examples=300, deadline=None)
@given(terms(max_leaves=8), terms(max_leaves=8))
def test_random_unifiers(left, right):
    try:
        mgu = unify_terms(left, right)
    except UnificationError:
        # No unifier: then in particular no ground instance of the variables
        # by one constant makes them equal... only checked for ground pairs.
        if not free_variables(left) and not free_variables(right):
            assert left != right
        return
    once_left, once_right = apply(mgu, left), apply(mgu, right)
    assert once_left == once_right
    assert apply(mgu, once_left) == once_left


@settings(max_examples=200, deadline=None)
@given(terms(max_leaves=6), st.sampled_from(VARIABLES))
def test_a_variable_unifies_with_a_term_exactly_when_it_does_not_occur_in_it(term, var):
    occurs = var in free_variables(term) and term != var
    if occurs:
        with pytest.raises(UnificationError, match="Occurs check failed"):
            unify_terms(var, term)
    else:
        mgu = unify_terms(var, term)
        assert apply(mgu, var) == apply(mgu, term)
