import os
import re
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvel.config import SolverConfig
from quorvel.core.ast import (And, Constant, Exists, Forall, FunctionApp, Iff, Implies, Not, Or, PredicateApp,
                              Variable)
from quorvel.prover.clausifier import Clause, reset_skolem_counters, to_cnf
from quorvel.prover.engine import ProofNotFoundError, TheoremProver
from quorvel.prover.proof import ProofDAG
from quorvel.prover.rules import factor_clause, resolve_clauses
import benchmark_code
from strategies import first_order_formulas

x, y, u, v = (Variable(id=i) for i in (1, 2, 3, 4))
a, b = Constant("a"), Constant("b")


def atom(name, *args):
    return PredicateApp(pred=name, arity=len(args), args=tuple(args))


def f(term):
    return FunctionApp(func="f", arity=1, args=(term,))


def imp(p, q):
    return Implies(left=p, right=q)


def all_(var, body):
    return Forall(variable=var, body=body)


THEOREMS = {
    "modus ponens": ([all_(x, imp(atom("P", x), atom("Q", x))), atom("P", a)], atom("Q", a)),
    "syllogism": ([all_(x, imp(atom("P", x), atom("Q", x))), all_(x, imp(atom("Q", x), atom("S", x)))],
                  all_(x, imp(atom("P", x), atom("S", x)))),
    "universal gives existential": ([all_(x, atom("P", x))], Exists(variable=y, body=atom("P", y))),
    "a function term": ([all_(x, imp(atom("P", x), atom("P", f(x)))), atom("P", a)], atom("P", f(f(a)))),
    # Clauses the loop drops before use: a repeat, a tautology, a subsumed one.
    "dropped input clauses": ([atom("P", a), atom("P", a), Or(left=atom("P", b), right=Not(operand=atom("P", b))),
                               Or(left=atom("P", a), right=atom("S", a)), all_(x, imp(atom("P", x), atom("Q", x)))],
                              atom("Q", a)),
    "no premises": ([], imp(atom("P", a), atom("P", a))),
    # Both clauses come from the goal; without factoring the two-literal
    # resolvents go on for ever.
    "needs factoring": ([], Not(operand=And(left=all_(x, all_(y, Or(left=atom("P", x), right=atom("P", y)))),
                                            right=all_(u, all_(v, Or(left=Not(operand=atom("P", u)),
                                                                     right=Not(operand=atom("P", v)))))))),
}


@pytest.mark.parametrize("premises, target", THEOREMS.values(), ids=THEOREMS.keys())
def test_proofs_derive_the_empty_clause_from_the_input_clauses(premises, target):
    dag = TheoremProver().prove(target=target, premises=premises)
    assert isinstance(dag, ProofDAG)
    steps = dag.steps
    assert steps[-1].conclusion == Clause(frozenset())
    inputs = {c for p in premises for c in to_cnf(p)}
    for i, step in enumerate(steps):
        assert step.index == i
        assert all(p < i for p in step.premises)
        if step.rule == "premise":
            assert step.conclusion in inputs or not step.premises
        elif step.rule == "negated_goal":
            assert not step.premises
        else:
            assert step.rule in ("resolution", "factoring")
            assert len(step.premises) == (2 if step.rule == "resolution" else 1)
    if premises == []:
        assert not any(s.rule == "premise" for s in steps)
    assert any(s.rule == "negated_goal" for s in steps)


def assert_steps_are_inferences(dag):
    """Each derived step's conclusion is one the rules module draws from the
    step's premises, and the last is the empty clause."""
    steps = dag.steps
    assert steps[-1].conclusion == Clause(frozenset())
    for step in steps:
        parents = [steps[p].conclusion for p in step.premises]
        if step.rule == "resolution":
            assert step.conclusion in {r[0] for r in resolve_clauses(*parents)}
        elif step.rule == "factoring":
            assert step.conclusion in {r[0] for r in factor_clause(*parents)}


@pytest.mark.parametrize("premises, target", THEOREMS.values(), ids=THEOREMS.keys())
def test_proof_steps_are_inferences_of_the_rules(premises, target):
    assert_steps_are_inferences(TheoremProver().prove(target=target, premises=premises))


@settings(max_examples=150, deadline=None)
@given(first_order_formulas(max_leaves=6), st.lists(first_order_formulas(max_leaves=4), max_size=2))
def test_generated_proofs_are_inferences_of_the_rules(target, premises):
    try:
        dag = TheoremProver().prove(target=target, premises=premises, max_steps=300, timeout_sec=0.5)
    except ProofNotFoundError:
        return
    assert_steps_are_inferences(dag)


def test_factoring_shows_in_the_proof_where_it_is_needed():
    premises, target = THEOREMS["needs factoring"]
    dag = TheoremProver().prove(target=target, premises=premises)
    assert "factoring" in {s.rule for s in dag.steps}


# Satisfiable, and no strategy runs dry on it: from the goal ~P(b), ~P(f(b)),
# ~P(f(f(b))), ...; from the premises P(f(a)), P(f(f(a))), ...
loop_premises = [atom("P", a), all_(x, imp(atom("P", x), atom("P", f(x)))), all_(x, imp(atom("P", f(x)), atom("P", x)))]

FAILURES = [
    ([atom("P", a)], atom("P", b), {}, "No proof found: the clause set is saturated"),
    ([], Or(left=atom("P", a), right=atom("Q", a)), {}, "No proof found: the clause set is saturated"),
    (loop_premises, atom("P", b), {"max_steps": 5}, "No proof found: step limit of 5 reached"),
    (loop_premises, atom("P", b), {"max_steps": 0}, "No proof found: step limit of 1 reached"),
    (loop_premises, atom("P", b), {"max_steps": 10**9, "timeout_sec": 0.0},
     "No proof found: time-out of 0.1 seconds reached"),
]


@pytest.mark.parametrize("premises, target, limits, message", FAILURES)
def test_a_missing_proof_raises_and_never_returns(premises, target, limits, message):
    with pytest.raises(ProofNotFoundError, match=re.escape(message)):
        TheoremProver().prove(target=target, premises=premises, **limits)


def test_the_time_out_covers_the_clausal_form():
    # Fourteen atoms in a chain of equivalences: 2^13 clauses, seconds of work
    # to build, against a time-out of a tenth of a second.
    atoms = [PredicateApp(f"p{i}", 0, ()) for i in range(14)]
    chain = atoms[0]
    for p in atoms[1:]:
        chain = Iff(chain, p)
    for target, premises in [(chain, None), (atoms[0], [chain])]:
        started = time.monotonic()
        with pytest.raises(ProofNotFoundError, match=re.escape("time-out of 0.1 seconds reached")):
            TheoremProver().prove(target=target, premises=premises, max_steps=10**9, timeout_sec=0.1)
        assert time.monotonic() - started < 2


def test_the_config_limits_apply_unless_the_call_gives_its_own():
    prover = TheoremProver(config=SolverConfig(prover_max_steps=3))
    with pytest.raises(ProofNotFoundError, match=re.escape("step limit of 3 reached")):
        prover.prove(target=atom("P", b), premises=loop_premises)
    with pytest.raises(ProofNotFoundError, match=re.escape("step limit of 7 reached")):
        prover.prove(target=atom("P", b), premises=loop_premises, max_steps=7)


def test_premises_alone_are_not_refuted_without_the_goal():
    # The set of support: the search starts from the negated goal only.
    inconsistent = [atom("P", a), Not(operand=atom("P", a))]
    with pytest.raises(ProofNotFoundError):
        TheoremProver().prove(target=atom("Q", a), premises=inconsistent)


def test_an_empty_input_clause_is_its_own_refutation():
    dag = TheoremProver().prove(target=imp(atom("P", a), atom("P", a)))
    assert dag.steps[-1].conclusion.is_empty


@pytest.mark.parametrize("target, premises", [("P", None), (atom("P", a), [1])])
def test_values_that_are_no_formula_are_refused(target, premises):
    with pytest.raises(TypeError):
        TheoremProver().prove(target=target, premises=premises)


def test_a_long_search_answers_ctrl_c():
    def interrupt(*_):
        raise KeyboardInterrupt

    # The handler runs wherever Python code next runs, and a finaliser the
    # collector calls during the search would swallow its exception: the
    # timer repeats, as a user presses Ctrl-C again. The time-out fails the
    # test in bounded time if no signal ever gets through.
    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            TheoremProver().prove(target=atom("P", b), premises=loop_premises, max_steps=10**12, timeout_sec=60)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_the_same_problem_gives_the_same_proof():
    premises, target = THEOREMS["syllogism"]

    def proof():
        reset_skolem_counters()  # Skolem names count process-wide
        dag = TheoremProver().prove(target=target, premises=premises)
        return [(s.rule, s.premises, str(s.conclusion)) for s in dag.steps]

    assert proof() == proof()


# SYJ106+1 as the benchmark hands it over: the first round leaves it to the
# second, whose clauses of equal shape once took their order from the hash
# seed through the literal sets.
SEEDED_PROOF = """
import sys
sys.path.insert(0, sys.argv[1])
import bench_engine, iltp
from pathlib import Path
from quorvel.prover.engine import TheoremProver
path = Path(sys.argv[2]) / "problems" / "SYJ" / "SYJ106+1.p"
target, premises = bench_engine.translated(iltp.parse_problem(path.read_text(), path.stem))
dag = TheoremProver().prove(target=target, premises=premises, max_steps=4000, timeout_sec=600)
for s in dag.steps:
    print(s.rule, s.premises, sorted(map(repr, s.conclusion.literals)))
"""


def test_the_proof_does_not_follow_the_string_hash_seed():
    iltp_dir = benchmark_code.iltp_dir()
    if iltp_dir is None:
        pytest.skip("the ILTP problems are not beside this checkout")

    def proof(seed):
        env = dict(os.environ, PYTHONHASHSEED=str(seed))
        run = subprocess.run([sys.executable, "-c", SEEDED_PROOF, str(benchmark_code.ROOT / "benchmarks"),
                              str(iltp_dir)], capture_output=True, text=True, env=env, timeout=600)
        assert run.returncode == 0, run.stderr
        return run.stdout

    assert proof(1) == proof(3) == proof(5)


def atoms_or(*names, arg=()):
    out = atom(names[-1], *arg)
    for n in reversed(names[:-1]):
        out = Or(left=atom(n, *arg), right=out)
    return out


# Targets (A | ...) & (B | ...) whose negation distributes into 16 clauses:
# the prover names one side, so the proof runs through a defined predicate.
NAMED = {
    "propositional": ([atom("p1"), atom("q2")],
                      And(left=atoms_or("p1", "p2", "p3", "p4"), right=atoms_or("q1", "q2", "q3", "q4"))),
    "a named side with a free variable": (
        [all_(x, atom("P1", x)), all_(x, atom("Q3", x))],
        all_(y, And(left=atoms_or("P1", "P2", "P3", "P4", arg=(y,)),
                    right=atoms_or("Q1", "Q2", "Q3", "Q4", arg=(y,))))),
}


@pytest.mark.parametrize("premises, target", NAMED.values(), ids=NAMED.keys())
def test_a_proof_through_defined_predicates_is_a_derivation(premises, target):
    dag = TheoremProver().prove(target=target, premises=premises)
    assert_steps_are_inferences(dag)
    user = {"p1", "p2", "p3", "p4", "q1", "q2", "q3", "q4", "P1", "P2", "P3", "P4", "Q1", "Q2", "Q3", "Q4"}
    inputs = [s.conclusion for s in dag.steps if s.rule == "negated_goal"]
    assert {lit.atom.pred for c in inputs for lit in c.literals} - user


# The same target without its second side's premise is no theorem; a
# defined predicate that took a user's name would meet the user's atom and
# refute it.
@pytest.mark.parametrize("user_names", [["_def0"], ["_def0", "_def1"]])
def test_a_user_predicate_named_like_a_definition_is_another_predicate(user_names):
    premises = [atom("p1"), atom("p2"), atom("p3"), atom("p4")] + [atom(n) for n in user_names]
    target = And(left=atoms_or("p1", "p2", "p3", "p4"), right=atoms_or("q1", "q2", "q3", "q4"))
    with pytest.raises(ProofNotFoundError):
        TheoremProver().prove(target=target, premises=premises)


def test_a_deep_goal_is_named_level_by_level_without_recursion():
    # Each level's negation pits four clauses against the rest's: every level
    # gets a name, and the walks must not descend on the C stack.
    target = atom("z")
    for i in reversed(range(20000)):
        target = And(left=atoms_or(f"a{i}", f"b{i}", f"c{i}", f"d{i}"), right=target)
    with pytest.raises(ProofNotFoundError, match="step limit"):
        TheoremProver().prove(target=target, premises=[atom("a0")], max_steps=50, timeout_sec=600)
