import gc
import itertools
import re
import signal
import sys

import pytest
from hypothesis import given, settings

import quorvel.prover.clausifier as clausifier
from benchmark_code import load
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
from quorvel.core.exceptions import InvalidFormulaError
from quorvel.core.signature import Signature
from quorvel.core.sorts import Nat
from quorvel.prover.clausifier import (
    Clause,
    Literal,
    distribute_cnf,
    drop_universals,
    eliminate_implications,
    formula_to_clauses,
    negate_and_clausify,
    reset_skolem_counters,
    skolemize,
    standardize_variables,
    to_cnf,
    to_nnf,
)
from strategies import first_order_formulas, propositional_formulas, rule_clauses, substitutions

peer = load("clausifier_peer", "peers/clausifier_peer.py")

P, Q, R, S = (PredicateApp(name, 0, ()) for name in "PQRS")
x, y, z, w = (Variable(id=i) for i in range(4))
a, b = Constant("a"), Constant("b")


def p(*args):
    return PredicateApp("p", len(args), args)


def q(*args):
    return PredicateApp("q", len(args), args)


def texts(clauses):
    return [c.to_string() for c in clauses]


def clause(*literals):
    return Clause(frozenset(literals))


@pytest.fixture(autouse=True)
def fresh_counters():
    reset_skolem_counters()
    yield
    reset_skolem_counters()


# ---------------------------------------------------------------- Literal, Clause


def test_literal_sign_negation_and_hash():
    lit = Literal(P)
    assert lit.positive is True
    neg = lit.negate()
    assert neg == Literal(atom=P, positive=False) and neg != lit
    assert neg.negate() == lit and hash(neg.negate()) == hash(lit) == lit._hash_cache
    assert hash(lit) == hash((Literal, P, True))


def test_clause_flags_and_texts():
    empty = Clause()
    assert (empty.is_empty, empty.is_unit, empty.is_tautology) == (True, False, False)
    assert empty.free_variables() == set() and empty.to_string() == str(empty) == "□"
    unit = clause(Literal(P, False))
    assert (unit.is_empty, unit.is_unit) == (False, True)
    assert unit.to_string() == "¬PredicateApp(pred='P', arity=0, args=())"
    both = clause(Literal(Q, False), Literal(P), Literal(R))
    assert str(both) == (
        "PredicateApp(pred='P', arity=0, args=()) ∨ PredicateApp(pred='R', arity=0, args=()) ∨ "
        "¬PredicateApp(pred='Q', arity=0, args=())"
    )
    assert clause(Literal(P), Literal(P, False), Literal(Q)).is_tautology
    assert not clause(Literal(p(x)), Literal(p(y), False)).is_tautology
    assert clause(Literal(p(x)), Literal(p(Variable(id=0)), False)).is_tautology


def test_equality_literal_texts():
    eq = Equality(a, b)
    sort = repr(a.sort)
    assert str(Literal(eq)) == f"Constant(sort={sort}, name='a') = Constant(sort={sort}, name='b')"
    assert str(Literal(eq, False)) == f"Constant(sort={sort}, name='a') ≠ Constant(sort={sort}, name='b')"


def test_clause_equality_and_hash_do_not_depend_on_order():
    lits = [Literal(P), Literal(Q, False), Literal(p(x))]
    c1, c2 = Clause(frozenset(lits)), Clause(frozenset(reversed(lits)))
    assert c1 == c2 and hash(c1) == hash(c2) == hash((Clause, frozenset(lits)))
    assert c1.literals is not None and Clause(c1.literals).literals is c1.literals
    assert repr(Clause()) == "Clause(literals=frozenset())"


def test_records_are_frozen_and_free_variable_sets_are_copies():
    lit = Literal(p(x, y))
    with pytest.raises(AttributeError, match=re.escape("cannot assign to field 'atom'")):
        lit.atom = P
    with pytest.raises(AttributeError, match=re.escape("cannot assign to field 'extra'")):
        lit.extra = 1
    got = lit.free_variables()
    assert got == {x, y}
    got.add(z)
    assert lit.free_variables() == {x, y} and lit._free_vars == frozenset({x, y})
    c = clause(lit, Literal(q(z)))
    got = c.free_variables()
    got.clear()
    assert c.free_variables() == {x, y, z}


@settings(max_examples=300, deadline=None)
@given(rule_clauses(max_literals=5), substitutions(max_id=2))
def test_clause_substitution_agrees_with_its_literals_substitution(c, mapping):
    # Clause.substitute reads the mapping once and keeps unchanged literals;
    # Literal.substitute goes through the dict each time.
    got = c.substitute(mapping)
    expected = Clause(frozenset(lit.substitute(mapping) for lit in c.literals))
    assert got == expected and (got is c) == (not mapping)
    assert hash(got) == got._hash_cache == expected._hash_cache == hash((Clause, got.literals))
    assert got.is_tautology == expected.is_tautology == any(
        Literal(lit.atom, not lit.positive) in got.literals for lit in got.literals)
    union = frozenset().union(*(lit._free_vars for lit in got.literals))
    assert got._free_vars == expected._free_vars == union


def test_substitution_of_literals_and_clauses():
    lit = Literal(p(x), False)
    c = clause(lit, Literal(p(y), False))
    assert lit.substitute({}) is lit and c.substitute({}) is c
    renamed = lit.substitute({z: a})
    assert renamed == lit and renamed is not lit
    merged = c.substitute({y: x})
    assert merged == clause(lit) and merged.is_unit
    assert Literal(Equality(x, y)).substitute({x: a}) == Literal(Equality(a, y))


def test_clause_needs_a_hashable_collection_of_literals():
    with pytest.raises(TypeError):
        Clause({Literal(P)})
    with pytest.raises(TypeError, match="Clause literals must be Literal objects"):
        Clause(frozenset({P}))


@pytest.mark.parametrize("value", [Literal(p(x), False), clause(Literal(P), Literal(p(x))), Clause()])
def test_records_pickle(value):
    import pickle

    assert pickle.loads(pickle.dumps(value)) == value


# ------------------------------------------------ implications and negation normal form


def test_identity_rules():
    n = Not(P)
    assert eliminate_implications(P) is P and to_nnf(P) is P
    assert to_nnf(n) is n
    assert to_nnf(Not(Not(P))) is P
    assert to_nnf(Not(Not(n))) is n
    neq = Not(Equality(a, b))
    assert to_nnf(neq) is neq
    iff = eliminate_implications(Iff(P, Q))
    assert iff == And(Or(Not(P), Q), Or(Not(Q), P))
    assert iff.left.left.operand is iff.right.right is P and iff.left.right is iff.right.left.operand is Q
    plain = And(P, Or(Q, Forall(x, p(x))))
    again = to_nnf(plain)
    assert again == plain and again is not plain and again.left is P
    assert again.right.right.variable is x


@pytest.mark.parametrize(
    "function, formula, expected",
    [
        (eliminate_implications, Implies(P, Implies(Q, R)), Or(Not(P), Or(Not(Q), R))),
        (eliminate_implications, Not(Not(P)), Not(Not(P))),
        (to_nnf, Not(Implies(P, Q)), And(P, Not(Q))),
        (to_nnf, Not(Iff(P, Q)), Or(And(P, Not(Q)), And(Q, Not(P)))),
        (to_nnf, Implies(P, Q), Or(Not(P), Q)),
        (to_nnf, Not(Forall(x, p(x))), Exists(x, Not(p(x)))),
        (to_nnf, Not(Exists(x, p(x))), Forall(x, Not(p(x)))),
        (to_nnf, Not(And(P, Or(Q, R))), Or(Not(P), And(Not(Q), Not(R)))),
    ],
)
def test_rewriting(function, formula, expected):
    assert function(formula) == expected


@pytest.mark.parametrize(
    "function, formula, message",
    [
        (eliminate_implications, And(P, x), "Unsupported formula node: <class 'quorvel.core.ast.Variable'>"),
        (eliminate_implications, None, "Unsupported formula node: <class 'NoneType'>"),
        (to_nnf, Not(x), "Unsupported negated formula operand: <class 'quorvel.core.ast.Variable'>"),
        (to_nnf, Not(Not(x)), "Unsupported formula node: <class 'quorvel.core.ast.Variable'>"),
        (to_nnf, Or(P, None), "Unsupported formula node: <class 'NoneType'>"),
        (standardize_variables, x, "Unsupported formula: <class 'quorvel.core.ast.Variable'>"),
        (skolemize, Forall(x, Implies(P, Q)), "Unsupported formula in skolemization: <class 'quorvel.core.ast.Implies'>"),
        (drop_universals, Implies(P, Q), "Unsupported formula: <class 'quorvel.core.ast.Implies'>"),
        (distribute_cnf, Forall(x, p(x)), "Unsupported formula in CNF distribution: <class 'quorvel.core.ast.Forall'>"),
        (formula_to_clauses, Or(P, And(Q, R)), "Unexpected formula inside clause: <class 'quorvel.core.ast.And'>"),
    ],
)
def test_unsupported_nodes(function, formula, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        function(formula)


def test_subclasses_count_as_their_node_class():
    class Conj(And):
        pass

    assert to_nnf(Not(Conj(P, Q))) == Or(Not(P), Not(Q))
    assert texts(to_cnf(Conj(P, Q))) == texts(to_cnf(And(P, Q)))


# ------------------------------------------------------------------ renaming apart


def test_renaming_apart():
    assert standardize_variables(And(p(x), Forall(x, q(x)))) == And(p(x), Forall(Variable(id=1), q(Variable(id=1))))
    assert standardize_variables(Forall(x, Exists(x, p(x)))) == Forall(Variable(id=1), Exists(Variable(id=2), p(Variable(id=2))))
    formula = And(Forall(x, And(Exists(y, p(x, y)), Forall(z, q(z)))), Exists(w, q(w)))
    v4, v5, v6, v7 = (Variable(id=i) for i in range(4, 8))
    assert standardize_variables(formula) == And(Forall(v4, And(Exists(v5, p(v4, v5)), Forall(v6, q(v6)))), Exists(v7, q(v7)))
    assert standardize_variables(Forall(Variable(id=5), P)) == Forall(Variable(id=6), P)
    typed = Variable(id=0, sort=Nat)
    assert standardize_variables(Forall(typed, p(typed))).variable == Variable(id=1, sort=Nat)
    free = And(P, p(x))
    renamed = standardize_variables(free)
    assert renamed == free and renamed.left is P


def test_renaming_refuses_what_is_no_node():
    with pytest.raises(InvalidFormulaError, match=re.escape("Unsupported AST node type: ")):
        standardize_variables(None)


# ------------------------------------------------------------------ Skolemisation


def test_skolem_numbering_and_counters():
    assert skolemize(Exists(y, p(y))) == p(Constant("sk_c0"))
    assert skolemize(Exists(y, p(y))) == p(Constant("sk_c1"))
    reset_skolem_counters()
    f0 = lambda *args: FunctionApp(func="sk_f0", arity=len(args), args=args)  # noqa: E731
    f1 = lambda *args: FunctionApp(func="sk_f1", arity=len(args), args=args)  # noqa: E731
    assert skolemize(Forall(x, Exists(y, Forall(z, Exists(w, PredicateApp("r", 4, (x, y, z, w))))))) == Forall(
        x, Forall(z, PredicateApp("r", 4, (x, f0(x), z, f1(x, z))))
    )
    reset_skolem_counters()
    assert skolemize(Forall(x, And(Exists(y, p(y)), Exists(z, q(z))))) == Forall(x, And(p(f0(x)), q(f1(x))))
    reset_skolem_counters()
    assert skolemize(Exists(y, p(z, y))) == p(z, Constant("sk_c0"))
    assert next(clausifier._skolem_constant_counter) == 1


def test_formula_without_existentials_leaves_the_counters():
    formula = Forall(x, p(x))
    assert skolemize(formula) == formula
    assert next(clausifier._skolem_constant_counter) == 0 and next(clausifier._skolem_function_counter) == 0


def test_skolem_symbols_are_registered_and_failures_ignored():
    sig = Signature()
    skolemize(Forall(x, Exists(y, p(x, y))), sig)
    skolemize(Exists(Variable(id=3, sort=Nat), P), sig)
    assert sig.functions == {"sk_f0": (1, (x.sort,), x.sort)}
    assert sig.constants == {"sk_c0": Nat}

    class Broken:
        def register_constant(self, *args):
            raise RuntimeError("no")

        register_function = register_constant

    reset_skolem_counters()
    assert skolemize(Exists(y, p(y)), Broken()) == p(Constant("sk_c0"))


def test_skolem_names_skip_symbols_of_the_formula():
    # ∃y P(y) ∧ ¬P(sk_c0) is satisfiable; naming the witness sk_c0 would make
    # its clauses refutable.
    clash = And(Exists(y, p(y)), Not(p(Constant("sk_c0"))))
    assert texts(to_cnf(clash)) == texts([clause(Literal(p(Constant("sk_c1")))), clause(Literal(p(Constant("sk_c0")), False))])
    # The counter moved past the skipped value; without a clash nothing changes.
    assert skolemize(Exists(y, p(y))) == p(Constant("sk_c2"))
    reset_skolem_counters()
    fn = FunctionApp(func="sk_f0", arity=1, args=(a,))
    assert skolemize(Forall(x, Exists(y, q(x, y, fn)))) == Forall(
        x, q(x, FunctionApp(func="sk_f1", arity=1, args=(x,)), fn)
    )


# ------------------------------------------------------------ universals, distribution


def test_drop_universals_and_distribution():
    assert drop_universals(Forall(x, Forall(y, p(x, y)))) == p(x, y)
    assert drop_universals(Not(Forall(x, p(x)))) == Not(p(x))
    assert drop_universals(Exists(x, Forall(y, p(x, y)))) == Exists(x, p(x, y))
    n = Not(And(P, Q))
    assert distribute_cnf(n) is n and distribute_cnf(P) is P
    assert distribute_cnf(Or(P, And(Q, R))) == And(Or(P, Q), Or(P, R))
    assert distribute_cnf(Or(And(P, Q), R)) == And(Or(P, R), Or(Q, R))
    assert distribute_cnf(Or(And(P, Q), And(R, S))) == And(And(Or(P, R), Or(P, S)), And(Or(Q, R), Or(Q, S)))
    cnf = And(Or(P, Q), Or(Not(R), S))
    assert distribute_cnf(cnf) == cnf


# ------------------------------------------------------------------------- pipeline


@pytest.mark.parametrize(
    "formula, expected",
    [
        (P, [clause(Literal(P))]),
        (Or(P, Not(P)), []),
        (And(P, Not(P)), [clause(Literal(P)), clause(Literal(P, False))]),
        (And(P, P), [clause(Literal(P)), clause(Literal(P))]),
        (Or(P, P), [clause(Literal(P))]),
        (Or(P, And(Q, R)), [clause(Literal(P), Literal(Q)), clause(Literal(P), Literal(R))]),
        (Not(Equality(a, b)), [clause(Literal(Equality(a, b), False))]),
    ],
)
def test_to_cnf(formula, expected):
    assert to_cnf(formula) == expected


def test_negation_and_skolem_terms_in_the_pipeline():
    assert negate_and_clausify(Implies(P, Q)) == [clause(Literal(P)), clause(Literal(Q, False))]
    reset_skolem_counters()
    next(clausifier._skolem_constant_counter)
    assert negate_and_clausify(Forall(x, p(x))) == [clause(Literal(p(Constant("sk_c1")), False))]
    sig = Signature()
    [only] = to_cnf(Forall(x, Exists(y, p(x, y))), signature=sig)
    renamed = Variable(id=2)  # above x and y
    assert only == clause(Literal(p(renamed, FunctionApp(func="sk_f0", arity=1, args=(renamed,)))))
    assert sig.functions["sk_f0"][0] == 1


def test_formula_to_clauses():
    assert formula_to_clauses(And(Or(P, Not(P)), Or(Q, Not(Q)))) == []
    with pytest.raises(AssertionError):
        formula_to_clauses(Not(Not(P)))


def test_clauses_share_literal_objects_but_hold_equal_values():
    first, second = to_cnf(And(Or(P, Q), Or(P, R)))
    assert first == clause(Literal(P), Literal(Q)) and second == clause(Literal(P), Literal(R))


# ----------------------------------------------------------------- size and depth


def test_deep_chain_of_implications():
    atoms = [PredicateApp(f"p{i}", 0, ()) for i in range(20_001)]
    chain = atoms[-1]
    for atom in reversed(atoms[:-1]):
        chain = Implies(atom, chain)
    [only] = to_cnf(chain)
    assert len(only.literals) == 20_001
    assert Literal(atoms[0], False) in only.literals and Literal(atoms[-1]) in only.literals
    del chain, only
    gc.collect()


def test_shared_subformulas_are_not_unfolded():
    tower = Or(P, Not(P))
    for _ in range(200):
        tower = And(tower, tower)  # 2**200 conjuncts, all tautologies
    assert to_cnf(tower) == []
    equivalences = P
    for _ in range(60):
        equivalences = Iff(equivalences, equivalences)
    assert to_cnf(equivalences) == []
    disjunction = P
    for _ in range(60):
        disjunction = Or(disjunction, disjunction)
    assert to_cnf(disjunction) == [clause(Literal(P))]
    assert distribute_cnf(disjunction) is not None


def wide_disjunction(n, prefix):
    formula = None
    for i in range(n):
        part = And(PredicateApp(f"{prefix}{i}a", 0, ()), PredicateApp(f"{prefix}{i}b", 0, ()))
        formula = part if formula is None else Or(formula, part)
    return formula


def test_distribution_that_cannot_fit_raises_memory_error():
    # Each side has 2**18 clauses; together 2**36 clauses of 36 literals.
    with pytest.raises(MemoryError):
        to_cnf(Or(wide_disjunction(18, "a"), wide_disjunction(18, "b")))


@pytest.mark.skipif(sys.platform == "win32", reason="needs setitimer")
def test_distribution_answers_ctrl_c():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(KeyboardInterrupt):
            to_cnf(wide_disjunction(22, "c"))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# ------------------------------------------------------------------- properties


def value(formula, assignment):
    if isinstance(formula, PredicateApp):
        return assignment[formula.pred]
    if isinstance(formula, Not):
        return not value(formula.operand, assignment)
    left, right = value(formula.left, assignment), value(formula.right, assignment)
    if isinstance(formula, And):
        return left and right
    if isinstance(formula, Or):
        return left or right
    if isinstance(formula, Implies):
        return not left or right
    return left == right


def clauses_value(clauses, assignment):
    return all(any(assignment[lit.atom.pred] == lit.positive for lit in c.literals) for c in clauses)


@settings(max_examples=300, deadline=None)
@given(propositional_formulas(max_leaves=12))
def test_cnf_is_classically_equivalent(formula):
    clauses = to_cnf(formula)
    names = ["p", "q", "r", "s", "_bot", "_top"]
    for bits in itertools.product([False, True], repeat=len(names)):
        assignment = dict(zip(names, bits))
        assert clauses_value(clauses, assignment) == value(formula, assignment)


@settings(max_examples=300, deadline=None)
@given(first_order_formulas(max_leaves=10))
def test_pipeline_agrees_with_the_plain_version(formula):
    reset_skolem_counters()
    peer.reset_skolem_counters()
    assert texts(to_cnf(formula)) == texts(peer.to_cnf(formula))
    nnf = to_nnf(formula)
    assert nnf == peer.to_nnf(formula) and eliminate_implications(formula) == peer.eliminate_implications(formula)
    standard = standardize_variables(nnf)
    assert standard == peer.standardize_variables(nnf)
    reset_skolem_counters()
    peer.reset_skolem_counters()
    skolem = skolemize(standard)
    assert skolem == peer.skolemize(standard)
    flat = drop_universals(skolem)
    assert distribute_cnf(flat) == peer.distribute_cnf(flat)


@pytest.mark.parametrize(
    "make",
    [
        lambda f: And(f, f),
        lambda f: Iff(f, Or(f, P)),
        lambda f: Not(Iff(Implies(f, f), f)),
    ],
)
def test_shared_quantified_subformulas_get_their_own_variables(make):
    # One object at several places: each place is renamed and Skolemised on
    # its own, as the step-by-step pipeline does.
    shared = Forall(x, Exists(y, Or(p(x, y), Forall(z, q(z, x)))))
    formula = make(shared)
    sig, peer_sig = Signature(), Signature()
    peer.reset_skolem_counters()
    assert texts(to_cnf(formula, sig)) == texts(peer.to_cnf(formula, peer_sig))
    assert sig.functions == peer_sig.functions and sig.constants == peer_sig.constants


def test_a_failing_pipeline_takes_no_skolem_name():
    with pytest.raises(ValueError, match=re.escape("Unsupported formula node: <class 'quorvel.core.ast.Variable'>")):
        to_cnf(And(Exists(y, p(y)), x))
    assert next(clausifier._skolem_constant_counter) == 0
