import math
import re

import pytest

from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.resolution import (
    ConstructiveResolutionProver,
    PrefixedResolutionProofResult,
    TranslationResolutionProver,
    TranslationResolutionResult,
    _extract_predicate_names,
    get_frame_axioms,
    prove_prefixed_resolution,
    prove_resolution,
    prove_translation_resolution,
    translate_ipc_to_fol,
)
from quorvel.core.ast import (
    And, Constant, Equality, Exists, Forall, Iff, Implies, Not, Or, PredicateApp, Variable,
)
from quorvel.core.exceptions import InvalidFormulaError
from quorvel.core.parser import to_string
from quorvel.prover.proof import ProofDAG

P, Q, S = (PredicateApp(name, 0, ()) for name in "PQS")
w0 = Constant("w0")
a, b = Constant("a"), Constant("b")


def u(i):
    return Variable(id=i)


def R(s, t):
    return PredicateApp("R", 2, (s, t))


def at(name, world):
    return PredicateApp(name, 1, (world,))


def imp(p, q):
    return Implies(left=p, right=q)


def neg(p):
    return Not(operand=p)


# ------------------------------------------------------------ translation

def test_the_worked_example_and_its_counter():
    counter = [1]
    got = translate_ipc_to_fol(imp(imp(P, Q), P), var_counter=counter)
    inner = Forall(variable=u(2), body=imp(And(left=R(u(1), u(2)), right=at("P", u(2))), at("Q", u(2))))
    assert got == Forall(variable=u(1), body=imp(And(left=R(w0, u(1)), right=inner), at("P", u(1))))
    assert counter == [3]


quantified = Forall(variable=u(7), body=PredicateApp("Q", 1, (u(7),)))
equation = Equality(left=a, right=b)

TRANSLATIONS = [
    (P, at("P", w0)),
    (PredicateApp("P", 2, (a, b)), at("P", w0)),
    (And(left=P, right=Q), And(left=at("P", w0), right=at("Q", w0))),
    (Or(left=P, right=quantified), Or(left=at("P", w0), right=quantified)),
    (neg(P), Forall(variable=u(1), body=imp(R(w0, u(1)), neg(at("P", u(1)))))),
    (imp(P, P), Forall(variable=u(1), body=imp(And(left=R(w0, u(1)), right=at("P", u(1))), at("P", u(1))))),
    (imp(P, FALSUM), Forall(variable=u(1), body=imp(And(left=R(w0, u(1)), right=at("P", u(1))), FALSUM))),
    (PredicateApp("R", 0, ()), at("R", w0)),
]


@pytest.mark.parametrize("formula, expected", TRANSLATIONS, ids=lambda v: to_string(v))
def test_translations_at_the_default_world(formula, expected):
    assert translate_ipc_to_fol(formula) == expected


@pytest.mark.parametrize("node", [FALSUM, VERUM, equation, quantified, Exists(variable=u(1), body=P)])
def test_constants_equations_and_quantified_formulas_come_back_as_they_are(node):
    counter = [4]
    assert translate_ipc_to_fol(node, Constant("k"), counter) is node
    assert counter == [4]


def test_a_counter_passed_in_numbers_the_variables_and_is_shared():
    counter = [5]
    first = translate_ipc_to_fol(imp(neg(P), Q), var_counter=counter)
    assert first.variable == u(5) and first.body.left.right.variable == u(6)
    assert counter == [7]
    second = translate_ipc_to_fol(neg(Q), world_term=u(9), var_counter=counter)
    assert second == Forall(variable=u(7), body=imp(R(u(9), u(7)), neg(at("Q", u(7)))))
    assert counter == [8]


def test_a_biconditional_goes_through_its_normal_form_with_the_same_counter():
    counter = [3]
    got = translate_ipc_to_fol(Iff(left=P, right=Q), var_counter=counter)
    assert got == And(left=translate_ipc_to_fol(imp(P, Q), var_counter=[3]),
                      right=translate_ipc_to_fol(imp(Q, P), var_counter=[4]))
    assert counter == [5]


def test_a_negative_counter_is_refused_by_the_variable():
    with pytest.raises(InvalidFormulaError, match=re.escape("Variable ID must be non-negative, got -2.")):
        translate_ipc_to_fol(neg(P), var_counter=[-2])


def test_deep_formulas_translate_without_recursion():
    f = P
    for _ in range(20000):
        f = imp(Q, f)
    counter = [1]
    translate_ipc_to_fol(f, var_counter=counter)
    assert counter == [20001]


# ------------------------------------------------------------ frame axioms

def monotonicity(name):
    x, y = u(1), u(2)
    return Forall(variable=x, body=Forall(variable=y, body=imp(And(left=at(name, x), right=R(x, y)), at(name, y))))


def test_the_frame_axioms():
    x, y, z = u(1), u(2), u(3)
    reflexivity = Forall(variable=x, body=R(x, x))
    transitivity = Forall(variable=x, body=Forall(variable=y, body=Forall(
        variable=z, body=imp(And(left=R(x, y), right=R(y, z)), R(x, z)))))
    assert get_frame_axioms([]) == [reflexivity, transitivity]
    assert get_frame_axioms(iter(["Q", "P", "P", "R", "_bot", "_top"])) == [
        reflexivity, transitivity, monotonicity("P"), monotonicity("Q")]


@pytest.mark.parametrize("names", [5, ["P", 3]])
def test_frame_axioms_of_names_that_cannot_be_sorted_raise(names):
    with pytest.raises(TypeError):
        get_frame_axioms(names)


@pytest.mark.parametrize("formula, names", [
    (imp(P, Q), {"P", "Q"}),
    (neg(FALSUM), set()),
    (Forall(variable=u(1), body=PredicateApp("P", 1, (u(1),))), set()),
    (Iff(left=neg(P), right=Or(left=VERUM, right=equation)), {"P"}),
])
def test_atom_names(formula, names):
    assert _extract_predicate_names(formula) == names


# ------------------------------------------------------------ the prover

@pytest.mark.parametrize("args, steps, timeout", [
    ((0, 0.0), 1, 0.1), ((1, 0.1), 1, 0.1), ((-4, math.nan), 1, 0.1), ((7, 5), 7, 5.0), ((), 1000, 10.0),
])
def test_prover_limits_are_raised_to_their_minimum(args, steps, timeout):
    prover = TranslationResolutionProver(*args)
    assert (prover.max_steps, prover.timeout_sec) == (steps, timeout)
    assert type(prover.timeout_sec) is float


VALID = [imp(P, P), imp(And(left=P, right=Q), Q), neg(neg(Or(left=P, right=neg(P)))),
         imp(imp(P, Q), imp(neg(Q), neg(P))), Iff(left=P, right=P), VERUM, imp(FALSUM, P), imp(P, VERUM)]
INVALID = [Or(left=P, right=neg(P)), imp(neg(neg(P)), P), imp(imp(imp(P, Q), P), P), P, FALSUM]


@pytest.mark.parametrize("formula", VALID, ids=to_string)
def test_valid_formulas_are_proved(formula):
    result = prove_translation_resolution(formula, timeout_sec=5)
    assert isinstance(result, TranslationResolutionResult) and result.is_valid
    assert isinstance(result.proof_dag, ProofDAG) and len(result.proof_dag.steps) > 0


@pytest.mark.parametrize("formula", INVALID, ids=to_string)
def test_invalid_formulas_give_nothing(formula):
    assert prove_translation_resolution(formula, max_steps=300, timeout_sec=0.5) is None


def test_the_record_of_a_goal_with_one_atom():
    result = prove_translation_resolution(imp(P, P))
    assert result.target_ipc == imp(P, P) and result.premises_ipc == ()
    assert result.frame_axioms == tuple(get_frame_axioms(["P"]))
    assert result.premises_fol == result.frame_axioms
    assert result.target_fol == translate_ipc_to_fol(imp(P, P))
    lines = str(result).split("\n")
    assert lines == [
        "=== Relational Translation Resolution Proof (IPC -> FOL) ===",
        "Target (IPC): " + to_string(imp(P, P)),
        "Target (FOL): " + to_string(result.target_fol),
        "Status: VALID (Proven via FOL Superposition/Resolution)",
        "Frame Axioms Count: 3",
        f"Reconstructed Proof Steps: {len(result.proof_dag.steps)}",
    ]
    assert result.to_string() == str(result)
    d = result.to_dict()
    assert list(d) == ["is_valid", "target_ipc", "premises_ipc", "target_fol", "premises_fol", "frame_axioms",
                       "has_proof_dag"]
    assert d["premises_fol"] == d["frame_axioms"] == [to_string(f) for f in result.frame_axioms]
    assert d["has_proof_dag"] is True and d["premises_ipc"] == []


def test_premises_are_normalised_translated_and_reported():
    result = prove_translation_resolution(Q, [neg(neg(Q)), imp(P, Q), Q])
    assert result.premises_ipc == (imp(imp(Q, FALSUM), FALSUM), imp(P, Q), Q)
    assert len(result.frame_axioms) == 4  # two atom names, one axiom each
    assert result.premises_fol[4:] == tuple(translate_ipc_to_fol(p, w0) for p in result.premises_ipc)
    assert "Premises (IPC): " + ", ".join(to_string(p) for p in result.premises_ipc) in str(result).split("\n")
    assert prove_translation_resolution(Q, None, 100, 0.5) is None
    assert prove_translation_resolution(Q, [], 100, 0.5) is None


def test_a_goal_of_constants_only_gets_the_two_order_axioms():
    result = prove_translation_resolution(imp(FALSUM, VERUM))
    assert len(result.frame_axioms) == 2


def test_records_built_by_hand():
    record = TranslationResolutionResult(False, P, (), P, (), (), None)
    assert str(record).split("\n")[-2:] == ["Status: UNPROVABLE", "Frame Axioms Count: 0"]
    assert len(str(record).split("\n")) == 5
    assert record.to_dict()["has_proof_dag"] is False
    assert record == TranslationResolutionResult(is_valid=False, target_ipc=P, premises_ipc=(), target_fol=P,
                                                 premises_fol=(), frame_axioms=(), proof_dag=None)
    with pytest.raises(TypeError):
        hash(record)


first_order = PredicateApp("P", 1, (a,))


@pytest.mark.parametrize("target, premises, found", [
    (imp(first_order, PredicateApp("P", 1, (b,))), None, "first-order atom " + to_string(first_order)),
    (P, [imp(equation, P)], to_string(equation)),
    (Or(left=P, right=quantified), None, to_string(quantified)),
])
def test_first_order_input_is_refused_by_the_prover(target, premises, found):
    # Dropping the arguments would prove P(a) -> P(b).
    with pytest.raises(ValueError, match=re.escape(found)):
        prove_translation_resolution(target, premises)


@pytest.mark.parametrize("name", ["R", "w0"])
def test_user_atoms_named_like_frame_symbols_keep_their_meaning(name):
    atom = PredicateApp(name, 0, ())
    # Needs the atom's monotonicity: forced at w0, so at every later world.
    result = prove_translation_resolution(imp(Q, atom), [atom])
    assert result is not None and result.premises_ipc == (atom,)
    assert len(result.frame_axioms) == 4
    assert prove_translation_resolution(imp(atom, Q), [Q], timeout_sec=2) is not None
    assert prove_translation_resolution(Or(left=atom, right=neg(atom)), max_steps=300, timeout_sec=0.5) is None


def test_a_renamed_atom_does_not_merge_with_a_user_atom():
    r1 = PredicateApp("R_1", 0, ())
    assert prove_translation_resolution(imp(r1, PredicateApp("R", 0, ())), max_steps=300, timeout_sec=0.5) is None


# ------------------------------------------------------------ the front end

@pytest.mark.parametrize("method, stored", [("PREFIXED", "prefixed"), ("Translation", "translation"),
                                            ("AUTO", "auto"), ("MiXeD", "mixed"), (" prefixed", " prefixed")])
def test_method_names_are_stored_lower_cased(method, stored):
    assert ConstructiveResolutionProver(method).method == stored


def test_front_end_defaults_and_limits():
    front = ConstructiveResolutionProver()
    assert (front.method, front.max_multiplicity, front.max_steps, front.timeout_sec) == ("prefixed", 3, 1000, 10.0)
    front = ConstructiveResolutionProver("auto", 0, -5, 0.05)
    assert (front.max_multiplicity, front.max_steps, front.timeout_sec) == (1, 1, 0.1)
    front = ConstructiveResolutionProver(timeout_sec=2)
    assert type(front.timeout_sec) is float and front.timeout_sec == 2.0


@pytest.mark.parametrize("method, message", [
    (" prefixed", "Unknown constructive resolution method:  prefixed"),
    ("Tableau", "Unknown constructive resolution method: tableau"),
])
def test_unknown_methods_raise_when_proving(method, message):
    front = ConstructiveResolutionProver(method)
    with pytest.raises(ValueError, match=re.escape(message)):
        front.prove(P)
    with pytest.raises(ValueError, match=re.escape(message)):
        prove_resolution(P, method=method)


def test_an_assigned_method_is_not_lower_cased():
    front = ConstructiveResolutionProver()
    front.method = "Auto"
    with pytest.raises(ValueError, match=re.escape("Unknown constructive resolution method: Auto")):
        front.prove(P)


def test_the_methods_answer_with_their_records():
    assert prove_resolution(imp(P, P)) == prove_prefixed_resolution(imp(P, P))
    assert isinstance(prove_resolution(imp(P, P), method="auto"), PrefixedResolutionProofResult)
    assert isinstance(prove_resolution(imp(P, P), method="translation"), TranslationResolutionResult)
    # Beyond the prefixed search at multiplicity 1: auto falls back to the translation.
    hard = neg(neg(Or(left=P, right=neg(P))))
    assert prove_prefixed_resolution(hard, max_multiplicity=1) is None
    assert isinstance(prove_resolution(hard, None, "auto", 1), TranslationResolutionResult)
    assert prove_resolution(Or(left=P, right=neg(P)), None, "auto", 1, 300, 0.5) is None
    listed = prove_resolution(Q, [imp(P, Q), P], "translation")
    assert listed.to_dict() == prove_resolution(Q, (imp(P, Q), P), "translation").to_dict()
