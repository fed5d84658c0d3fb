import re

import pytest

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
)
from quorvel.core.parser import to_string
from quorvel.core.sorts import PrimitiveSort
from quorvel.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable

S = PrimitiveSort("S")
x = Variable(1, sort=S)
v12 = Variable(12, sort=S)
c = Constant("c")
p = PredicateApp("p", 0, ())
q = PredicateApp("q", 0, ())


def atom(name, *args):
    return PredicateApp(name, len(args), tuple(args))


def fn(name, *args):
    return FunctionApp(name, len(args), tuple(args))


def raises(error, message):
    return pytest.raises(error, match="^" + re.escape(message) + "$")


X = PredicateVariable("X", 0, 1)
F = FunctionVariable("F", 1, 1)

CASES = [
    # formula, infix, latex
    (p, "p", "p"),
    (PredicateApp("_bot", 0, ()), "_bot", "_bot"),
    (Variable(0), "v0", "v_{0}"),
    (v12, "v12", "v_{12}"),
    (c, "c", "c"),
    (fn("g"), "g()", "g()"),
    (atom("P", x, c), "P(v1, c)", "P(v_{1}, c)"),
    (Equality(x, c), "v1 = c", "v_{1} = c"),
    (Not(And(p, q)), "~((p & q))", "\\neg ((p \\land q))"),
    (Not(Not(q)), "~~q", "\\neg \\neg q"),
    (Not(Equality(x, c)), "~v1 = c", "\\neg v_{1} = c"),
    (Not(Forall(x, p)), "~forall v1 : S, p", "\\neg \\forall v_{1} : S, p"),
    (Or(p, q), "(p | q)", "(p \\lor q)"),
    (Implies(p, q), "(p => q)", "(p \\implies q)"),
    (Iff(p, q), "(p <=> q)", "(p \\iff q)"),
    (
        Forall(x, Implies(atom("P", x), Not(atom("Q", fn("f", x), c)))),
        "forall v1 : S, (P(v1) => ~Q(f(v1), c))",
        "\\forall v_{1} : S, (P(v_{1}) \\implies \\neg Q(f(v_{1}), c))",
    ),
    (Exists(v12, Or(p, Not(Not(q)))), "exists v12 : S, (p | ~~q)", "\\exists v_{12} : S, (p \\lor \\neg \\neg q)"),
    (ForallPred(X, PredicateApp(X, 1, (x,))), "forall_pred X, X(v1)", "\\forall X, X(v_{1})"),
    (ExistsPred(X, p), "exists_pred X, p", "\\exists X, p"),
    (ForallFunc(F, Equality(FunctionApp(F, 1, (x,)), c)), "forall_func F, F(v1) = c", "\\forall F, F(v_{1}) = c"),
    (ExistsFunc(F, p), "exists_func F, p", "\\exists F, p"),
]


@pytest.mark.parametrize(("formula", "infix", "latex"), CASES)
def test_infix_and_latex_texts(formula, infix, latex):
    assert to_string(formula) == infix
    assert to_string(formula, notation="infix") == infix
    assert to_string(formula, "latex") == latex


def test_equal_formulas_give_equal_texts():
    a = Forall(Variable(1, sort=S), Implies(atom("P", Variable(1, sort=S)), p))
    b = Forall(Variable(1, sort=S), Implies(atom("P", Variable(1, sort=S)), p))
    assert a == b and a is not b
    assert to_string(a) == to_string(b)


@pytest.mark.parametrize("notation", ["prefix", "Latex", "infix ", "", None, 5])
def test_unknown_notation_is_refused(notation):
    with raises(ValueError, f"Unsupported notation: {notation}"):
        to_string(p, notation=notation)


def test_arguments_are_checked_like_a_python_function():
    with raises(TypeError, "to_string() missing 1 required positional argument: 'formula'"):
        to_string()
    with raises(TypeError, "to_string() got an unexpected keyword argument 'style'"):
        to_string(p, style="infix")
    with raises(TypeError, "to_string() takes from 1 to 2 positional arguments but 3 were given"):
        to_string(p, "infix", "latex")


@pytest.mark.parametrize(
    ("value", "name"),
    [(5, "int"), (None, "NoneType"), ("p", "str"), (And(p, 5), "int"), (Forall(x, Not(object())), "object")],
)
def test_values_that_are_no_nodes_are_refused(value, name):
    with raises(TypeError, "Unsupported AST node type: " + name):
        to_string(value)


def test_subclass_instances_print_as_their_base_class():
    class Both(And):
        pass

    assert to_string(Not(Both(p, q))) == "~((p & q))"


def test_symbols_print_their_name_or_text():
    class Named:
        name = "N"
        index = 0
        arity = 0

        def __hash__(self):
            return 1

    class Bare:
        index = 0
        arity = 0

        def __str__(self):
            return "bare"

        def __hash__(self):
            return 2

    assert to_string(PredicateApp(Named(), 1, (c,))) == "N(c)"
    assert to_string(FunctionApp(Bare(), 0, ())) == "bare()"


def test_failing_lookups_propagate_in_visitor_order():
    nameless = Variable(1, sort=object())
    with pytest.raises(AttributeError, match="name"):
        to_string(Forall(nameless, p))
    # The body is rendered before the sort's name is looked up.
    with raises(TypeError, "Unsupported AST node type: int"):
        to_string(Forall(nameless, And(p, 5)))


def test_names_are_inserted_verbatim():
    odd = PredicateApp("a\ud800{b}", 0, ())
    assert to_string(And(odd, PredicateApp("\\x_1", 0, ())), "latex") == "(a\ud800{b} \\land \\x_1)"


def test_deep_formulas_print_without_recursion():
    f = p
    for _ in range(200_000):
        f = Not(f)
    text = to_string(f)
    assert len(text) == 200_001 and text.endswith("~~p")
    g = p
    for _ in range(100_000):
        g = Implies(g, q)
    assert to_string(g, "latex").startswith("(" * 100_000 + "p \\implies q)")
