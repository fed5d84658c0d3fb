import copy
import dataclasses
import pickle
import re
import signal
import weakref

import pytest

import benchmark_code

import quorvel.constructive.resolution as resolution
from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.matrix import FormulaTree
from quorvel.constructive.prefix import Prefix, PrefixConstant, PrefixSubstitution, PrefixVariable
from quorvel.constructive.resolution import (
    PrefixedClause,
    PrefixedLiteral,
    PrefixedResolutionProofResult,
    PrefixedResolutionProver,
    PrefixedResolutionStep,
    clausify_prefixed,
    factor_prefixed_clause,
    prove_prefixed_resolution,
    resolve_prefixed_clauses,
)
from quorvel.core.ast import And, Implies, Not, Or, PredicateApp

P, Q, R = (PredicateApp(name, 0, ()) for name in "PQR")


def word(text):
    return Prefix([PrefixConstant(n) if n.startswith("c") else PrefixVariable(n) for n in text.split(".") if n])


def lit(text, polarity, atom=P):
    return PrefixedLiteral(prefix=word(text), polarity=polarity, atom=atom)


def clause(*literals):
    return PrefixedClause(frozenset(literals))


def steps(result):
    return [(s.id, s.rule_name, s.premise_ids) for s in result.steps]


# ---------------------------------------------------------------------------
# Literals and clauses


@pytest.mark.parametrize(
    "literal, text",
    [(lit("c0.V1", 1), "P^1:c0.V1"), (lit("c0", 1), "P^1:c0"), (lit("", 0, FALSUM), "_bot^0:eps"),
     (lit("c0", 1, VERUM), "_top^1:c0"), (lit("", 1), "P^1:eps")],
)
def test_literal_text(literal, text):
    assert literal.to_string() == str(literal) == text


def test_literal_values():
    a = lit("c0.V1", 1)
    assert a.negate().negate() == a and a.negate() != a and a.negate().polarity == 0
    assert len(clause(a, a.negate())) == 2
    assert a.variables() == {PrefixVariable("V1")} and a.constants() == {PrefixConstant("c0")}
    assert hash(a) == hash(lit("c0.V1", 1))
    with pytest.raises(AttributeError):
        a.polarity = 0
    assert repr(a).startswith("PrefixedLiteral(prefix=Prefix(")


def records_of_a_proof():
    result = prove_prefixed_resolution(Implies(P, P))
    step = result.steps[1]
    return [step.parent_literals[0], step.clause, result.steps[0].clause, step, result]


@pytest.mark.parametrize("roundtrip", [
    pytest.param(lambda r: pickle.loads(pickle.dumps(r)), id="pickle"),
    pytest.param(copy.copy, id="copy"),
    pytest.param(copy.deepcopy, id="deepcopy"),
    pytest.param(dataclasses.replace, id="replace"),
    pytest.param(lambda r: type(r)(**{f.name: getattr(r, f.name) for f in dataclasses.fields(r)}), id="by-name"),
    pytest.param(lambda r: type(r)(*(getattr(r, f.name) for f in dataclasses.fields(r))), id="by-position"),
    pytest.param(lambda r: weakref.ref(r)(), id="weakref"),
])
def test_records_built_by_the_prover_are_whole_values(roundtrip):
    # The prover fills the records' fields natively; every field must be
    # where the dataclass machinery and the comparison look for it.
    for record in records_of_a_proof():
        again = roundtrip(record)
        assert type(again) is type(record) and again == record


def test_frozen_records_refuse_assignment_and_the_result_takes_any():
    *frozen, result = records_of_a_proof()
    for record in frozen:
        with pytest.raises(dataclasses.FrozenInstanceError):
            record.extra = 1
    result.multiplicity, result.note = 7, "kept"
    assert (result.multiplicity, result.note) == (7, "kept")


class ClaimsToBeALiteral:
    """Claims the literal's class; the dataclass equality compares its fields."""

    def __init__(self, literal):
        self.prefix, self.polarity, self.atom = literal.prefix, literal.polarity, literal.atom

    @property
    def __class__(self):
        return PrefixedLiteral


class Literal2(PrefixedLiteral):
    pass


class Unequal:
    """A field value equal to nothing, itself included."""

    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


UNEQUAL = Unequal()


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (lit("c0.V1", 1), lit("c0.V1", 1), True),
        (lit("c0.V1", 1), lit("c0.V1", 0), False),
        (lit("c0.V1", 1), lit("c0.V2", 1), False),
        (lit("c0.V1", 1), lit("c0.V1", 1, Q), False),
        (lit("c0.V1", 1), lit("c0.V1", True), True),  # fields compare by ==
        (lit("c0", 1), ClaimsToBeALiteral(lit("c0", 1)), True),
        (lit("c0", 1), Literal2(word("c0"), 1, P), False),
        (lit("c0", 1), (word("c0"), 1, P), False),
        # One object in a field: equal as a tuple compares it, unequal as the
        # field's own == gives it; which one is the running dataclass's choice.
        (PrefixedLiteral(UNEQUAL, 1, P), "same", True),
        (PrefixedLiteral(UNEQUAL, 1, P), PrefixedLiteral(UNEQUAL, 1, P), None),
        (PrefixedLiteral(Unequal(), 1, P), PrefixedLiteral(Unequal(), 1, P), False),
        (clause(lit("c0", 1), lit("c0", 0)), clause(lit("c0", 0), lit("c0", 1)), True),
        (clause(lit("c0", 1)), clause(lit("c0", 0)), False),
        (clause(lit("c0", 1)), frozenset({lit("c0", 1)}), False),
    ],
)
def test_record_equality_is_the_dataclass_equality(left, right, equal):
    right = left if right == "same" else right
    method = type(left).__eq__  # the dataclass's own, which the native slot stands in for
    if equal is None:
        equal = method(left, right)
    assert (left == right, left != right, right == left, right != left) == (equal, not equal, equal, not equal)
    assert method(left, right) is (equal if type(right) is type(left) or equal else NotImplemented)


def test_equal_atoms_at_two_leaves_give_one_literal_per_clause():
    # P false at two leaves under one prefix: equal literals, which a clause holds once.
    target = Implies(Q, Or(P, Or(Q, PredicateApp("P", 0, ()))))
    clauses, _ = clausify_prefixed(target)
    assert [c.to_string() for c in clauses] == ["[ P^0:c0.c1, Q^0:c0.c1, Q^1:c0.c1.V1 ]"]
    assert prove_prefixed_resolution(target).steps[1].parent_literals == (lit("c0.c1.V1", 1, Q), lit("c0.c1", 0, Q))


def test_literal_substitution():
    v1_empty = PrefixSubstitution({PrefixVariable("V1"): ()})
    assert lit("V1", 1).substitute(v1_empty).to_string() == "P^1:eps"
    assert lit("c0.V2", 1).substitute(v1_empty) == lit("c0.V2", 1)


def test_empty_clause():
    empty = PrefixedClause()
    assert empty == PrefixedClause(frozenset()) and len(empty) == 0 and empty.is_empty()
    assert empty.variables() == set() and empty.constants() == set() and empty.to_string() == "[]"


def test_clause_values():
    c = clause(lit("c0.V1", 1), lit("c0.V2", 0, Q))
    assert c.variables() == {PrefixVariable("V1"), PrefixVariable("V2")} and c.constants() == {PrefixConstant("c0")}
    assert c == clause(lit("c0.V2", 0, Q), lit("c0.V1", 1)) and hash(c) == hash(clause(lit("c0.V2", 0, Q),
                                                                                         lit("c0.V1", 1)))
    merged = clause(lit("c0.V1", 1), lit("c0.c1", 1)).substitute(PrefixSubstitution({PrefixVariable("V1"): (
        PrefixConstant("c1"),)}))
    assert merged.to_string() == "[ P^1:c0.c1 ]" and len(merged) == 1
    same_text = clause(PrefixedLiteral(Prefix([PrefixConstant("x")]), 1, P),
                       PrefixedLiteral(Prefix([PrefixVariable("x")]), 1, P))
    assert same_text.to_string() == "[ P^1:x, P^1:x ]"


def test_clause_text_is_sorted_by_code_point():
    pq = PredicateApp("PQ", 0, ())
    lower = PredicateApp("p", 0, ())
    c = clause(lit("c0", 1, lower), lit("c0", 1, FALSUM), lit("c0", 1, Q), lit("c0", 0, P), lit("c0", 0, pq))
    assert c.to_string() == "[ PQ^0:c0, P^0:c0, Q^1:c0, _bot^1:c0, p^1:c0 ]"


# ---------------------------------------------------------------------------
# Clausification


def test_clausify_implication():
    clauses, tree = clausify_prefixed(Implies(P, P))
    assert [c.to_string() for c in clauses] == ["[ P^0:c0.c1, P^1:c0.c1.V1 ]"]
    assert isinstance(tree, FormulaTree)


@pytest.mark.parametrize("premises", [None, [], ()])
def test_clausify_without_premises(premises):
    assert clausify_prefixed(Q, premises)[0] == clausify_prefixed(Q)[0]


@pytest.mark.parametrize("multiplicity", [0, -3])
def test_clausify_multiplicity_floor(multiplicity):
    target, premises = Q, [Implies(P, Q)]
    assert clausify_prefixed(target, premises, multiplicity)[0] == clausify_prefixed(target, premises, 1)[0]


def test_clausify_is_repeatable_and_normalizes():
    first, tree = clausify_prefixed(target=Not(P), premises=[Or(P, Q)], multiplicity=2)
    assert first == clausify_prefixed(Not(P), [Or(P, Q)], 2)[0]
    assert tree.target == Implies(P, FALSUM)
    assert [c.to_string() for c in clausify_prefixed(FALSUM)[0]] == ["[ _bot^0:c0 ]"]


# ---------------------------------------------------------------------------
# The refutation search


def test_implication_proof():
    result = prove_prefixed_resolution(Implies(P, P))
    assert steps(result) == [("init_1", "initial", ()), ("s2", "resolution", ("init_1",)),
                             ("s3", "empty_clause", ("init_1", "s2"))]
    assert result.empty_clause_id == "s3" and result.multiplicity == 1 and result.is_valid
    assert result.steps[1].substitution is result.steps[2].substitution is result.substitution
    assert result.steps[1].parent_literals == (lit("c0.c1.V1", 1), lit("c0.c1", 0))
    assert result.steps[0].substitution == PrefixSubstitution() and result.steps[0].parent_literals is None


@pytest.mark.parametrize("formula", [P, Implies(P, And(P, Implies(Q, P)))])
def test_no_proof_is_none(formula):
    # The second is valid, but its true P would need two worlds on one path.
    assert prove_prefixed_resolution(formula) is None


@pytest.mark.parametrize("premises, expected", [([FALSUM], [("init_1", "initial", ()), ("s2", "empty_clause",
                                                                                        ("init_1",))]),
                                                ([FALSUM, Or(P, Q)], [("init_1", "initial", ()),
                                                                      ("init_2", "initial", ()),
                                                                      ("s3", "empty_clause", ("init_1", "init_2"))])])
def test_falsum_premise_closes_every_clause(premises, expected):
    result = prove_prefixed_resolution(R, premises)
    assert steps(result) == expected and result.substitution.mapping == {}


def test_verum_goal_closes():
    # A clause closes on verum at the goal side as on falsum at the premise side.
    result = prove_prefixed_resolution(VERUM)
    assert steps(result) == [("init_1", "initial", ()), ("s2", "empty_clause", ("init_1",))]
    assert prove_prefixed_resolution(Or(P, VERUM)) is not None


@pytest.mark.parametrize("limits, stored", [((0, 0), (1, 1)), ((-2, 5), (1, 5)), ((), (3, 1000))])
def test_prover_limits(limits, stored):
    prover = PrefixedResolutionProver(*limits)
    assert (prover.max_multiplicity, prover.max_steps) == stored


@pytest.mark.parametrize("premises", [None, [], ()])
def test_results_hold_normalized_questions(premises):
    result = PrefixedResolutionProver().prove(Not(Not(Implies(P, P))), premises)
    assert result.premises == ()
    assert result.target == Implies(Implies(Implies(P, P), FALSUM), FALSUM)


def test_modus_ponens_needs_no_copy():
    result = prove_prefixed_resolution(Q, [Implies(P, Q), P])
    assert result.multiplicity == 1
    assert steps(result)[-1] == ("s5", "empty_clause", ("s3", "s4"))
    assert result.premises == (Implies(P, Q), P)


def test_equal_clauses_close_together():
    clauses, tree = clausify_prefixed(Implies(P, P))
    result = PrefixedResolutionProver()._search_refutation(target=Implies(P, P), premises=(),
                                                           initial_clauses=clauses * 2, tree=tree, multiplicity=1)
    assert steps(result) == [("init_1", "initial", ()), ("init_2", "initial", ()), ("s3", "resolution", ("init_1",)),
                             ("s4", "empty_clause", ("init_2", "s3"))]


def test_empty_clause_list():
    result = PrefixedResolutionProver()._search_refutation(target=P, premises=(), initial_clauses=[],
                                                           tree=FormulaTree(P), multiplicity=1)
    assert steps(result) == [("s1", "empty_clause", ())]


def test_failed_siblings_leave_gaps_in_the_numbering():
    # Double negation of excluded middle needs two copies, and the first
    # unifiers tried fail.
    result = prove_prefixed_resolution(Not(Not(Or(P, Not(P)))))
    assert result.multiplicity == 2
    numbers = [int(s.id[1:]) for s in result.steps if s.id.startswith("s")]
    assert numbers == sorted(set(numbers))


class ForwardingProver(PrefixedResolutionProver):
    # Overriding the hook makes prove() hand it the Python clauses to read
    # back, instead of lowering the ones it made natively.
    def _search_refutation(self, *args, **kwargs):
        return super()._search_refutation(*args, **kwargs)


@pytest.mark.parametrize(
    "target, premises",
    [(Implies(P, P), []), (Implies(And(P, P), P), []), (Or(P, Not(P)), []), (Not(Not(Or(P, Not(P)))), []),
     (Q, [Implies(P, Q), P]), (Implies(And(Or(P, Q), Implies(P, R)), Or(R, Q)), []), (R, [FALSUM, Or(P, Q)]),
     (Or(P, VERUM), []), (Implies(Implies(Implies(P, Q), P), P), []), (And(Implies(P, P), Implies(Q, Q)), [P])],
)
def test_native_lowering_matches_the_records(target, premises):
    fast, slow = PrefixedResolutionProver().prove(target, premises), ForwardingProver().prove(target, premises)
    assert repr(fast) == repr(slow)
    if fast is not None:
        assert fast.to_dict() == slow.to_dict() and str(fast) == str(slow)
        assert [s.parent_literals for s in fast.steps] == [s.parent_literals for s in slow.steps]


class Loose(PredicateApp):
    # Equal to every atom but hashed by name: atoms are numbered by Python
    # equality, which here parts from identity and from the hash.
    def __eq__(self, other):
        return isinstance(other, PredicateApp)

    def __hash__(self):
        return hash(self.pred)


def chain(n):
    atoms = [PredicateApp(f"p{i}", 0, ()) for i in range(n)]
    return atoms[-1], [atoms[0]] + [Implies(a, b) for a, b in zip(atoms, atoms[1:])]


@pytest.mark.parametrize(
    "target, premises, limits",
    [(Implies(P, P), None, {}), (Q, (Implies(P, Q), P), {}), (Not(Not(Or(P, Not(P)))), [], {}),
     (Not(Not(Or(P, Not(P)))), [], {"max_multiplicity": 1}), (Or(P, Q), [], {}),
     (*chain(8), {}),  # step numbers past the ids made once
     (Not(Not(Not(Not(Or(P, Not(P)))))), [], {"max_multiplicity": 2}),
     (Implies(P, P), None, {"max_multiplicity": 2.5}), (Implies(P, P), None, {"max_multiplicity": "3"}),
     (Implies(P, P), None, {"max_steps": None}), (Implies(P, P), 5, {}), (5, [], {}),
     (P, [Implies(P, Q)], {"max_multiplicity": -4, "max_steps": 0}), (Implies(P, P), None, {"max_multiplicity": 0}),
     (Implies(And(Loose("A", 0, ()), Loose("B", 0, ())), Loose("B", 0, ())), [], {}),
     (Or(Loose("A", 0, ()), P), [Loose("B", 0, ())], {})],
)
def test_prove_function_matches_the_prover_that_reads_back_records(target, premises, limits):
    # prove_prefixed_resolution runs the prover's search without the prover
    # object or a FormulaTree; a subclass's hook reads the Python records.
    def outcome(call):
        try:
            result = call()
        except Exception as exc:
            return type(exc), str(exc)
        return result, repr(result), result and (result.to_dict(), str(result), [s.parent_literals for s in result.steps])

    def slow():
        return ForwardingProver(**limits).prove(target, premises)

    assert outcome(lambda: prove_prefixed_resolution(target, premises, **limits)) == outcome(slow)
    assert outcome(lambda: PrefixedResolutionProver(**limits).prove(target, premises)) == outcome(slow)


class Refusing:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append(sorted(kwargs))
        return None


@pytest.mark.parametrize("where", ["class hook", "instance hook", "class prove"])
def test_replaced_hooks_are_called(where, monkeypatch):
    # A hook replaced on the class or on one prover is what prove() and the
    # function call, as when they are looked up by name.
    hook = Refusing()
    prover = PrefixedResolutionProver(max_multiplicity=2)
    if where == "class hook":
        monkeypatch.setattr(PrefixedResolutionProver, "_search_refutation", lambda self, **kw: hook(**kw))
    elif where == "instance hook":
        prover._search_refutation = hook
    else:
        monkeypatch.setattr(PrefixedResolutionProver, "prove", lambda self, target, premises=None: hook(t=target))
    assert prover.prove(Implies(P, P)) is None
    if where != "instance hook":
        assert prove_prefixed_resolution(Implies(P, P), max_multiplicity=2) is None
    expected = {"class hook": [["initial_clauses", "multiplicity", "premises", "target", "tree"]] * 4,
                "instance hook": [["initial_clauses", "multiplicity", "premises", "target", "tree"]] * 2,
                "class prove": [["t"]] * 2}[where]
    assert hook.calls == expected


def test_search_answers_ctrl_c():
    # An ILTP problem whose search, within the default limits, runs for
    # over a minute.
    folder = benchmark_code.iltp_dir()
    if folder is None:
        pytest.skip("the ILTP problems are not beside this checkout")
    iltp = benchmark_code.load("iltp_reader", "iltp.py")
    [path] = [p for p in iltp.problem_files(folder) if p.stem == "SYJ201+1.001"]
    problem = iltp.parse_problem(path.read_text(), path.stem)

    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        with pytest.raises(KeyboardInterrupt):
            prove_prefixed_resolution(problem.target, problem.premises)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# ---------------------------------------------------------------------------
# Records and report


def hand_made_result(**changes):
    init = PrefixedResolutionStep(id="init_1", rule_name="initial", premise_ids=(),
                                  clause=clause(lit("c0", 0), lit("c0.V1", 1, Q)))
    fields = dict(is_valid=True, target=P, premises=(Q,),
                  steps=(init, PrefixedResolutionStep("s2", "resolution", ("init_1",), PrefixedClause()),
                         PrefixedResolutionStep("s3", "empty_clause", ("init_1", "s2"), PrefixedClause())),
                  empty_clause_id="s3",
                  substitution=PrefixSubstitution({PrefixVariable("V1"): (PrefixConstant("c0"), PrefixConstant("c1"))}),
                  multiplicity=1)
    fields.update(changes)
    return PrefixedResolutionProofResult(**fields)


REPORT = """=== Prefixed Resolution Proof (IPC) ===
Target: P
Premises: Q
Status: VALID (Intuitionistically Proven)
Multiplicity: 1
Derivation Steps:
  [init_1] [ P^0:c0, Q^1:c0.V1 ] (initial)
  [s2] [] (resolution from init_1)
  [s3] [] (empty_clause from init_1, s2)
Prefix Substitution:
  sigma(V1) = c0.c1"""


def test_report_and_dictionary():
    result = hand_made_result()
    assert result.to_string() == str(result) == REPORT
    d = result.to_dict()
    assert list(d) == ["is_valid", "target", "premises", "multiplicity", "empty_clause_id", "substitution", "steps"]
    assert d["substitution"] == {"V1": "c0.c1"} and d["premises"] == ["Q"] and d["target"] == "P"
    assert d["steps"][0] == {"id": "init_1", "rule": "initial", "premises": [], "clause": "[ P^0:c0, Q^1:c0.V1 ]",
                             "substitution": {}}


@pytest.mark.parametrize(
    "changes, present, absent",
    [(dict(premises=()), ["Target: P\nStatus:"], ["Premises"]),
     (dict(is_valid=False), ["Status: UNPROVABLE"], ["VALID"]),
     (dict(steps=(), substitution=PrefixSubstitution()), [], ["Derivation Steps", "Prefix Substitution", "sigma"]),
     (dict(substitution=PrefixSubstitution({PrefixVariable("V2"): ()})), ["  sigma(V2) = "], ["= eps"]),
     (dict(premises=(Q, R)), ["Premises: Q, R\n"], [])],
)
def test_report_lines(changes, present, absent):
    text = hand_made_result(**changes).to_string()
    assert all(p in text for p in present) and not any(a in text for a in absent)
    if "substitution" in changes and not changes["substitution"].mapping:
        assert text.endswith("Multiplicity: 1")
    if "V2" in text:
        assert text.endswith("sigma(V2) = ")


def test_step_records():
    a = PrefixedResolutionStep("s1", "x", (), PrefixedClause())
    b = PrefixedResolutionStep("s1", "x", (), PrefixedClause())
    assert a == b and a.substitution is not b.substitution and a.parent_literals is None
    assert a.to_dict() == {"id": "s1", "rule": "x", "premises": [], "clause": "[]", "substitution": {}}
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(AttributeError):
        a.id = "s2"
    with pytest.raises(TypeError, match=re.escape("expected str instance, int found")):
        hand_made_result(steps=(PrefixedResolutionStep("s1", "x", (1,), PrefixedClause()),)).to_string()
    odd = PrefixedResolutionProofResult(True, Implies(P, P), (), (), "s1", PrefixSubstitution(), 1)
    assert "Prefixed Resolution Proof" in odd.to_string() and odd.to_dict()["is_valid"] is True
    with pytest.raises(TypeError):
        hash(odd)


# ---------------------------------------------------------------------------
# Resolution and factoring


def test_resolution_and_factoring_examples():
    [(resolvent, unifier, l1, l2)] = resolve_prefixed_clauses(clause(lit("c0.V1", 1)), clause(lit("c0.c0", 0)))
    assert resolvent.is_empty() and unifier.to_dict() == {"V1": "c0"}
    assert (l1, l2) == (lit("c0.V1", 1), lit("c0.c0", 0))
    [(factor, unifier, kept, dropped)] = factor_prefixed_clause(clause(lit("c0.V1", 1), lit("c0.c0", 1)))
    assert len(factor) == 1 and unifier.to_dict() == {"V1": "c0"}


@pytest.mark.parametrize(
    "c1, c2",
    [(clause(lit("c0", 1)), clause(lit("c0", 1))), (clause(lit("c0", 1)), clause(lit("c0", 0, Q))),
     (clause(lit("c0.c1", 1)), clause(lit("c0.c2", 0))), (clause(lit("c0", 1)), PrefixedClause())],
)
def test_pairs_that_do_not_resolve(c1, c2):
    assert resolve_prefixed_clauses(c1, c2) == []


def test_resolution_with_itself_keeps_every_literal():
    c = clause(lit("c0", 1), lit("c0", 0))
    entries = resolve_prefixed_clauses(c, c)
    assert len(entries) == 2 and all(e[0] == c for e in entries)
    assert factor_prefixed_clause(clause(lit("c0", 1))) == []


def test_start_substitution_and_tree():
    start = PrefixSubstitution({PrefixVariable("V1"): (PrefixConstant("c1"),)})
    [(resolvent, unifier, _, _)] = resolve_prefixed_clauses(clause(lit("c0.V1", 1), lit("c0.V1", 1, Q)),
                                                             clause(lit("c0.c1", 0)), start)
    assert unifier == start and unifier is not start and resolvent == clause(lit("c0.c1", 1, Q))
    assert start.to_dict() == {"V1": "c1"}
    # c2 is made below V1 in this tree: binding V1 to c2 closes a cycle.
    tree = FormulaTree(Implies(Implies(Implies(P, Q), R), PredicateApp("S", 0, ())))
    bound = clause(lit("c0.V1", 1))
    free = clause(lit("c0.c2", 0))
    assert len(resolve_prefixed_clauses(bound, free)) == 1
    assert resolve_prefixed_clauses(bound, free, tree=tree) == []


def test_module_names():
    for name in ("PrefixedLiteral", "PrefixedClause", "PrefixedResolutionStep", "PrefixedResolutionProofResult",
                 "clausify_prefixed", "resolve_prefixed_clauses", "factor_prefixed_clause",
                 "PrefixedResolutionProver", "prove_prefixed_resolution", "unify_prefixes", "is_admissible",
                 "FormulaTree", "normalize_formula"):
        assert hasattr(resolution, name)


class OddMapping(dict):
    def items(self):
        return [1]

    keys = items


class Tree:
    def __init__(self, order):
        self.tree_order = order


@pytest.mark.parametrize(
    "make",
    [lambda: PrefixedLiteral(1, 2, 3).to_string(), lambda: PrefixedLiteral(None, "x", P).negate(),
     lambda: PrefixedClause(5).to_string(), lambda: PrefixedClause(frozenset({1})).variables(),
     lambda: PrefixedResolutionStep(1, 2, 3, 4, 5).to_dict(),
     lambda: PrefixedResolutionProofResult(1, 2, 3, 4, 5, 6, 7).to_string(),
     lambda: resolve_prefixed_clauses(1, 2), lambda: factor_prefixed_clause(clause(lit("c0", 1)), 7),
     lambda: hand_made_result(substitution=PrefixSubstitution(OddMapping())).to_string(),
     lambda: PrefixedResolutionProver()._search_refutation(P, (), [], Tree(OddMapping()), 1)],
)
def test_records_take_any_value_and_fail_cleanly(make):
    # Reports and searches read any mapping and raise on bad items.
    with pytest.raises((TypeError, AttributeError)):
        make()


def test_derivations_do_not_depend_on_the_hash_seed():
    import os
    import subprocess
    import sys

    script = (
        "from quorvel.constructive.resolution import prove_prefixed_resolution\n"
        "from quorvel.core.ast import And, Implies, Not, Or, PredicateApp\n"
        "P, Q, R = (PredicateApp(n, 0, ()) for n in 'PQR')\n"
        "print(prove_prefixed_resolution(Not(Not(Or(P, Not(P))))))\n"
        "print(prove_prefixed_resolution(Implies(And(Or(P, Q), Implies(P, R)), Or(R, Q))))\n"
    )
    outputs = {
        subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                       env={**os.environ, "PYTHONHASHSEED": seed}).stdout
        for seed in ("0", "1", "12345")
    }
    assert len(outputs) == 1 and "Prefix Substitution" in outputs.pop()
