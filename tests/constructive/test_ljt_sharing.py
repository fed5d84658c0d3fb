"""LJT derivations that share equal sub-derivations: one node per distinct
sequent, the same tree as the unshared search, and walks that cost what is
distinct in a derivation."""

import signal

import pytest
from hypothesis import given, settings

import benchmark_code
from strategies import ljt_questions

from quorvel.constructive.ljt import VERUM, LJTProofNode, LJTProofTree, LJTProver, Sequent, prove_ljt
from quorvel.core.ast import And, Implies, PredicateApp

P = PredicateApp("P", 0, ())

iltp = benchmark_code.load("iltp_reader", "iltp.py")
ILTP = benchmark_code.iltp_dir()


class Unshared(LJTProver):
    """Takes the rule-by-rule path: every premise is searched through this
    override, so every occurrence of a sequent gets a node of its own."""

    def _search(self, seq):
        return LJTProver._search(self, seq)


def distinct_nodes(root):
    """The node objects of a derivation, each once."""
    seen, stack = {}, [root]
    while stack:
        node = stack.pop()
        if id(node) not in seen:
            seen[id(node)] = node
            stack.extend(node.premises)
    return list(seen.values())


def assert_one_node_per_sequent(root):
    by_sequent = {}
    for node in distinct_nodes(root):
        assert by_sequent.setdefault(node.sequent, node) is node, node.sequent


def doubled(formula, times):
    """formula ∧ formula, that again, `times` times: a formula of `times`
    distinct parts whose derivation doubles at every level."""
    for _ in range(times):
        formula = And(formula, formula)
    return formula


def assert_same_derivation(shared, unshared):
    assert (shared is None) == (unshared is None)
    if shared is None:
        return
    assert shared.root == unshared.root and unshared.root == shared.root
    assert hash(shared.root) == hash(unshared.root)
    assert (shared.size, shared.depth, shared.is_valid()) == (unshared.size, unshared.depth, unshared.is_valid())
    assert shared.to_ascii() == unshared.to_ascii()
    assert_one_node_per_sequent(shared.root)


@settings(max_examples=200, deadline=None)
@given(ljt_questions())
def test_shared_derivation_equals_the_unshared_one(question):
    target, premises = question
    assert_same_derivation(prove_ljt(target, premises), Unshared().prove(target, premises))


@pytest.mark.skipif(ILTP is None, reason="the ILTP problems are not beside this checkout")
@pytest.mark.parametrize("name", ["SYJ201+1.003", "SYJ202+1.003", "SYJ206+1.005", "SYJ212+1.004"])
def test_shared_derivation_of_iltp_problems(name):
    (path,) = [p for p in iltp.problem_files(ILTP) if p.stem == name]
    problem = iltp.parse_problem(path.read_text(), path.stem)
    shared = prove_ljt(problem.target, problem.premises)
    assert_same_derivation(shared, Unshared().prove(problem.target, problem.premises))
    if name.startswith("SYJ201"):
        # Its derivation repeats sub-derivations many times over.
        assert 5 * len(distinct_nodes(shared.root)) < shared.size


def test_a_derivation_beyond_two_to_the_64_nodes():
    # 100 distinct sequents above one another, each derived twice over.
    tree = prove_ljt(doubled(Implies(P, P), 100))
    assert len(distinct_nodes(tree.root)) == 102
    assert (tree.size, tree.depth, tree.is_valid()) == (3 * 2**100 - 1, 102, True)
    node = LJTProofNode(Sequent((P,), P), "Ax")
    node = LJTProofNode(Sequent((), Implies(P, P)), "R_Imp", (node,))
    f = Implies(P, P)
    for _ in range(100):
        f = And(f, f)
        node = LJTProofNode(Sequent((), f), "R_And", (node, node))
    assert tree.root == node and hash(tree.root) == hash(node)


def ladder(levels, top_rule="Ax"):
    """A hand-built derivation of `levels` + 1 distinct nodes and
    2 ** (levels + 1) - 1 tree nodes: each node's two premises are one node."""
    node = LJTProofNode(Sequent((), VERUM), top_rule)
    for _ in range(levels):
        node = LJTProofNode(Sequent((), VERUM), "R_And", (node, node))
    return node


@pytest.mark.parametrize(
    ("a", "b", "equal"),
    [
        (ladder(80), ladder(80), True),
        (ladder(80), ladder(80, "L_Bot"), False),
        (ladder(80), ladder(79), False),
    ],
    ids=["equal", "different-top", "different-height"],
)
def test_equality_over_shared_premises_compares_each_pair_once(a, b, equal):
    assert (a == b) is equal and (a != b) is not equal
    if equal:
        assert hash(a) == hash(b)


def test_walks_over_a_shared_hand_built_derivation():
    tree = LJTProofTree(ladder(200))
    assert (tree.size, tree.depth, tree.is_valid()) == (2**201 - 1, 201, True)
    assert not LJTProofTree(ladder(200, "R_Imp")).is_valid()


@pytest.mark.parametrize("render", ["to_ascii", "to_latex", "to_dict", "__str__"])
def test_renderings_of_a_huge_shared_tree_answer_ctrl_c(render):
    tree = prove_ljt(doubled(Implies(P, P), 100))

    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            getattr(tree, render)()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
