"""The intuitionistic provers against each other and against the ILTP
problems' known status: on small formulas the LJT prover and the tableau
must give the same answer wherever the tableau stays within its bounds,
every LJT tree must be a valid derivation, and on the ILTP problems the LJT
prover must answer as the status says, with the plain search's tree."""

import re

import pytest
from hypothesis import given, settings

import benchmark_code
from strategies import ljt_questions

from quorvel.constructive.ljt import prove_ljt

tableau = pytest.importorskip("quorvel.constructive.tableau")


def tableau_verdict(target, premises):
    """True (closed), False (a countermodel that refutes the question at w0),
    or None when the tableau ran into a bound. The bounds are below the
    defaults: the part of the tree the search keeps grows about twofold with
    every ten levels of depth, and some three-atom questions need gigabytes
    at depth 100."""
    result = tableau.prove_tableau(target, premises, max_depth=40, max_worlds=10)
    if result.is_valid:
        return True
    model = result.countermodel
    if model is None:
        return None
    w0 = next((w for w in model.worlds if w.name == "w0"), None)
    if w0 is None or model.evaluate(target, w0) or not all(model.evaluate(p, w0) for p in premises):
        return None
    return False


@settings(max_examples=400, deadline=None)
@given(ljt_questions())
def test_ljt_agrees_with_the_tableau(question):
    target, premises = question
    tree = prove_ljt(target, premises)
    if tree is not None:
        assert tree.is_valid()
    verdict = tableau_verdict(target, premises)
    if verdict is not None:
        assert (tree is not None) == verdict


# ---------------------------------------------------------------------------
# The ILTP problems with known status

ILTP = benchmark_code.iltp_dir()
iltp = benchmark_code.load("iltp_reader", "iltp.py")
ljt_peer = benchmark_code.load("ljt_peer", "peers/ljt_peer.py")

# Families whose derivations stay small at every size; in the others
# (SYJ201, SYJ202, SYJ206) the plain search's derivation grows to millions
# of nodes.
SMALL_DERIVATION_FAMILIES = re.compile(r"SYJ2(0[345789]|1[012])\+")
# Sizes the plain Python search answers in well under a second.
SMALL_SIZE = re.compile(r"(LCL|SYN)\d+\+\d$|SYJ\d+\+\d$|SYJ2\d\d\+1\.00[12]$")


def iltp_problems(pattern):
    if ILTP is None:
        return []
    return [p for p in iltp.problem_files(ILTP) if pattern.search(p.stem)]


def iltp_question(path):
    problem = iltp.parse_problem(path.read_text(), path.stem)
    return problem.target, problem.premises


@pytest.fixture(scope="module")
def iltp_status():
    if ILTP is None:
        pytest.skip("the ILTP problems are not beside this checkout")
    return iltp.load_status(ILTP)


@pytest.mark.parametrize("path", iltp_problems(SMALL_SIZE), ids=lambda p: p.stem)
def test_ljt_builds_the_plain_search_tree_on_small_iltp_problems(path, iltp_status):
    target, premises = iltp_question(path)
    tree, plain = prove_ljt(target, premises), ljt_peer.prove_ljt(target, premises)
    assert (tree is not None) == (iltp_status[path.stem] == "Valid")
    assert (plain is None) == (tree is None)
    if tree is not None:
        assert tree.is_valid()
        assert tree.to_dict() == plain.to_dict()


@pytest.mark.parametrize("path", iltp_problems(SMALL_DERIVATION_FAMILIES), ids=lambda p: p.stem)
def test_ljt_answers_the_scalable_iltp_families(path, iltp_status):
    target, premises = iltp_question(path)
    tree = prove_ljt(target, premises)
    assert (tree is not None) == (iltp_status[path.stem] == "Valid")
    if tree is not None:
        assert tree.is_valid()


# ---------------------------------------------------------------------------
# Prefixed resolution: a proof it finds is never contradicted by LJT (it may
# miss valid formulas at its multiplicity bound, so no proof says nothing).

resolution = pytest.importorskip("quorvel.constructive.resolution")
matrix_peer = benchmark_code.load("matrix_peer", "peers/matrix_peer.py")
from quorvel.constructive.matrix import FormulaTree  # noqa: E402


@settings(max_examples=200, deadline=None)
@given(ljt_questions())
def test_prefixed_proofs_are_never_contradicted_by_ljt(question):
    # Multiplicity 2 where the matrix stays small: a few of these formulas
    # (nested equivalences) have tens of millions of paths there.
    target, premises = question
    deep = matrix_peer.path_count(FormulaTree(target, premises, multiplicity=2)) <= 5_000
    result = resolution.prove_prefixed_resolution(target, premises, max_multiplicity=2 if deep else 1)
    if result is not None:
        assert result.is_valid and prove_ljt(target, premises) is not None


# Problems whose prefixed search at multiplicity 2 ends in well under a
# second; the search of the others runs for many seconds before it gives up.
PREFIXED_SIZE = re.compile(r"(LCL|SYN)\d+\+\d$|SYJ1\d\d\+\d$|SYJ2\d\d\+1\.00[12]$")
PREFIXED_SLOW = {"SYJ106+1", "SYJ201+1.001", "SYJ201+1.002", "SYJ207+1.002", "SYJ208+1.002", "SYJ210+1.002",
                 "SYJ211+1.002", "SYN393+1"}


@pytest.mark.parametrize("path", [p for p in iltp_problems(PREFIXED_SIZE) if p.stem not in PREFIXED_SLOW],
                         ids=lambda p: p.stem)
def test_prefixed_proofs_of_small_iltp_problems_are_valid(path, iltp_status):
    target, premises = iltp_question(path)
    result = resolution.prove_prefixed_resolution(target, premises, max_multiplicity=2)
    if result is not None:
        assert iltp_status[path.stem] != "CounterSatisfiable"
        assert prove_ljt(target, premises) is not None


# ---------------------------------------------------------------------------
# The translation method: a first-order proof it finds is never contradicted
# by LJT, the tableau or the known status; the prefixed method and LJT never
# disagree either (both may miss proofs at their bounds, never refute).


@settings(max_examples=80, deadline=None)
@given(ljt_questions(max_leaves=6, max_premises=1))
def test_translation_and_prefixed_proofs_agree_with_ljt_and_the_tableau(question):
    target, premises = question
    translated = resolution.prove_translation_resolution(target, premises, max_steps=100, timeout_sec=0.3)
    try:
        prefixed = resolution.prove_prefixed_resolution(target, premises, max_multiplicity=2)
    except MemoryError:
        prefixed = None  # the matrix at multiplicity 2 has more paths than memory holds: no answer
    valid = prove_ljt(target, premises) is not None
    verdict = tableau_verdict(target, premises)
    for result in (translated, prefixed):
        if result is not None:
            assert result.is_valid and valid and verdict is not False


@pytest.mark.parametrize("path", [p for p in iltp_problems(PREFIXED_SIZE) if p.stem not in PREFIXED_SLOW],
                         ids=lambda p: p.stem)
def test_translation_proofs_of_small_iltp_problems_are_valid(path, iltp_status):
    target, premises = iltp_question(path)
    result = resolution.prove_translation_resolution(target, premises, max_steps=200, timeout_sec=0.3)
    if result is not None:
        assert iltp_status[path.stem] != "CounterSatisfiable"
        assert prove_ljt(target, premises) is not None
