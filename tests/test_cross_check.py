"""The intuitionistic provers against each other: on small formulas the LJT
prover and the tableau must give the same answer wherever the tableau stays
within its bounds, and every LJT tree must be a valid derivation."""

import pytest
from hypothesis import given, settings
from strategies import ljt_questions

from quorvel.constructive.ljt import prove_ljt

tableau = pytest.importorskip("quorvel.constructive.tableau")


def tableau_verdict(target, premises):
    """True (closed), False (a countermodel that refutes the question at w0),
    or None when the tableau ran into a bound."""
    result = tableau.prove_tableau(target, premises)
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
