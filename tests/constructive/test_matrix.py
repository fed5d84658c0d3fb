import gc
import re
import signal
import weakref

import pytest
from hypothesis import assume, given, settings

import benchmark_code
from strategies import matrix_questions

import quorvel.constructive.matrix as matrix
from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.matrix import Connection, FormulaTree, Position, PositionType
from quorvel.constructive.prefix import Prefix, PrefixConstant, PrefixSubstitution, PrefixVariable, is_admissible
from quorvel.core.ast import And, Forall, Implies, Not, Or, PredicateApp, Variable

peer = benchmark_code.load("matrix_peer", "peers/matrix_peer.py")

P, Q, R = (PredicateApp(name, 0, ()) for name in "PQR")


def row(p):
    """A position as (id, text, type, symbol, parent id, child ids)."""
    return (p.id, p.to_string(), p.pos_type.value, p.symbol and p.symbol.name,
            p.parent and p.parent.id, [c.id for c in p.children])


def order_text(tree):
    return " ".join(f"{k}:{','.join(sorted(map(str, v)))}" for k, v in tree.tree_order.items())


def path_ids(tree):
    return [[p.id for p in path] for path in tree.get_paths()]


def test_module_names():
    assert matrix.__all__ == ["PositionType", "Position", "FormulaTree", "Connection"]
    assert [m.value for m in PositionType] == ["ALPHA", "BETA", "PHI", "PSI", "ATOM"]
    assert PositionType.ALPHA == "ALPHA" and isinstance(PositionType.ATOM, str)
    for name in ("Formula", "PredicateApp", "Not", "And", "Or", "Implies", "to_string", "normalize_formula",
                 "_is_atomic", "_is_falsum", "_is_verum", "FALSUM", "PrefixSymbol", "Prefix"):
        assert hasattr(matrix, name)


# ---------------------------------------------------------------------------
# Positions and connections


def leaf(id=1, formula=P, polarity=1, prefix=("c0",), **kw):
    return Position(id, formula, polarity, PositionType.ATOM, Prefix([PrefixConstant(n) for n in prefix]), **kw)


@pytest.mark.parametrize(
    "formula, polarity, prefix, text",
    [(P, 1, (), "P^1:eps"), (P, 0, ("c0",), "P^0:c0"), (FALSUM, 1, ("c0",), "_bot^1:c0"),
     (Implies(P, Q), 0, ("c0", "c1"), "(P => Q)^0:c0.c1")],
)
def test_position_text(formula, polarity, prefix, text):
    p = leaf(formula=formula, polarity=polarity, prefix=prefix)
    assert p.to_string() == str(p) == text


def test_position_record():
    p = leaf()
    assert (p.parent, p.children, p.symbol) == (None, (), None)
    assert leaf() == leaf() and leaf(id=2) != leaf() and p == p
    with pytest.raises(TypeError):
        hash(p)
    p.children = (leaf(id=2),)
    assert p.is_leaf()
    assert not Position(1, P, 0, PositionType.BETA, Prefix()).is_leaf()
    with pytest.raises(TypeError, match=re.escape("missing 1 required positional argument: 'prefix'")):
        Position(1, P, 0, PositionType.ATOM)
    odd = Position([], object(), "x", 5, None, parent=3, children=None, symbol={})
    assert odd.parent == 3 and odd.children is None
    assert "Position(id=[]" in repr(odd)


def test_connection():
    pos = Position(2, P, 1, PositionType.ATOM, Prefix([PrefixConstant("c0"), PrefixConstant("c1"),
                                                       PrefixVariable("V1")]))
    neg = Position(3, P, 0, PositionType.ATOM, Prefix([PrefixConstant("c0"), PrefixConstant("c1")]))
    c = Connection(pos, neg)
    assert c.to_string() == str(c) == "{P^1:c0.c1.V1 <-> P^0:c0.c1}"
    assert Connection(negative=pos, positive=neg).to_string() == "{P^0:c0.c1 <-> P^1:c0.c1.V1}"
    assert c == Connection(pos, neg) and c != Connection(neg, pos)
    with pytest.raises(AttributeError):
        c.positive = neg
    with pytest.raises(TypeError):
        hash(c)
    assert Connection(1, "x").positive == 1


def test_parent_link_keeps_nothing_alive():
    tree = FormulaTree(Implies(P, P))
    leaf_position = tree.leaves[0]
    assert leaf_position.parent is tree.root
    root = weakref.ref(tree.root)
    del tree
    gc.collect()
    assert root() is None and leaf_position.parent is None


def test_holding_the_root_keeps_the_positions():
    tree = FormulaTree(Implies(P, P))
    root = tree.root
    del tree
    gc.collect()
    assert [row(c) for c in root.children][0][4] == 1


def test_equality_and_repr_of_linked_positions_terminate():
    a, b = FormulaTree(Implies(P, P)), FormulaTree(Implies(P, P))
    assert a.root == b.root and a.leaves[0] == b.leaves[0] and a.root != b.leaves[0]
    assert a.positions[0] != FormulaTree(Implies(P, Q)).positions[0]
    assert "parent=<Position id=1>" in repr(a.leaves[0])
    c = FormulaTree(And(P, Q), [Or(P, Q)])
    assert c.root != a.root
    deep = FormulaTree(conjunction(5000))
    assert deep.root == FormulaTree(conjunction(5000)).root
    assert repr(deep.leaves[-1]).endswith("parent=<Position id=9999>, children=(), symbol=None)")


def test_positions_in_a_cycle_are_collected():
    p = leaf()
    p.children = (p,)
    p.parent = p
    ref = weakref.ref(p)
    del p
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------------------------
# Trees

TREES = [
    # target, premises, multiplicity, rows, positions order, leaves, ordering, counters
    (P, None, 1, [(1, "P^0:c0", "ATOM", None, None, [])], [1], [1], "c0:", (1, 0, 0)),
    (Implies(P, P), None, 1,
     [(1, "(P => P)^0:c0.c1", "PSI", "c1", None, [2, 3]), (2, "P^1:c0.c1.V1", "ATOM", "V1", 1, []),
      (3, "P^0:c0.c1", "ATOM", None, 1, [])],
     [2, 3, 1], [2, 3], "c0:c1 c1:V1 V1:", (3, 1, 1)),
    (Q, [Implies(P, Q), P], 2,
     [(1, "(P => Q)^1:c0", "PHI", None, None, [2, 3, 4, 5]), (2, "P^0:c0.V1", "ATOM", None, 1, []),
      (3, "Q^1:c0.V1.V2", "ATOM", "V2", 1, []), (4, "P^0:c0.V3", "ATOM", None, 1, []),
      (5, "Q^1:c0.V3.V4", "ATOM", "V4", 1, []), (6, "P^1:c0.V5", "ATOM", "V5", None, []),
      (7, "Q^0:c0", "ATOM", None, None, []), (8, "Q^0:c0", "BETA", None, None, [1, 6, 7])],
     [2, 3, 4, 5, 1, 6, 7, 8], [2, 3, 4, 5, 6, 7], "c0:V1,V3,V5 V1:V2 V2: V3:V4 V4: V5:", (8, 0, 5)),
    (And(P, Q), [Or(P, Q)], 1,
     [(1, "(P | Q)^1:c0", "ALPHA", None, None, [2, 3]), (2, "P^1:c0.V1", "ATOM", "V1", 1, []),
      (3, "Q^1:c0.V2", "ATOM", "V2", 1, []), (4, "(P & Q)^0:c0", "ALPHA", None, None, [5, 6]),
      (5, "P^0:c0", "ATOM", None, 4, []), (6, "Q^0:c0", "ATOM", None, 4, []),
      (7, "(P & Q)^0:c0", "BETA", None, None, [1, 4])],
     [2, 3, 1, 5, 6, 4, 7], [2, 3, 5, 6], "c0:V1,V2 V1: V2:", (7, 0, 2)),
    (Implies(Implies(P, Q), R), None, 2,
     [(1, "((P => Q) => R)^0:c0.c1", "PSI", "c1", None, [2, 7]),
      (2, "(P => Q)^1:c0.c1", "PHI", None, 1, [3, 4, 5, 6]), (3, "P^0:c0.c1.V1", "ATOM", None, 2, []),
      (4, "Q^1:c0.c1.V1.V2", "ATOM", "V2", 2, []), (5, "P^0:c0.c1.V3", "ATOM", None, 2, []),
      (6, "Q^1:c0.c1.V3.V4", "ATOM", "V4", 2, []), (7, "R^0:c0.c1", "ATOM", None, 1, [])],
     [3, 4, 5, 6, 2, 7, 1], [3, 4, 5, 6, 7], "c0:c1 c1:V1,V3 V1:V2 V2: V3:V4 V4:", (7, 1, 4)),
    (P, [FALSUM, VERUM], 1,
     [(1, "_bot^1:c0", "ATOM", None, None, []), (2, "_top^1:c0", "ATOM", None, None, []),
      (3, "P^0:c0", "ATOM", None, None, []), (4, "P^0:c0", "BETA", None, None, [1, 2, 3])],
     [1, 2, 3, 4], [1, 2, 3], "c0:", (4, 0, 0)),
]


@pytest.mark.parametrize("target, premises, multiplicity, rows, order, leaves, ordering, counters", TREES)
def test_tree_construction(target, premises, multiplicity, rows, order, leaves, ordering, counters):
    tree = FormulaTree(target, premises, multiplicity)
    assert sorted(map(row, tree.positions)) == rows
    assert [p.id for p in tree.positions] == order and [p.id for p in tree.leaves] == leaves
    assert order_text(tree) == ordering
    assert (tree._counter, tree._const_counter, tree._var_counter) == counters
    assert tree.root is tree.positions[-1] and tree.multiplicity == multiplicity
    assert list(vars(tree)) == ["target", "premises", "multiplicity", "positions", "leaves", "tree_order",
                                "_counter", "_const_counter", "_var_counter", "root"]
    assert tree.premises == tuple(premises or ())


def test_positions_share_prefixes_and_formulas():
    target = Implies(P, Or(P, Q))
    tree = FormulaTree(target)
    psi, atom, alpha = tree.root, tree.leaves[0], tree.root.children[1]
    assert psi.formula is target and alpha.formula is target.right
    assert alpha.prefix is psi.prefix and atom.prefix.symbols[:-1] == psi.prefix.symbols


@pytest.mark.parametrize("multiplicity", [0, -3, 1])
def test_multiplicity_is_at_least_one(multiplicity):
    tree = FormulaTree(target=Q, premises=[Implies(P, Q)], multiplicity=multiplicity)
    assert tree.multiplicity == 1 and path_ids(tree) == [[2, 4], [3, 4]]


@pytest.mark.parametrize("premises", [[], (), None])
def test_no_premises(premises):
    assert FormulaTree(P, premises).root.id == 1


@pytest.mark.parametrize("premises", [{P}, P, iter([P]), "P"])
def test_premises_must_be_a_list_or_tuple(premises):
    with pytest.raises(TypeError, match=re.escape("premises must be a list or tuple of formulas, not ")):
        FormulaTree(Q, premises)


def test_normalization_and_opaque_leaves():
    x = Variable(0)
    quantified = Forall(x, PredicateApp("S", 1, (x,)))
    tree = FormulaTree(Not(P), [quantified])
    assert tree.target == Implies(P, FALSUM)
    assert [row(p)[1:4] for p in tree.leaves] == [
        (tree.leaves[0].to_string(), "ATOM", None), ("P^1:c0.c1.V1", "ATOM", "V1"), ("_bot^0:c0.c1", "ATOM", None)]


def test_tree_is_a_plain_object():
    a, b = FormulaTree(P), FormulaTree(P)
    assert a != b and a == a
    a.note = 1
    assert a.note == 1


# ---------------------------------------------------------------------------
# Paths

PATHS = [
    (P, None, 1, [[1]]),
    (Implies(P, P), None, 1, [[2, 3]]),
    (And(P, Q), None, 1, [[2], [3]]),
    (Or(P, Q), None, 1, [[2, 3]]),
    (And(P, Q), [Or(P, Q)], 1, [[2, 5], [2, 6], [3, 5], [3, 6]]),
    (Q, [Implies(P, Q), P], 2, [[2, 4, 6, 7], [2, 5, 6, 7], [3, 4, 6, 7], [3, 5, 6, 7]]),
    (Implies(Implies(P, Q), R), None, 2, [[3, 5, 7], [3, 6, 7], [4, 5, 7], [4, 6, 7]]),
    (Q, [Implies(P, Q)], 1, [[2, 4], [3, 4]]),
    (FALSUM, [FALSUM], 1, [[1, 2]]),
]


@pytest.mark.parametrize("target, premises, multiplicity, expected", PATHS)
def test_paths(target, premises, multiplicity, expected):
    tree = FormulaTree(target, premises, multiplicity)
    assert path_ids(tree) == expected
    assert all(p.is_leaf() for path in tree.get_paths() for p in path)


def test_path_texts_and_counts():
    tree = FormulaTree(Q, [Implies(P, Q), P], multiplicity=2)
    paths = tree.get_paths()
    assert [str(p) for p in paths[0]] == ["P^0:c0.V1", "P^0:c0.V3", "P^1:c0.V5", "Q^0:c0"]
    assert [str(p) for p in paths[-1]] == ["Q^1:c0.V1.V2", "Q^1:c0.V3.V4", "P^1:c0.V5", "Q^0:c0"]
    wide = FormulaTree(Q, [Implies(P, Q)], multiplicity=3)
    assert len(wide.get_paths()) == 8 and path_ids(wide)[0] == [2, 4, 6, 8] and path_ids(wide)[-1] == [3, 5, 7, 8]


def test_paths_are_fresh_lists():
    tree = FormulaTree(And(P, Q), [Or(P, Q)])
    paths = tree.get_paths()
    paths[0].append(tree.root)
    assert path_ids(tree) == [[2, 5], [2, 6], [3, 5], [3, 6]] and len(paths[1]) == 2
    assert paths[1][0] is tree.leaves[0]


@pytest.mark.parametrize(
    "pos_type, children, expected",
    [(PositionType.ALPHA, 0, [[]]), (PositionType.BETA, 0, [[]]), (PositionType.PSI, 0, [[]]),
     (PositionType.PHI, 0, [[]]), (PositionType.PHI, 3, [[1], [2]]), (PositionType.ATOM, 2, [[9]]),
     (PositionType.BETA, 2, [[1, 2]]), ("ALPHA", 2, [[1], [2]])],
)
def test_paths_of_hand_made_positions(pos_type, children, expected):
    kids = tuple(leaf(id=i) for i in range(1, children + 1))
    tree = FormulaTree(P)
    tree.root = Position(9, P, 0, pos_type, Prefix(), children=kids)
    assert path_ids(tree) == expected


def test_a_position_among_its_descendants_is_refused():
    tree = FormulaTree(And(P, Q))
    tree.root.children = (tree.leaves[0], tree.root)
    with pytest.raises(RecursionError):
        tree.get_paths()


@settings(max_examples=150, deadline=None)
@given(matrix_questions())
def test_trees_and_paths_agree_with_the_plain_version(question):
    target, premises, multiplicity = question
    tree = FormulaTree(target, premises, multiplicity)
    # Nested equivalences can make millions of paths; the plain version is
    # compared on the ones it lists in moments.
    assume(peer.path_count(tree) <= 20_000)
    plain = peer.FormulaTree(target, premises, multiplicity)
    assert [row(p) for p in tree.positions] == [row(p) for p in plain.positions]
    assert [p.id for p in tree.leaves] == [p.id for p in plain.leaves]
    assert order_text(tree) == " ".join(f"{k}:{','.join(sorted(map(str, v)))}" for k, v in plain.tree_order.items())
    assert path_ids(tree) == [[p.id for p in path] for path in plain.get_paths()]
    assert is_admissible(tree, PrefixSubstitution())


# ---------------------------------------------------------------------------
# Large and hostile inputs


def conjunction(n, op=And):
    f = P
    for i in range(n):
        f = op(PredicateApp(f"A{i}", 0, ()), f)
    return f


def implication_chain(n):
    f = P
    for i in range(n):
        f = Implies(PredicateApp(f"A{i}", 0, ()), f)
    return f


@pytest.mark.parametrize("op, polarity_premise, paths", [(And, False, 20_001), (Or, False, 1), (And, True, 1),
                                                          (Or, True, 20_001)])
def test_long_chains_build_and_list_their_paths(op, polarity_premise, paths):
    f = conjunction(20_000, op)
    tree = FormulaTree(R, [f]) if polarity_premise else FormulaTree(f)
    assert tree._counter == 40_001 + polarity_premise * 2
    assert len(tree.get_paths()) == paths


def test_deep_implication_chain():
    tree = FormulaTree(implication_chain(3000))
    assert tree._const_counter == 3000 and len(tree.root.prefix) == 2
    assert len(tree.leaves[-1].prefix) == 3001
    assert len(tree.get_paths()) == 1


def test_trees_past_the_memory_budget_raise_memory_error():
    with pytest.raises(MemoryError):
        FormulaTree(implication_chain(150_000))
    shared = P
    for _ in range(80):
        shared = And(shared, shared)
    with pytest.raises(MemoryError):
        FormulaTree(shared)
    assert FormulaTree(P).root.id == 1


def test_paths_past_the_memory_budget_raise_memory_error():
    tree = FormulaTree(Q, [Implies(P, Q)], multiplicity=200)
    with pytest.raises(MemoryError):
        tree.get_paths()


def test_get_paths_answers_ctrl_c():
    # About a million paths: well within memory, longer to list than the timer.
    tree = FormulaTree(Q, [Implies(P, Q)], multiplicity=20)

    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(KeyboardInterrupt):
            tree.get_paths()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_hostile_formula_equality_reaches_the_caller():
    class Loud(PredicateApp):
        def __eq__(self, other):
            raise RuntimeError("no comparing")

        __hash__ = PredicateApp.__hash__

    with pytest.raises(RuntimeError, match="no comparing"):
        FormulaTree(Loud("P", 0, ()), [Loud("P", 0, ())])
