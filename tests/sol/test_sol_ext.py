import pytest

from quorvel.core.ast import And, Constant, Equality, Forall, FunctionApp, Implies, Not, PredicateApp, Variable
from quorvel.sol.ast_ext import ForallPred, PredicateVariable
from quorvel.sol.kb_ext import instantiate_induction
from quorvel.sol.substitutions_ext import ho_pattern_unify, substitute_predicate

P = PredicateVariable("P", 0, 1)
x, y, z = Variable(id=0), Variable(id=1), Variable(id=2)
a = Constant("a")


def app(var, *args):
    return PredicateApp(pred=var, arity=len(args), args=args)


def q(*args):
    return PredicateApp("q", len(args), args)


@pytest.mark.parametrize(
    "pattern, target, bound, expected",
    [
        (app(P, x), q(x, a), {x}, {P: ((x,), q(x, a))}),
        (Forall(x, app(P, x)), Forall(y, Not(q(y))), None, {P: ((x,), Not(q(x)))}),
        (And(app(P, x), app(P, x)), And(q(x), q(x)), {x}, {P: ((x,), q(x))}),
        (And(app(P, x), app(P, x)), And(q(x), q(a)), {x}, None),
        (Forall(x, app(P, y)), Forall(z, q(z)), {y}, None),  # the quantified variable would escape
        (app(P, a), q(a), None, None),  # not a pattern: the argument is no bound variable
        (q(x), q(y), None, None),
    ],
)
def test_pattern_matching(pattern, target, bound, expected):
    assert ho_pattern_unify(pattern, target, bound_vars=bound) == expected


def test_predicate_substitution_beta_reduces_and_respects_binders():
    f_a = FunctionApp(func="f", arity=1, args=(a,))
    formula = Implies(app(P, f_a), Forall(y, app(P, y)))
    assert substitute_predicate(formula, {P: ((x,), q(x, y))}) == Implies(q(f_a, y), Forall(Variable(id=2), q(Variable(id=2), y)))
    hidden = ForallPred(variable=P, body=app(P, x))
    assert substitute_predicate(hidden, {P: ((x,), q(x))}) is hidden
    with pytest.raises(ValueError, match="applied to 1 arguments"):
        substitute_predicate(app(P, x), {P: ((), q(a))})


def test_induction_instance():
    zero = Constant("zero")
    succ_x = FunctionApp(func="succ", arity=1, args=(x,))
    body = Equality(x, x)
    assert instantiate_induction(body, x) == Implies(
        And(Equality(zero, zero), Forall(x, Implies(body, Equality(succ_x, succ_x)))), Forall(x, body)
    )
