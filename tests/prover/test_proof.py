import re

import pytest

from quorvel.prover.proof import ProofDAG, ProofStep


def test_steps_record_the_derivation():
    dag = ProofDAG()
    assert dag.add_step("p", "axiom") == 0
    assert dag.add_step("~p", "negated_goal") == 1
    assert dag.add_step("□", "resolution", premises=[0, 1]) == 2
    assert len(dag.steps) == len(dag) == 3
    assert dag.steps[2] == ProofStep(2, "□", "resolution", (0, 1))
    assert dag == ProofDAG(dag.steps) and dag.steps is not ProofDAG(dag.steps).steps
    with pytest.raises(TypeError):
        hash(dag)


@pytest.mark.parametrize("premises", [[3], [-1], ["0"], [True]])
def test_premises_must_be_earlier_steps(premises):
    dag = ProofDAG()
    dag.add_step("p", "axiom")
    with pytest.raises(ValueError, match=re.escape("is not the index of an earlier step")):
        dag.add_step("q", "r", premises)
    assert len(dag) == 1
