"""Hypothesis strategies shared by the test modules."""

from hypothesis import strategies as st

from quorvel.constructive.common import FALSUM, VERUM
from quorvel.core.ast import And, Iff, Implies, Not, Or, PredicateApp

# ---------------------------------------------------------------------------
# Propositional formulas and Kripke model operations
# (tests/constructive/test_common.py, tests/constructive/test_kripke.py)

ATOMS = tuple(PredicateApp(name, 0, ()) for name in ("p", "q", "r", "s"))


def propositional_formulas(atoms=ATOMS, constants=True, max_leaves=16):
    """Formulas over `atoms` (and FALSUM, VERUM) with Not, And, Or, Implies, Iff."""
    leaves = st.sampled_from(list(atoms) + ([FALSUM, VERUM] if constants else []))

    def extend(children):
        pairs = st.tuples(children, children)
        return st.one_of(
            children.map(Not),
            pairs.map(lambda t: And(*t)),
            pairs.map(lambda t: Or(*t)),
            pairs.map(lambda t: Implies(*t)),
            pairs.map(lambda t: Iff(*t)),
        )

    return st.recursive(leaves, extend, max_leaves=max_leaves)


def kripke_operations(worlds=6, atoms=ATOMS):
    """Lists of model operations as tuples over world numbers 0..worlds-1:
    ("world", i), ("relation", i, j), ("valuation", i, atom)."""
    index = st.integers(0, worlds - 1)
    return st.lists(
        st.one_of(
            st.tuples(st.just("world"), index),
            st.tuples(st.just("relation"), index, index),
            st.tuples(st.just("valuation"), index, st.sampled_from(atoms)),
        ),
        max_size=25,
    )


# ---------------------------------------------------------------------------
# Questions for the intuitionistic provers: a target and a list of premises
# (tests/constructive/test_ljt.py, tests/test_cross_check.py)


def ljt_questions(atoms=ATOMS[:3], max_leaves=8, max_premises=2):
    """(target, premises) pairs of small formulas; small enough for the plain,
    uncached search and for the tableau's default bounds."""
    formulas = propositional_formulas(atoms=atoms, max_leaves=max_leaves)
    return st.tuples(formulas, st.lists(propositional_formulas(atoms=atoms, max_leaves=4), max_size=max_premises))


# ---------------------------------------------------------------------------
# Labelled tableau (tests/constructive/test_tableau.py)


def tableau_questions(atoms=ATOMS[:3], max_leaves=7, max_premises=2):
    """(target, premises) pairs small enough for the tableau with modest bounds."""
    formulas = propositional_formulas(atoms=atoms, max_leaves=max_leaves)
    return st.tuples(formulas, st.lists(propositional_formulas(atoms=atoms, max_leaves=3), max_size=max_premises))


def _build_model(operations):
    from quorvel.constructive.kripke import KripkeModel, World

    model = KripkeModel()
    for op in operations:
        worlds = [World(i, f"m{i}") for i in op[1:] if isinstance(i, int)]
        if op[0] == "world":
            model.add_world(*worlds)
        elif op[0] == "relation":
            model.add_relation(*worlds)
        else:
            model.add_valuation(worlds[0], op[2])
    return model


def small_kripke_models(worlds=3, atoms=ATOMS[:3]):
    """Kripke models over at most `worlds` worlds, built through add_world,
    add_relation and add_valuation (so reflexive, transitive and monotone)."""
    return kripke_operations(worlds=worlds, atoms=atoms).map(_build_model)


# ---------------------------------------------------------------------------
# Trees with quantifiers of both orders (tests/core/test_visitors.py)


def _first_order_pieces(max_id):
    from quorvel.core.ast import Constant, FunctionApp, Variable
    from quorvel.sol.ast_ext import FunctionVariable

    variables = st.builds(Variable, st.integers(0, max_id))
    symbols = st.sampled_from(["f", "g", FunctionVariable("F", 0, 1)])

    def applications(children):
        return st.builds(lambda s, a: FunctionApp(s, 1, (a,)), symbols, children)

    terms = st.recursive(
        st.one_of(variables, st.sampled_from([Constant("c"), Constant("d")])), applications, max_leaves=4
    )
    return variables, terms


def mixed_order_terms(max_id=4):
    """Terms over variables 0..max_id, constants c, d and unary f, g and F (a function variable)."""
    return _first_order_pieces(max_id)[1]


def mixed_order_formulas(max_id=4, max_leaves=10):
    """Formulas with atoms, equations, the five connectives, Forall/Exists over
    variables 0..max_id, and the four second-order quantifiers."""
    from quorvel.core.ast import And, Equality, Exists, Forall, Iff, Implies, Not, Or, PredicateApp
    from quorvel.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable

    variables, terms = _first_order_pieces(max_id)
    atoms = st.one_of(
        st.sampled_from([PredicateApp("p", 0, ()), PredicateApp("q", 0, ())]),
        st.builds(lambda a, b: PredicateApp("R", 2, (a, b)), terms, terms),
        st.builds(lambda a: PredicateApp(PredicateVariable("X", 0, 1), 1, (a,)), terms),
        st.builds(Equality, terms, terms),
    )
    binders = {
        ForallPred: PredicateVariable("X", 0, 1),
        ExistsPred: PredicateVariable("X", 0, 1),
        ForallFunc: FunctionVariable("F", 0, 1),
        ExistsFunc: FunctionVariable("F", 0, 1),
    }

    def extend(children):
        pairs = st.tuples(children, children)
        return st.one_of(
            children.map(Not),
            st.builds(lambda c, t: c(*t), st.sampled_from([And, Or, Implies, Iff]), pairs),
            st.builds(lambda q, v, b: q(v, b), st.sampled_from([Forall, Exists]), variables, children),
            st.builds(lambda q, b: q(binders[q], b), st.sampled_from(list(binders)), children),
        )

    return st.recursive(atoms, extend, max_leaves=max_leaves)


def substitutions(max_id=4):
    """Mappings from some of the variables 0..max_id to terms."""
    from quorvel.core.ast import Variable

    return st.dictionaries(st.builds(Variable, st.integers(0, max_id)), mixed_order_terms(max_id), max_size=3)


# ---------------------------------------------------------------------------
# Prefix words (tests/constructive/test_prefix.py)


def prefix_word_names(max_size=5):
    """Words as lists of symbol names: c1..c3 constants, V1..V4 variables."""
    return st.lists(st.sampled_from(["c1", "c2", "c3", "V1", "V2", "V3", "V4"]), max_size=max_size)


def prefix_start_bindings():
    """Starting bindings within the unifier's limit, as (variable name, word
    names) pairs: the variables V5..V7 bound to words over constants and the
    unbound V1..V4, so no bound variable stands inside a bound word."""
    word = st.lists(st.sampled_from(["c1", "c2", "V1", "V2"]), max_size=3)
    return st.lists(st.tuples(st.sampled_from(["V5", "V6", "V7"]), word), max_size=3, unique_by=lambda b: b[0])


# ---------------------------------------------------------------------------
# Formula trees (tests/constructive/test_matrix.py)


def matrix_questions(atoms=ATOMS[:3]):
    """(target, premises, multiplicity) with small formulas, so that the
    number of matrix paths stays small at multiplicity 1 and 2."""
    small = propositional_formulas(atoms=atoms, max_leaves=6)
    return st.tuples(small, st.lists(propositional_formulas(atoms=atoms, max_leaves=3), max_size=2), st.integers(-1, 2))


# ---------------------------------------------------------------------------
# First-order terms and formulas (tests/core/test_substitutions.py,
# tests/prover/test_clausifier.py)

from quorvel.core.ast import (  # noqa: E402
    Constant,
    Equality,
    Exists,
    Forall,
    FunctionApp,
    Variable,
)

VARIABLES = tuple(Variable(id=i) for i in range(3))
CONSTANTS = (Constant("a"), Constant("b"))


def terms(variables=VARIABLES, constants=CONSTANTS, functions=("f", "g"), max_leaves=6):
    """Terms over `variables` and `constants` with unary and binary functions
    (f of arity 1, g of arity 2)."""
    leaves = st.sampled_from(list(variables) + list(constants))

    def extend(children):
        return st.one_of(
            children.map(lambda t: FunctionApp(func=functions[0], arity=1, args=(t,))),
            st.tuples(children, children).map(lambda t: FunctionApp(func=functions[1], arity=2, args=t)),
        )

    return st.recursive(leaves, extend, max_leaves=max_leaves)


def first_order_atoms(variables=VARIABLES, max_term_leaves=3):
    """Atoms P(t), Q(t, t), the propositional R, and equations."""
    t = terms(variables=variables, max_leaves=max_term_leaves)
    return st.one_of(
        t.map(lambda a: PredicateApp("P", 1, (a,))),
        st.tuples(t, t).map(lambda ab: PredicateApp("Q", 2, ab)),
        st.just(PredicateApp("R", 0, ())),
        st.tuples(t, t).map(lambda ab: Equality(*ab)),
    )


def first_order_formulas(variables=VARIABLES, max_leaves=10):
    """Formulas with every connective and both quantifiers over `variables`,
    so quantifiers hide each other and variables also occur free."""
    atoms = first_order_atoms(variables)
    var = st.sampled_from(variables)

    def extend(children):
        pairs = st.tuples(children, children)
        return st.one_of(
            children.map(Not),
            pairs.map(lambda t: And(*t)),
            pairs.map(lambda t: Or(*t)),
            pairs.map(lambda t: Implies(*t)),
            pairs.map(lambda t: Iff(*t)),
            st.tuples(var, children).map(lambda t: Forall(*t)),
            st.tuples(var, children).map(lambda t: Exists(*t)),
        )

    return st.recursive(atoms, extend, max_leaves=max_leaves)


# ---------------------------------------------------------------------------
# Small clauses over a tiny signature (tests/prover/test_rules.py): unary p
# and q, constants a and b, unary f, variables x0 and x1, and equations.


def small_clauses(max_literals=3):
    from quorvel.prover.clausifier import Clause, Literal

    t = terms(variables=VARIABLES[:2], constants=CONSTANTS, functions=("f", "f"), max_leaves=3).filter(
        lambda term: not (isinstance(term, FunctionApp) and term.arity == 2)
    )
    atoms = st.one_of(
        t.map(lambda a: PredicateApp("p", 1, (a,))),
        t.map(lambda a: PredicateApp("q", 1, (a,))),
        st.tuples(t, t).map(lambda ab: Equality(*ab)),
    )
    literals = st.builds(Literal, atoms, st.booleans())
    return st.lists(literals, min_size=1, max_size=max_literals).map(lambda ls: Clause(frozenset(ls)))


def rule_clauses(max_literals=4):
    """Clauses over unary p, binary q, unary f, binary g and equations, for
    comparing clause rules: variables x0..x2 are built afresh for each
    occurrence (equal objects, not the same one), and both clauses of a pair
    draw from the same ids, so renaming apart matters."""
    from quorvel.prover.clausifier import Clause, Literal

    leaves = st.one_of(st.integers(0, 2).map(lambda i: Variable(id=i)), st.sampled_from(CONSTANTS))

    def extend(children):
        return st.one_of(
            children.map(lambda t: FunctionApp(func="f", arity=1, args=(t,))),
            st.tuples(children, children).map(lambda t: FunctionApp(func="g", arity=2, args=t)),
        )

    t = st.recursive(leaves, extend, max_leaves=4)
    atoms = st.one_of(
        t.map(lambda a: PredicateApp("p", 1, (a,))),
        st.tuples(t, t).map(lambda ab: PredicateApp("q", 2, ab)),
        st.tuples(t, t).map(lambda ab: Equality(*ab)),
    )
    literals = st.builds(Literal, atoms, st.booleans())
    return st.lists(literals, min_size=1, max_size=max_literals).map(lambda ls: Clause(frozenset(ls)))


# ---------------------------------------------------------------------------
# Atoms over fresh objects of every field shape (tests/core/test_ast.py):
# variables of small, large and huge ids, of two sorts and two kinds, each
# occurrence a new object, so equal variables are often distinct objects and
# the addresses of freed ones come back; constants of both sorts, one named
# by an int.


def construction_atoms(max_leaves=6):
    from quorvel.core.ast import VariableKind
    from quorvel.core.sorts import Ind, Nat

    variables = st.builds(
        lambda i, sort, kind: Variable(i, kind, sort=sort),
        st.sampled_from([0, 1, 2, 2**40, 2**70]),
        st.sampled_from([Ind, Nat]),
        st.sampled_from([VariableKind.INDIVIDUAL, VariableKind.FUNCTION]),
    )

    def extend(children):
        return st.lists(children, max_size=3).map(lambda a: FunctionApp("f", len(a), tuple(a)))

    constants = st.sampled_from([*CONSTANTS, Constant("c", sort=Nat), Constant(7)])
    t = st.recursive(st.one_of(variables, constants), extend, max_leaves=max_leaves)
    return st.one_of(
        st.lists(t, max_size=4).map(lambda a: PredicateApp("P", len(a), tuple(a))),
        st.tuples(t, t).map(lambda ab: Equality(*ab)),
    )
