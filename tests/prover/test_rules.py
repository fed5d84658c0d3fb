import gc
import itertools
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from benchmark_code import load
from quorvel.core.ast import (
    And,
    Constant,
    Equality,
    Forall,
    FunctionApp,
    Implies,
    PredicateApp,
    Variable,
)
from quorvel.core.sorts import Nat
from quorvel.prover.clausifier import Clause, Literal, reset_skolem_counters
from quorvel.prover.rules import (
    InferenceRule,
    SOLInstantiateRule,
    apply_rule,
    extract_atom_subterms,
    extract_subterms,
    factor_clause,
    get_reconstruction_rules,
    get_resolution_rules,
    paramodulate,
    replace_atom_subterm,
    replace_subterm,
    resolve_clauses,
    standardize_clause_variables,
)
from quorvel.sol.ast_ext import ForallPred, PredicateVariable
from strategies import rule_clauses, small_clauses

peer = load("rules_peer", "peers/rules_peer.py")

x = [Variable(id=i) for i in range(8)]
a, b, c = Constant("a"), Constant("b"), Constant("c")


def f(*args):
    return FunctionApp(func="f", arity=len(args), args=args)


def g(*args):
    return FunctionApp(func="g", arity=len(args), args=args)


def p(*args):
    return PredicateApp("p", len(args), args)


def q(*args):
    return PredicateApp("q", len(args), args)


def r():
    return PredicateApp("r", 0, ())


def pos(atom):
    return Literal(atom)


def neg(atom):
    return Literal(atom, False)


def C(*literals):
    return Clause(frozenset(literals))


# ------------------------------------------------------------------ rule tables

RECONSTRUCTION = [
    ("Axiom", "Premise or hypothesis assumption"),
    ("NegatedGoal", "Clausified negation of target theorem"),
    ("ModusPonens", "A, A ⟹ B  ⊢  B"),
    ("UniversalInstantiation", "∀x P(x)  ⊢  P(t)"),
    ("ExistentialIntroduction", "P(t)  ⊢  ∃x P(x)"),
    ("AndIntroduction", "A, B  ⊢  A ∧ B"),
    ("AndElimination", "A ∧ B  ⊢  A (or B)"),
    ("OrIntroduction", "A  ⊢  A ∨ B"),
    ("OrElimination", "A ∨ B, A ⟹ C, B ⟹ C  ⊢  C"),
    ("DoubleNegationElimination", "¬¬A  ⊢  A"),
    ("Contradiction", "A, ¬A  ⊢  ⊥"),
    ("ResolutionTraceStep", "CNF trace resolution inference"),
]


def test_resolution_table():
    first, second = get_resolution_rules(), get_resolution_rules()
    assert [(rule.name, rule.description, rule.rule_type) for rule in first] == [
        ("BinaryResolution", "Resolve complementary literals", "resolution"),
        ("Factoring", "Merge unifiable literals in same clause", "resolution"),
        ("Paramodulation", "Equality subterm rewriting", "resolution"),
    ]
    assert [rule.apply for rule in first] == [resolve_clauses, factor_clause, paramodulate]
    assert first is not second and first == second and hash(first[0]) == hash(second[0])
    first.clear()
    assert len(get_resolution_rules()) == 3


def test_reconstruction_table():
    rules, again = get_reconstruction_rules(), get_reconstruction_rules()
    assert [(rule.name, rule.description) for rule in rules] == RECONSTRUCTION
    assert {rule.rule_type for rule in rules} == {"reconstruction"}
    assert all(x != y for x, y in zip(rules, again))
    assert len({id(rule.apply) for rule in rules}) == 12
    stub = rules[0].apply
    out1, out2 = stub(), stub(C(pos(r())), C())
    assert out1 == out2 == [] and out1 is not out2
    with pytest.raises(TypeError):
        stub(premise=1)
    assert apply_rule(rules[3], [1, 2]) == [] and apply_rule(rules[3], [1, 2], {}) == []
    with pytest.raises(TypeError):
        apply_rule(rules[3], [], {"x": 1})


def test_records_are_frozen_values():
    rule = InferenceRule("R", "d", "resolution", resolve_clauses)
    assert rule == InferenceRule(name="R", description="d", rule_type="resolution", apply=resolve_clauses)
    assert repr(rule).startswith("InferenceRule(name='R', description='d', rule_type='resolution', apply=")
    with pytest.raises(AttributeError, match=re.escape("cannot assign to field 'name'")):
        rule.name = "S"
    with pytest.raises(TypeError):
        InferenceRule("R", "d", "resolution")


def test_apply_rule_passes_premises_and_context():
    binary = get_resolution_rules()[0]
    c1, c2 = C(pos(p(a))), C(neg(p(a)))
    assert apply_rule(binary, [c1, c2]) == resolve_clauses(c1, c2)
    assert apply_rule(binary, [c1], {"c2": c2}) == resolve_clauses(c1, c2)
    with pytest.raises(TypeError):
        apply_rule(binary, [c1])
    with pytest.raises(AttributeError):
        apply_rule(object(), [c1])


def test_the_self_bound_rule_survives_repr_hash_and_collection():
    rule = SOLInstantiateRule()
    assert (rule.name, rule.rule_type) == ("SOLInstantiate", "resolution")
    assert rule.description == "Second-order logic template instantiation via higher-order pattern matching"
    assert rule.apply.__self__ is rule and rule == rule and rule != SOLInstantiateRule()
    assert hash(rule) == hash(rule) and repr(rule).startswith("SOLInstantiateRule(name='SOLInstantiate'")
    gc.collect()
    del rule
    assert gc.collect() >= 2  # the record and its bound method


# ------------------------------------------------------------- renaming apart


@pytest.mark.parametrize(
    "c1, c2, renamed, mapping",
    [
        (C(pos(p(x[1]))), C(pos(q(x[1], x[3]))), C(pos(q(x[5], x[7]))), {x[1]: x[5], x[3]: x[7]}),
        (C(pos(p(x[0]))), C(pos(q(x[2]))), C(pos(q(x[5]))), {x[2]: x[5]}),
        (C(pos(p(x[0])), pos(q(x[1]))), C(pos(p(x[0])), pos(q(x[1]))), C(pos(p(x[2])), pos(q(x[3]))), {x[0]: x[2], x[1]: x[3]}),
    ],
)
def test_standardize(c1, c2, renamed, mapping):
    first, second, renaming = standardize_clause_variables(c1, c2)
    assert first is c1 and second == renamed and renaming == mapping


@pytest.mark.parametrize("c1, c2", [(C(pos(p(a))), C(pos(q(x[1])))), (C(pos(p(x[1]))), C(pos(q(a))))])
def test_standardize_leaves_ground_pairs(c1, c2):
    first, second, renaming = standardize_clause_variables(c1, c2)
    assert first is c1 and second is c2 and renaming == {}


def test_renamed_copies_keep_sort():
    n = Variable(id=1, sort=Nat)
    _, second, _ = standardize_clause_variables(C(pos(p(x[2]))), C(pos(p(n))))
    [lit] = second.literals
    assert lit.atom.args[0] == Variable(id=4, sort=Nat)


# ------------------------------------------------------------ resolution, factoring


@pytest.mark.parametrize(
    "c1, c2, resolvents",
    [
        (C(pos(p(x[0])), pos(q(x[0]))), C(neg(p(a))), [C(pos(q(a)))]),
        (C(pos(p(a))), C(neg(p(a))), [C()]),
        (C(pos(p(a))), C(pos(p(a))), []),
        (C(pos(p(a))), C(neg(p(b))), []),
        (C(pos(p(a)), pos(q(a))), C(neg(p(a)), pos(q(a))), [C(pos(q(a)))]),
        (C(pos(p(a)), neg(p(a))), C(pos(p(a)), neg(p(a))), [C(pos(p(a)), neg(p(a)))]),
        (C(), C(neg(p(a))), []),
    ],
)
def test_resolution(c1, c2, resolvents):
    assert [res for res, _, _ in resolve_clauses(c1, c2)] == resolvents


def test_resolution_keeps_tautologies_and_reports_literals():
    found = resolve_clauses(C(pos(p(a)), pos(q(a))), C(neg(p(a)), neg(q(a))))
    assert sorted(str(res) for res, _, _ in found) == sorted([str(C(pos(q(a)), neg(q(a)))), str(C(pos(p(a)), neg(p(a))))])
    [(res, mgu, (l1, l2))] = resolve_clauses(C(pos(p(x[0]))), C(neg(p(x[0])), pos(q(x[0]))))
    assert l1 == pos(p(x[0])) and l2 == neg(p(x[1]))
    assert res in (C(pos(q(x[0]))), C(pos(q(x[1]))))


@pytest.mark.parametrize(
    "clause, factors",
    [
        (C(pos(p(x[0])), pos(p(a)), pos(q(x[0]))), [C(pos(p(a)), pos(q(a)))]),
        (C(pos(p(f(x[0]), a)) if False else pos(PredicateApp("p", 2, (x[0], a))), pos(PredicateApp("p", 2, (b, x[1])))),
         [C(pos(PredicateApp("p", 2, (b, a))))]),
        (C(pos(p(x[0])), neg(p(a))), []),
        (C(pos(p(x[0]))), []),
        (C(), []),
    ],
)
def test_factoring(clause, factors):
    assert [fac for fac, _ in factor_clause(clause)] == factors


# ---------------------------------------------------------------- subterms


def test_subterm_extraction_and_replacement():
    assert extract_subterms(x[0]) == [x[0]]
    assert extract_subterms(f(a, g(a))) == [f(a, g(a)), a, g(a), a]
    assert extract_atom_subterms(PredicateApp("P", 0, ())) == []
    assert extract_atom_subterms(Equality(f(x[0]), a)) == [f(x[0]), x[0], a]
    assert extract_atom_subterms(And(p(a), p(a))) == []
    assert replace_subterm(f(a, a), a, b) == [f(b, a), f(a, b)]
    [top] = replace_subterm(a, a, b)
    assert top is b
    assert replace_subterm(f(a), f(a), b) == [b]
    assert replace_subterm(f(f(a)), f(a), b) == [f(b)]
    assert replace_subterm(f(a), c, b) == []
    assert replace_subterm(f(a, a), a, a) == [f(a, a), f(a, a)]
    assert replace_atom_subterm(p(a, a), a, b) == [p(b, a), p(a, b)]
    assert replace_atom_subterm(Equality(a, a), a, b) == [Equality(b, a), Equality(a, b)]
    assert replace_atom_subterm(Equality(f(a), a), a, b) == [Equality(f(b), a), Equality(f(a), b)]
    kept = g(a)
    [rebuilt] = replace_subterm(f(kept, b), b, c)
    assert rebuilt.args[0] is kept
    [resorted] = replace_subterm(f(a), a, Constant("n", sort=Nat))
    assert resorted.sort == resorted.return_sort


def test_deep_terms_do_not_recurse():
    term = a
    for _ in range(50_000):
        term = f(term)
    assert len(extract_subterms(term)) == 50_001
    assert len(replace_subterm(term, a, b)) == 1


def test_rules_take_deep_terms():
    ground, open_ = a, x[0]
    for _ in range(50_000):
        ground, open_ = f(ground), f(open_)
    assert len(resolve_clauses(C(pos(p(ground))), C(neg(p(open_)), neg(p(x[1]))))) == 2
    assert factor_clause(C(pos(p(open_)), pos(p(x[0])))) == []  # the occurs check goes to the bottom
    assert len(paramodulate(C(pos(Equality(a, b))), C(pos(p(ground))))) == 1


# ------------------------------------------------------------------ paramodulation

eq = Equality


@pytest.mark.parametrize(
    "c1, c2, expected",
    [
        (C(pos(eq(a, b))), C(pos(p(a))), [(C(pos(p(b))), {})]),
        (C(pos(eq(a, b))), C(pos(p(x[0]))), []),
        (C(pos(eq(x[0], a))), C(pos(p(b))), [(C(pos(p(a))), {x[0]: b})]),
        (C(pos(eq(a, b))), C(neg(eq(f(a), c))), [(C(neg(eq(f(b), c))), {})]),
        (C(pos(eq(a, b)), pos(q(a))), C(pos(p(a)), pos(r())), None),
        (C(pos(eq(a, b))), C(pos(p(a, a))), [(C(pos(p(b, a))), {}), (C(pos(p(a, b))), {})]),
        (C(pos(eq(a, b))), C(pos(eq(b, c))), [(C(pos(eq(a, c))), {})]),
        (C(pos(eq(f(x[0]), a))), C(pos(p(f(b))), pos(p(a))), [(C(pos(p(a))), {x[0]: b}), (C(pos(p(f(b))), pos(p(f(x[0])))), {})]),
        (C(pos(eq(a, b))), C(pos(eq(a, b))), [(C(pos(eq(b, b))), {}), (C(pos(eq(a, a))), {})]),
        (C(pos(p(a))), C(neg(p(a))), []),
    ],
)
def test_paramodulation(c1, c2, expected):
    found = paramodulate(c1, c2)
    if expected is None:  # {a = b, q(a)} into {p(a), r}: one pair; q(a) may be rewritten too
        assert C(pos(q(a)), pos(p(b)), pos(r())) in [cl for cl, _ in found]
        return
    assert found == expected


# ------------------------------------------------------------------- properties


def interpretations():
    """Every interpretation of a, b, f, p, q over the domain {0, 1}."""
    for a_, b_, f0, f1, p0, p1, q0, q1 in itertools.product((0, 1), repeat=8):
        yield {"a": a_, "b": b_}, (f0, f1), (p0, p1), (q0, q1)


def term_value(term, consts, fn, env):
    if isinstance(term, Variable):
        return env[term]
    if isinstance(term, Constant):
        return consts[term.name]
    return fn[term_value(term.args[0], consts, fn, env)]


def clause_holds(clause, model):
    consts, fn, pv, qv = model
    variables = sorted(clause.free_variables(), key=lambda v: v.id)
    for values in itertools.product((0, 1), repeat=len(variables)):
        env = dict(zip(variables, values))
        satisfied = False
        for lit in clause.literals:
            atom = lit.atom
            if isinstance(atom, Equality):
                truth = term_value(atom.left, consts, fn, env) == term_value(atom.right, consts, fn, env)
            else:
                table = pv if atom.pred == "p" else qv
                truth = bool(table[term_value(atom.args[0], consts, fn, env)])
            if truth == lit.positive:
                satisfied = True
                break
        if not satisfied:
            return False
    return True


def follows(conclusion, premises):
    return all(clause_holds(conclusion, m) for m in interpretations() if all(clause_holds(pr, m) for pr in premises))


@settings(max_examples=120, deadline=None)
@given(small_clauses(), small_clauses())
def test_rules_are_sound_and_leave_premises(c1, c2):
    before = (set(c1.literals), set(c2.literals))
    derived = [res for res, _, _ in resolve_clauses(c1, c2)] + [par for par, _ in paramodulate(c1, c2)]
    derived += [fac for fac, _ in factor_clause(c1)]
    for clause in derived:
        assert follows(clause, [c1, c2])
    assert (set(c1.literals), set(c2.literals)) == before


def in_order(results):
    """Rule results with each unifier as its list of bindings, so that the
    order in which a unifier binds counts too."""
    return [(entry[0], list(entry[1].items()), *entry[2:]) for entry in results]


@pytest.mark.parametrize("clauses", [small_clauses(), rule_clauses()], ids=["small", "shared-ids"])
@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_rules_agree_with_the_plain_version(clauses, data):
    c1, c2 = data.draw(clauses), data.draw(clauses)
    assert in_order(resolve_clauses(c1, c2)) == in_order(peer.resolve_clauses(c1, c2))
    assert in_order(factor_clause(c1)) == in_order(peer.factor_clause(c1))
    assert in_order(paramodulate(c1, c2)) == in_order(peer.paramodulate(c1, c2))
    assert standardize_clause_variables(c1, c2) == peer.standardize_clause_variables(c1, c2)


# ------------------------------------------------------ second-order instantiation


def peano():
    """∀P (P(zero) ∧ ∀n (P(n) → P(succ(n))) → ∀n P(n)) over Nat."""
    P = PredicateVariable("P", 0, 1)
    n = Variable(id=0, sort=Nat)
    zero = Constant("zero", sort=Nat)

    def succ(t):
        return FunctionApp(func="succ", arity=1, args=(t,), return_sort=Nat)

    def Pof(t):
        return PredicateApp(pred=P, arity=1, args=(t,))

    body = Implies(And(Pof(zero), Forall(n, Implies(Pof(n), Pof(succ(n))))), Forall(n, Pof(n)))
    return ForallPred(variable=P, body=body), zero


def plus_zero(t):
    return Equality(FunctionApp(func="plus", arity=2, args=(t, Constant("zero", sort=Nat)), return_sort=Nat), t)


def atoms_of(clauses):
    return {lit.atom for cl in clauses for lit in cl.literals}


def test_the_axiom_is_matched_under_the_goals_own_variable():
    # The goal binds y, the axiom n: the instance must be about the goal.
    axiom, zero = peano()
    y = Variable(id=7, sort=Nat)
    clauses = SOLInstantiateRule().match_and_instantiate(axiom, Forall(y, plus_zero(y)))
    assert plus_zero(zero) in atoms_of(clauses)


def test_goal_that_is_not_a_forall_and_axiom_that_is_not_second_order():
    axiom, _ = peano()
    rule = SOLInstantiateRule()
    assert rule.match_and_instantiate(p(a), p(a)) == []
    y = Variable(id=3, sort=Nat)
    clauses = rule.apply(p(a), Forall(y, plus_zero(y)))
    assert plus_zero(Constant("zero", sort=Nat)) in atoms_of(clauses)  # the induction instance
    reset_skolem_counters()
    through_table = apply_rule(rule, [axiom, Forall(y, plus_zero(y))], {"signature": None})
    reset_skolem_counters()
    assert through_table == rule.match_and_instantiate(axiom, Forall(y, plus_zero(y)))


def test_a_missing_second_order_module_fails_only_the_instantiation(monkeypatch):
    import sys

    monkeypatch.setitem(sys.modules, "quorvel.sol.kb_ext", None)
    axiom, _ = peano()
    with pytest.raises(ImportError):
        SOLInstantiateRule().match_and_instantiate(axiom, Forall(Variable(id=1, sort=Nat), plus_zero(Variable(id=1, sort=Nat))))
    assert resolve_clauses(C(pos(p(a))), C(neg(p(a))))  # the other rules still work


def test_matching_under_the_same_variable_is_unchanged():
    axiom, zero = peano()
    n = Variable(id=0, sort=Nat)
    reset_skolem_counters()
    clauses = SOLInstantiateRule().match_and_instantiate(axiom, Forall(n, plus_zero(n)))
    assert plus_zero(zero) in atoms_of(clauses)
