import copy
import dataclasses
import gc
import pickle
import json
import os
import re
import signal
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from interrupts import seconds_until_interrupted_apart
from strategies import small_kripke_models, tableau_questions

import quorvel.constructive.common as common
import quorvel.constructive.kripke as kripke
import quorvel.constructive.tableau as tableau
from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.tableau import (
    KripkeModel,
    Sign,
    SignedFormula,
    TableauNode,
    TableauProofResult,
    TableauProofTree,
    TableauProver,
    World,
    _BranchState,
    prove_tableau,
)
from quorvel.core.ast import And, Equality, Constant, Iff, Implies, Not, Or, PredicateApp
from quorvel.core.parser import to_string

p, q, r, s = (PredicateApp(name, 0, ()) for name in "pqrs")
P, Q, R = (PredicateApp(name, 0, ()) for name in "PQR")
w0, w1, w2, w3 = (World(i, f"w{i}") for i in range(4))
T, F = Sign.TRUE, Sign.FALSE


def raises(error, message):
    return pytest.raises(error, match="^" + re.escape(message) + "$")


def state_with(*signed, worlds=(w0,), edges=()):
    """A branch state over `worlds` with `edges` added, then the signed formulas."""
    st_ = _BranchState()
    for w in worlds:
        st_.add_world(w)
    for a, b in edges:
        st_.add_relation(a, b)
    for sign, formula, world in signed:
        (st_.add_t_formula if sign is T else st_.add_f_formula)(world, formula)
    return st_


def nodes(tree_or_node):
    """Pre-order list of the nodes under a tree's root (or a node)."""
    root = getattr(tree_or_node, "root", tree_or_node)
    out, stack = [], [root]
    while stack:
        n = stack.pop()
        out.append(n)
        stack.extend(reversed(n.children))
    return out


def shape(node):
    """(id, rule, signed formula text, world name, closed, clash) per node, pre-order."""
    return [(n.id, n.rule, str(n.signed_formula) if n.signed_formula else None,
             n.world.name if n.world else None, n.is_closed, n.clash_details) for n in nodes(node)]


# ---------------------------------------------------------------------------
# Module


def test_module_interface():
    assert tableau.__all__ == ["FALSUM", "VERUM", "Sign", "World", "SignedFormula", "KripkeModel", "TableauNode",
                               "TableauProofTree", "TableauProofResult", "TableauProver", "prove_tableau"]
    assert tableau.FALSUM is common.FALSUM and tableau.VERUM is common.VERUM
    assert tableau.World is kripke.World and tableau.KripkeModel is kripke.KripkeModel
    assert tableau._is_atomic is common._is_atomic and tableau.to_string is to_string
    assert tableau.Implies is Implies and tableau.Formula.__name__ == "Formula"
    for cls in (SignedFormula, TableauNode, TableauProofTree, TableauProofResult, TableauProver, _BranchState):
        assert cls.__module__ == "quorvel.constructive.tableau"


# ---------------------------------------------------------------------------
# Signs and signed formulas


def test_sign_is_its_letter():
    assert [m.name for m in Sign] == ["TRUE", "FALSE"]
    assert str(Sign.TRUE) == "T" and str(Sign.FALSE) == "F" and f"{Sign.TRUE}" == "T"
    assert Sign.TRUE == "T" and hash(Sign.TRUE) == hash("T")
    assert Sign("F") is Sign.FALSE
    assert repr(Sign.TRUE) == "<Sign.TRUE: 'T'>"


@pytest.mark.parametrize("sf, infix, latex", [
    (SignedFormula(T, P, w0), "T(P, w0)", "T(P, w0)"),
    (SignedFormula(F, P, w0), "F(P, w0)", "F(P, w0)"),
    (SignedFormula(T, FALSUM, w1), "T(_bot, w1)", "T(\\bot, w1)"),
    (SignedFormula(F, VERUM, w0), "F(_top, w0)", "F(\\top, w0)"),
    (SignedFormula(F, Implies(P, Not(Q)), w2), "F((P => ~Q), w2)", "F((P \\implies \\neg Q), w2)"),
    (SignedFormula(T, P, World(7, "home")), "T(P, home)", "T(P, home)"),
])
def test_signed_formula_text(sf, infix, latex):
    assert sf.to_string() == sf.to_string("infix") == sf.to_string(notation="infix") == str(sf) == infix
    assert sf.to_string("latex") == latex


def test_signed_formula_other_notations_go_to_the_printer():
    assert SignedFormula(T, FALSUM, w0).to_string("LaTeX") == "T(_bot, w0)"
    assert SignedFormula(F, VERUM, w0).to_string("prefix") == "F(_top, w0)"
    with raises(ValueError, "Unsupported notation: LaTeX"):
        SignedFormula(T, P, w0).to_string("LaTeX")


def test_signed_formula_is_a_frozen_value():
    a = SignedFormula(T, P, w0)
    assert a == SignedFormula(sign=T, formula=P, world=w0) and hash(a) == hash(SignedFormula(T, P, w0))
    assert hash(a) == hash((T, P, w0))
    assert a != SignedFormula(T, P, w1) and a != SignedFormula(F, P, w0) and a != (T, P, w0)
    assert repr(a) == ("SignedFormula(sign=<Sign.TRUE: 'T'>, formula=PredicateApp(pred='P', arity=0, args=()), "
                       "world=World(id=0, name=w0))")
    with raises(dataclasses.FrozenInstanceError, "cannot assign to field 'sign'"):
        a.sign = F
    with raises(dataclasses.FrozenInstanceError, "cannot delete field 'world'"):
        del a.world
    assert {a: 1}[SignedFormula(T, P, w0)] == 1
    with raises(TypeError, "SignedFormula.__init__() missing 1 required positional argument: 'world'"):
        SignedFormula(T, P)


# ---------------------------------------------------------------------------
# Tableau nodes


def test_node_defaults_and_dictionary():
    n = TableauNode(1)
    assert n.is_leaf()
    assert n.to_dict() == {"id": 1, "signed_formula": None, "rule": "", "world": None, "is_closed": False,
                           "clash_details": None, "children": []}
    assert list(n.to_dict()) == ["id", "signed_formula", "rule", "world", "is_closed", "clash_details", "children"]
    assert TableauNode(1, rule="Target", is_closed=True).to_dict()["rule"] == "Target"
    assert repr(n) == ("TableauNode(id=1, signed_formula=None, rule='', world=None, children=[], is_closed=False, "
                       "clash_details=None)")


def test_node_children_are_its_own_and_live():
    a, b = TableauNode(1), TableauNode(2)
    a.children.append(TableauNode(3))
    assert b.children == [] and TableauNode(4).children == []
    parent = TableauNode(1, SignedFormula(F, P, w0), "Target", w0, [TableauNode(2, world=w1), TableauNode(3)])
    assert not parent.is_leaf()
    d = parent.to_dict()
    assert [c["id"] for c in d["children"]] == [2, 3] and d["children"][0]["children"] == []
    assert d["signed_formula"] == "F(P, w0)" and d["world"] == "w0" and d["children"][0]["world"] == "w1"


def test_node_equality_is_by_fields_and_nodes_are_unhashable():
    assert TableauNode(1, children=[TableauNode(2)]) == TableauNode(1, children=[TableauNode(2)])
    assert TableauNode(1, children=[TableauNode(2)]) != TableauNode(1, children=[TableauNode(3)])
    with raises(TypeError, "unhashable type: 'TableauNode'"):
        hash(TableauNode(1))
    n = TableauNode(1)
    n.rule = 5
    n.note = "mine"  # a plain class takes new attributes
    assert n.rule == 5 and n.note == "mine"
    n.children.append(n)
    assert repr(n).startswith("TableauNode(id=1,") and "children=[...]" in repr(n)


def test_cyclic_nodes_are_collected():
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(100):
        n = TableauNode(1)
        n.children.append(n)
        s_ = _BranchState()
        s_.worlds.append(s_)
    gc.collect()
    assert len(gc.get_objects()) <= before + 5


def test_records_copy_and_pickle_like_dataclasses():
    node = TableauNode(1, rule="r", children=[TableauNode(2)], is_closed=True)
    node.note = "kept"
    for clone in (copy.copy(node), pickle.loads(pickle.dumps(node))):
        assert clone == node and clone.note == "kept"
    assert copy.copy(node).children is node.children
    sf = SignedFormula(T, P, w0)
    assert copy.copy(sf) == sf
    st_ = _BranchState(worlds=[w0], applied_rules={("k", 1)})
    assert pickle.loads(pickle.dumps(st_)) == st_
    tree = TableauProofTree(node)
    assert pickle.loads(pickle.dumps(tree)).root == node
    result = TableauProofResult(True, tree)
    assert str(pickle.loads(pickle.dumps(result))) == str(result)
    prover = pickle.loads(pickle.dumps(TableauProver(7)))
    assert (prover.max_depth, prover.max_worlds) == (7, 50)


# ---------------------------------------------------------------------------
# Branch state


def test_new_state_and_copy_are_empty():
    a = _BranchState()
    assert (a.worlds, a.relations, a.t_formulas, a.f_formulas, a.applied_rules) == ([], {}, {}, {}, set())
    assert a.copy() == a and a.copy() is not a
    assert repr(a) == "_BranchState(worlds=[], relations={}, t_formulas={}, f_formulas={}, applied_rules=set())"
    with raises(TypeError, "unhashable type: '_BranchState'"):
        hash(a)


def test_state_takes_given_containers_as_they_are():
    worlds = [w0]
    a = _BranchState(worlds)
    assert a.worlds is worlds


def test_add_world_is_idempotent():
    a = _BranchState()
    a.add_world(w0)
    a.add_world(w0)
    assert a.worlds == [w0] and a.relations == {w0: {w0}} and a.t_formulas == {w0: set()} == a.f_formulas


@pytest.mark.parametrize("edges, expected", [
    ([(w0, w1)], {w0: {w0, w1}, w1: {w1}}),
    ([(w0, w1), (w1, w2)], {w0: {w0, w1, w2}, w1: {w1, w2}, w2: {w2}}),
    # The successors of the target are not passed on.
    ([(w1, w2), (w0, w1)], {w1: {w1, w2}, w2: {w2}, w0: {w0, w1}}),
])
def test_add_relation(edges, expected):
    a = _BranchState()
    for e in edges:
        a.add_relation(*e)
    assert a.relations == expected
    assert a.worlds == list(expected)


def test_true_formulas_move_up_false_ones_stay():
    a = state_with(worlds=(w0, w1), edges=[(w0, w1)])
    a.add_t_formula(w0, p)
    a.add_t_formula(w1, q)
    a.add_f_formula(w0, r)
    assert a.t_formulas == {w0: {p}, w1: {p, q}} and a.f_formulas == {w0: {r}, w1: set()}
    a.add_relation(w0, w2)
    assert a.t_formulas[w2] == {p} and a.f_formulas[w2] == set()

    b = state_with((T, p, w0), worlds=(w0,))
    b.add_relation(w1, w2)
    b.add_relation(w0, w1)
    # p reaches w1 through the edge, but not w2, which w1 already saw.
    assert b.t_formulas[w1] == {p} and b.t_formulas[w2] == set()


def test_copy_is_independent():
    a = state_with((T, p, w0), worlds=(w0,))
    a.applied_rules.add(("T_And", p, w0))
    b = a.copy()
    assert b == a and b.worlds == a.worlds
    assert b.relations[w0] is not a.relations[w0] and b.t_formulas[w0] is not a.t_formulas[w0]
    b.add_relation(w0, w1)
    b.add_t_formula(w0, q)
    b.applied_rules.add(("F_Or", q, w0))
    assert a.worlds == [w0] and a.t_formulas == {w0: {p}} and len(a.applied_rules) == 1
    a.add_f_formula(w0, r)
    assert b.f_formulas[w0] == set()


def test_state_method_arguments():
    with raises(TypeError, "_BranchState.add_relation() missing 1 required positional argument: 'target'"):
        _BranchState().add_relation(w0)


# ---------------------------------------------------------------------------
# Clash detection and countermodel extraction


@pytest.mark.parametrize("signed, worlds, expected", [
    ([(T, FALSUM, w0), (T, p, w0), (F, p, w0)], (w0,), "Falsum bot asserted TRUE at w0"),
    ([(F, VERUM, w0), (T, p, w0), (F, p, w0)], (w0,), "Verum top asserted FALSE at w0"),
    ([(T, FALSUM, w0), (F, VERUM, w0)], (w0,), "Falsum bot asserted TRUE at w0"),
    ([(T, FALSUM, w2), (T, p, w1), (F, p, w1)], (w0, w1, w2), "Complementary clash on p at w1"),
    ([(T, And(p, q), w0), (F, And(p, q), w0)], (w0,), "Complementary clash on (p & q) at w0"),
    ([(T, p, w0), (F, p, w1)], (w0, w1), None),
    ([(T, VERUM, w0), (F, FALSUM, w0)], (w0,), None),
])
def test_check_clash(signed, worlds, expected):
    clash = TableauProver()._check_clash(state_with(*signed, worlds=worlds))
    assert (clash and clash[2]) == expected
    if clash:
        assert len(clash) == 3 and isinstance(clash[0], World)


def test_clash_on_an_empty_state_and_on_missing_entries():
    prover = TableauProver()
    assert prover._check_clash(state=_BranchState()) is None
    # w1 is listed but has no entries: it counts as having empty sets.
    assert prover._check_clash(_BranchState(worlds=[w0, w1], t_formulas={w0: {p}}, f_formulas={})) is None


def model_view(m):
    return ([w.name for w in m.worlds], {w.name: sorted(v.name for v in m.relations[w]) for w in m.worlds},
            {w.name: sorted(to_string(f) for f in m.valuations[w]) for w in m.worlds})


def test_extract_countermodel():
    prover = TableauProver()
    assert model_view(prover._extract_countermodel(_BranchState())) == ([], {}, {})
    # The branch itself never closed w0 <= w2; the model does.
    a = _BranchState(worlds=[w0, w1, w2], relations={w0: {w0, w1}, w1: {w1, w2}, w2: {w2}},
                     t_formulas={w0: {p, And(p, q), FALSUM}, w1: {VERUM}}, f_formulas={w2: {q}})
    m = prover._extract_countermodel(state=a)
    assert isinstance(m, KripkeModel)
    assert model_view(m) == (["w0", "w1", "w2"], {"w0": ["w0", "w1", "w2"], "w1": ["w1", "w2"], "w2": ["w2"]},
                             {"w0": ["p"], "w1": ["p"], "w2": ["p"]})
    # A listed world without entries is still reflexive.
    assert model_view(prover._extract_countermodel(_BranchState(worlds=[w3]))) == (["w3"], {"w3": ["w3"]},
                                                                                  {"w3": []})


# ---------------------------------------------------------------------------
# Prover bounds and node counter


@pytest.mark.parametrize("kwargs, bounds", [
    ({}, (100, 50)), ({"max_depth": 0, "max_worlds": -5}, (1, 1)), ({"max_depth": 50}, (50, 50)),
    ({"max_worlds": 7}, (100, 7)),
])
def test_bounds(kwargs, bounds):
    prover = TableauProver(**kwargs)
    assert (prover.max_depth, prover.max_worlds, prover._node_counter) == (*bounds, 0)


def test_node_counter():
    prover = TableauProver(3, 4)
    assert (prover.max_depth, prover.max_worlds) == (3, 4)
    assert [prover._next_node_id(), prover._next_node_id()] == [1, 2] and prover._node_counter == 2
    with raises(TypeError, "TableauProver.__init__() takes from 1 to 3 positional arguments but 4 were given"):
        TableauProver(1, 2, 3)


# ---------------------------------------------------------------------------
# Proofs


def test_implication_from_an_atom_to_itself():
    result = TableauProver().prove(Implies(p, p))
    assert result.is_valid is True and result.countermodel is None
    assert shape(result.tree.root) == [
        (1, "Target", "F((p => p), w0)", "w0", True, None),
        (2, "F_Imp (w0 <= w1)", "F((p => p), w0)", "w1", True, "Complementary clash on p at w1"),
    ]


@pytest.mark.parametrize("kwargs, valid, size", [
    ({"max_worlds": 1}, False, 1), ({"max_depth": 2}, True, 2), ({"max_depth": 1}, False, 1),
])
def test_bounds_on_a_valid_implication(kwargs, valid, size):
    result = TableauProver(**kwargs).prove(Implies(p, p))
    assert result.is_valid is valid and result.tree.get_size() == size
    if not valid:
        assert model_view(result.countermodel) == (["w0"], {"w0": ["w0"]}, {"w0": []})


def test_excluded_middle_is_refuted():
    prover = TableauProver()
    result = prover.prove(Or(p, Not(p)))
    assert result.is_valid is False and result.countermodel.worlds[0].name == "w0"
    assert shape(result.tree.root) == [
        (1, "Target", "F((p | ~p), w0)", "w0", False, None),
        (2, "F_Or", "F((p | ~p), w0)", "w0", False, None),
        (3, "F_Not (w0 <= w1)", "F(~p, w0)", "w1", False, None),
    ]
    assert model_view(result.countermodel) == (["w0", "w1"], {"w0": ["w0", "w1"], "w1": ["w1"]},
                                               {"w0": [], "w1": ["p"]})
    assert not result.countermodel.evaluate(Or(p, Not(p)), result.countermodel.worlds[0])
    assert model_view(prover.countermodel(Or(p, Not(p)))) == model_view(result.countermodel)
    assert prover.is_valid(target=Or(p, Not(p))) is False


def test_negation_as_implication_to_falsum():
    result = prove_tableau(Implies(Implies(p, FALSUM), Implies(p, q)))
    assert result.is_valid
    assert shape(result.tree.root) == [
        (1, "Target", "F(((p => _bot) => (p => q)), w0)", "w0", True, None),
        (2, "F_Imp (w0 <= w1)", "F(((p => _bot) => (p => q)), w0)", "w1", True, None),
        (3, "T_Not", "T((p => _bot), w1)", "w1", True, None),
        (4, "F_Imp (w1 <= w2)", "F((p => q), w1)", "w2", True, None),
        (5, "T_Not", "T((p => _bot), w1)", "w2", True, "Complementary clash on p at w2"),
    ]


def test_premises():
    prover = TableauProver()
    assert prover.prove(p).premises == () == prover.prove(p, []).premises
    given = [q, p]
    result = prover.prove(p, given)
    given.append(r)
    assert result.premises == (q, p) and result.is_valid
    result = prover.prove(target=q, premises=[FALSUM])
    assert result.is_valid and result.tree.root.is_closed
    assert result.tree.root.clash_details == "Falsum bot asserted TRUE at w0"


def test_successive_proofs_restart_the_counter():
    prover = TableauProver()
    first = prover.prove(Implies(p, p))
    assert prover._node_counter == 2
    second = prover.prove(Implies(q, q))
    assert first.tree.root.id == second.tree.root.id == 1


def test_prove_tableau_matches_a_default_prover():
    target = Implies(And(Or(p, q), Implies(p, r)), Or(r, q))
    a, b = prove_tableau(target), TableauProver().prove(target)
    assert a.tree.root == b.tree.root and a.is_valid is b.is_valid is True
    a, b = prove_tableau(Or(p, q), [Implies(p, q)], max_depth=7, max_worlds=3), \
        TableauProver(max_depth=7, max_worlds=3).prove(Or(p, q), [Implies(p, q)])
    assert a.tree.root == b.tree.root and model_view(a.countermodel) == model_view(b.countermodel)
    with raises(TypeError, "prove_tableau() missing 1 required positional argument: 'formula'"):
        prove_tableau()


def test_equivalences():
    result = prove_tableau(Implies(Iff(p, q), Implies(q, p)))
    assert result.is_valid
    assert "T_Iff" in [n.rule for n in nodes(result.tree)]
    result = prove_tableau(Iff(p, p))
    assert result.is_valid and [c.rule for c in result.tree.root.children] == ["F_Iff_L", "F_Iff_R"]
    assert result.tree.root.children[0].signed_formula == SignedFormula(F, Implies(p, p), w0)


def test_cut_proof_reports_not_valid_with_the_model_where_it_stopped():
    # Double negation elimination loops through new worlds until a bound stops it.
    result = prove_tableau(Implies(Not(Not(p)), p), max_depth=9)
    assert not result.is_valid and result.tree.get_depth() == 9
    assert result.countermodel is not None and len(result.countermodel.worlds) > 1


# ---------------------------------------------------------------------------
# The expansion step on hand-made branches


def expand(st_, prover=None, depth=1):
    prover = prover or TableauProver()
    node = TableauNode(prover._next_node_id())
    closed, open_state = prover._expand_branch(st_, node, depth)
    return node, closed, open_state


def test_true_conjunction_is_split_in_place():
    st_ = state_with((T, And(p, q), w0))
    node, closed, open_state = expand(st_)
    assert closed is False and open_state is st_
    [child] = node.children
    assert (child.rule, child.signed_formula, child.world) == ("T_And", SignedFormula(T, And(p, q), w0), w0)
    assert st_.t_formulas[w0] == {And(p, q), p, q} and st_.applied_rules == {("T_And", And(p, q), w0)}


def test_false_disjunction():
    st_ = state_with((F, Or(p, q), w0))
    node, closed, open_state = expand(st_)
    assert open_state is st_ and node.children[0].rule == "F_Or" and st_.f_formulas[w0] == {Or(p, q), p, q}


def test_rule_order_is_global():
    st_ = state_with((F, Or(r, s), w0), (T, And(p, q), w1), worlds=(w0, w1))
    node, _, _ = expand(st_)
    assert node.children[0].rule == "T_And" and node.children[0].world == w1
    st_ = state_with((T, Or(r, s), w0), (F, And(p, q), w1), worlds=(w0, w1))
    node, _, _ = expand(st_)
    assert node.children[0].rule == "F_And_L" and node.children[0].world == w1


@pytest.mark.parametrize("negation", [Not(p), Implies(p, FALSUM)])
def test_false_negation_creates_a_world(negation):
    st_ = state_with((F, negation, w0))
    node, closed, open_state = expand(st_)
    child = node.children[0]
    assert (child.rule, child.signed_formula, child.world) == ("F_Not (w0 <= w1)", SignedFormula(F, negation, w0), w1)
    assert st_.t_formulas[w1] == {p} and st_.f_formulas[w1] == {FALSUM} and closed is False
    assert {key[0] for key in st_.applied_rules} == {"F_Not"}


@pytest.mark.parametrize("negation", [Not(p), Implies(p, FALSUM)])
def test_true_negation_acts_once_per_successor(negation):
    st_ = state_with((T, negation, w0), worlds=(w0, w1), edges=[(w0, w1)])
    node, closed, _ = expand(st_)
    chain = nodes(node)[1:]
    assert [(n.rule, n.signed_formula.world, n.world) for n in chain] == [
        ("T_Not", w0, w0), ("T_Not", w0, w1), ("T_Not", w1, w1)]
    assert st_.f_formulas == {w0: {p}, w1: {p}}
    assert st_.applied_rules == {("T_Not", negation, w0, w0), ("T_Not", negation, w0, w1),
                                 ("T_Not", negation, w1, w1)}


def test_true_conjunction_is_decomposed_at_each_world_holding_it():
    st_ = state_with((T, And(p, q), w0), worlds=(w0, w1), edges=[(w0, w1)])
    node, _, _ = expand(st_)
    assert [(n.rule, n.world) for n in nodes(node)[1:]] == [("T_And", w0), ("T_And", w1)]


def test_false_conjunction_keeps_only_an_open_left_branch():
    st_ = state_with((F, And(p, q), w0))
    node, closed, open_state = expand(st_)
    assert closed is False and open_state is not st_
    assert [c.rule for c in node.children] == ["F_And_L"]
    assert node.children[0].signed_formula == SignedFormula(F, p, w0)
    assert open_state.f_formulas[w0] == {And(p, q), p}
    assert ("F_And", And(p, q), w0) in open_state.applied_rules and ("F_And", And(p, q), w0) in st_.applied_rules
    assert st_.f_formulas[w0] == {And(p, q)}


def test_true_disjunction_closes_both_branches():
    st_ = state_with((T, Or(p, q), w0), (F, p, w0), (F, q, w0))
    prover = TableauProver()
    prover._node_counter = 10
    node, closed, open_state = expand(st_, prover)
    assert (closed, open_state, node.is_closed) == (True, None, True)
    assert [(c.id, c.rule, str(c.signed_formula), c.clash_details) for c in node.children] == [
        (12, "T_Or_L", "T(p, w0)", "Complementary clash on p at w0"),
        (13, "T_Or_R", "T(q, w0)", "Complementary clash on q at w0"),
    ]


def test_true_implication_branches_per_successor():
    st_ = state_with((T, Implies(p, q), w0), (T, p, w0), (F, q, w0))
    node, closed, _ = expand(st_)
    assert closed is True
    assert [(c.rule, str(c.signed_formula), c.is_closed) for c in node.children] == [
        ("T_Imp_F (w0)", "F(p, w0)", True), ("T_Imp_T (w0)", "T(q, w0)", True)]
    assert st_.applied_rules == {("T_Imp", Implies(p, q), w0, w0)}
    st_ = state_with((T, Implies(p, FALSUM), w0))
    expand(st_)
    assert {key[0] for key in st_.applied_rules} == {"T_Not"}


def test_equivalence_rules():
    st_ = state_with((T, Iff(p, q), w0))
    node, _, _ = expand(st_, TableauProver(max_depth=2))
    [child] = node.children
    assert (child.rule, child.signed_formula) == ("T_Iff", SignedFormula(T, Iff(p, q), w0))
    assert st_.t_formulas[w0] == {Iff(p, q), Implies(p, q), Implies(q, p)}
    node, closed, _ = expand(state_with((T, Iff(p, q), w0), (T, p, w0), (F, q, w0)))
    assert closed is True
    node, closed, _ = expand(state_with((F, Iff(p, q), w0)))
    assert node.children[0].rule == "F_Iff_L" and node.children[0].signed_formula == SignedFormula(F, Implies(p, q), w0)


def test_world_bound_stops_new_worlds_without_taking_their_key():
    st_ = state_with((F, Implies(p, q), w0), (F, Implies(r, s), w0))
    node, closed, open_state = expand(st_, TableauProver(max_worlds=2))
    assert closed is False and len(open_state.worlds) == 2
    assert [key[0] for key in open_state.applied_rules] == ["F_Imp"]
    assert sum(n.rule.startswith("F_Imp") for n in nodes(node)) == 1


def test_clash_comes_before_the_bounds():
    st_ = state_with((T, p, w0), (F, p, w0))
    node, closed, _ = expand(st_, TableauProver(max_depth=1))
    assert closed is True and node.clash_details == "Complementary clash on p at w0"
    node, closed, open_state = expand(state_with((T, And(p, q), w0)), TableauProver(max_depth=1))
    assert (closed, node.children, node.is_closed) == (False, [], False)


def test_expand_branch_arguments():
    prover, st_, node = TableauProver(), _BranchState(), TableauNode(1)
    with raises(TypeError, "TableauProver._expand_branch() missing 1 required positional argument: 'depth'"):
        prover._expand_branch(st_, node)
    with raises(TypeError, "TableauProver._expand_branch() takes 4 positional arguments but 5 were given"):
        prover._expand_branch(st_, node, 1, 2)
    with raises(TypeError, "TableauProver._expand_branch() got an unexpected keyword argument 'level'"):
        prover._expand_branch(st_, node, level=1)
    assert prover._expand_branch(state=st_, node=node, depth=1) == (False, st_)


# ---------------------------------------------------------------------------
# Overridden methods are called by name


def test_overrides_are_called_and_change_nothing_when_they_defer():
    calls = []

    class Counting(TableauProver):
        def _next_node_id(self):
            calls.append("id")
            return super()._next_node_id()

        def _check_clash(self, state):
            calls.append("clash")
            return super()._check_clash(state)

        def _expand_branch(self, state, node, depth):
            calls.append("expand")
            return super()._expand_branch(state, node, depth)

        def _extract_countermodel(self, state):
            calls.append("model")
            return super()._extract_countermodel(state)

    for target, premises in [(Implies(And(Or(p, q), Implies(p, r)), Or(r, q)), []),
                             (Or(p, Not(p)), []), (Iff(Or(p, q), Or(q, p)), [Not(r)]),
                             (Implies(Not(Not(p)), p), [])]:
        calls.clear()
        a, b = TableauProver(max_depth=30).prove(target, premises), Counting(max_depth=30).prove(target, premises)
        size = a.tree.get_size()
        assert a.tree.root == b.tree.root and a.to_dict() == b.to_dict()
        assert calls.count("id") == size and calls.count("expand") == size == calls.count("clash")
        assert calls.count("model") == (not a.is_valid)


def test_overrides_replace_behaviour():
    class NoClash(TableauProver):
        def _check_clash(self, state):
            return None

    assert not NoClash().prove(Implies(p, p)).is_valid

    class Tens(TableauProver):
        def _next_node_id(self):
            self._node_counter += 10
            return self._node_counter

    assert [n.id for n in nodes(Tens().prove(Implies(p, p)).tree)] == [10, 20]

    class Marked(TableauProver):
        def _extract_countermodel(self, state):
            return ("model of", len(state.worlds))

    assert Marked().prove(Or(p, Not(p))).countermodel == ("model of", 2)

    class Shallow(TableauProver):
        def _expand_branch(self, state, node, depth):
            node.is_closed = "yes"
            return "yes", None

    result = Shallow().prove(p)
    assert result.is_valid == "yes" and result.countermodel is None and result.tree.root.is_closed == "yes"

    prover = TableauProver()
    prover._check_clash = lambda state: (w0, p, "instance")  # an instance attribute answers to the name too
    assert prover.prove(q).tree.root.clash_details == "instance"


def test_an_error_inside_the_step_passes_through():
    class Failing(TableauProver):
        def _next_node_id(self):
            if self._node_counter >= 1:
                raise LookupError("no more ids")
            return super()._next_node_id()

    with raises(LookupError, "no more ids"):
        Failing().prove(Implies(Implies(p, q), Implies(p, q)))


def test_foreign_targets_take_the_python_road():
    result = prove_tableau("not a formula", [p])
    assert not result.is_valid and model_view(result.countermodel) == (["w0"], {"w0": ["w0"]}, {"w0": ["p"]})
    with raises(TypeError, "Unsupported AST node type: str"):  # the printer's own error
        str(result.tree.root.signed_formula)


def test_python_subclass_nodes_take_the_python_road():
    class MyAnd(And):
        pass

    # Not equal to a plain And, so these are no clash.
    result = prove_tableau(Implies(MyAnd(p, q), And(p, q)))
    assert result.is_valid  # both sides decompose to the atoms
    result = prove_tableau(Or(MyAnd(p, q), Not(And(p, q))), [And(p, q)], max_depth=4)
    texts = [n.clash_details for n in nodes(result.tree)]
    assert "Complementary clash on (p & q) at w0" not in texts


# ---------------------------------------------------------------------------
# Renderings


def worked_example():
    n3 = TableauNode(3, SignedFormula(T, Q, w1), "F_Imp (w0 <= w1)", w1, is_closed=True,
                     clash_details="Complementary clash on Q at w1")
    n2 = TableauNode(2, SignedFormula(T, Q, w0), "T_Or_L", w0, [n3], is_closed=True)
    n4 = TableauNode(4, SignedFormula(T, R, w0), "T_Or_R", w0)
    return TableauProofTree(root=TableauNode(1, SignedFormula(F, P, w0), "Target", w0, [n2, n4]))


def test_worked_example_renderings():
    tree = worked_example()
    assert tree.to_string() == str(tree) == str(tree.root) == "\n".join([
        "+-- Target : F(P, w0) [OPEN]",
        "    |-- T_Or_L : T(Q, w0) [CLOSED]",
        "    |   +-- F_Imp (w0 <= w1) : T(Q, w1) [CLOSED] (Complementary clash on Q at w1)",
        "    +-- T_Or_R : T(R, w0) [OPEN]",
    ])
    assert tree.to_latex() == "\n".join([
        "\\begin{forest}",
        "  for tree={math content, parent anchor=south, child anchor=north}",
        "  [{F(P, w0) \\; [Target]}",
        "    [{T(Q, w0) \\; [T\\_Or\\_L]}",
        "      [{T(Q, w1) \\; [F\\_Imp (w0 <= w1)] \\times}",
        "      ]",
        "    ]",
        "    [{T(R, w0) \\; [T\\_Or\\_R]}",
        "    ]",
        "  ]",
        "\\end{forest}",
    ])
    assert (tree.get_depth(), tree.get_size(), tree.is_closed()) == (3, 4, False)
    d = tree.to_dict()
    assert list(d) == ["is_closed", "depth", "size", "tree"]
    assert d == {"is_closed": False, "depth": 3, "size": 4, "tree": tree.root.to_dict()}


@pytest.mark.parametrize("node, ascii_line, latex_body", [
    (TableauNode(1), "+--  [OPEN]", ["  [{\\;}", "  ]"]),
    (TableauNode(1, rule="Target", is_closed=True), "+-- Target [CLOSED]", ["  [{\\; [Target] \\times}", "  ]"]),
    (TableauNode(1, is_closed=True), "+--  [CLOSED]", ["  [{\\;  \\times}", "  ]"]),
    (TableauNode(1, SignedFormula(T, P, w0)), "+--  : T(P, w0) [OPEN]", ["  [{T(P, w0) \\;}", "  ]"]),
    (TableauNode(1, rule="X", clash_details="", is_closed=True), "+-- X [CLOSED]", ["  [{\\; [X] \\times}", "  ]"]),
    (TableauNode(1, rule=7, clash_details="why"), "+-- 7 [OPEN] (why)", ["  [{\\; [7]}", "  ]"]),
])
def test_lone_node_renderings(node, ascii_line, latex_body):
    tree = TableauProofTree(node)
    assert tree.to_string() == ascii_line
    lines = tree.to_latex().split("\n")
    assert lines[:2] == ["\\begin{forest}", "  for tree={math content, parent anchor=south, child anchor=north}"]
    assert lines[2:-1] == latex_body and lines[-1] == "\\end{forest}"
    assert (tree.get_depth(), tree.get_size()) == (1, 1)


def test_closed_inner_node_has_no_mark_and_three_children_indent():
    leaf = lambda i: TableauNode(i, rule=f"c{i}", children=[TableauNode(10 + i, rule="g")])  # noqa: E731
    root = TableauNode(1, rule="r", children=[leaf(1), leaf(2), leaf(3)], is_closed=True)
    assert root.to_string() == "\n".join([
        "+-- r [CLOSED]",
        "    |-- c1 [OPEN]", "    |   +-- g [OPEN]",
        "    |-- c2 [OPEN]", "    |   +-- g [OPEN]",
        "    +-- c3 [OPEN]", "        +-- g [OPEN]",
    ])
    assert root.to_string(prefix="> ", is_last=False).split("\n")[:3] == [
        "> |-- r [CLOSED]", "> |   |-- c1 [OPEN]", "> |   |   +-- g [OPEN]"]
    assert "[{\\; [r]}" in TableauProofTree(root).to_latex()


@pytest.mark.parametrize("n", [1, 2, 7])
def test_depth_and_size(n):
    chain = TableauNode(n)
    for i in range(n - 1, 0, -1):
        chain = TableauNode(i, children=[chain])
    assert (TableauProofTree(chain).get_depth(), TableauProofTree(chain).get_size()) == (n, n)
    star = TableauProofTree(TableauNode(0, children=[TableauNode(i) for i in range(n)]))
    assert (star.get_depth(), star.get_size()) == (2, n + 1)


def test_a_node_that_contains_itself_fails_like_recursion():
    n = TableauNode(1)
    n.children.append(n)
    m = TableauNode(1)
    m.children.append(m)
    for render in (n.to_dict, n.to_string, TableauProofTree(n).get_size, TableauProofTree(n).get_depth,
                   TableauProofTree(n).to_latex, lambda: n == m):
        with pytest.raises(RecursionError):
            render()
    assert n == n


def shared_levels(levels, rule="leaf"):
    node = TableauNode(0, rule=rule)
    for i in range(levels):
        node = TableauNode(i + 1, rule="r", children=[node, node])
    return node


def test_children_shared_sixty_levels_deep_are_walked_once():
    # The comparisons are kept out of the asserts: these trees have no printable size.
    a, b = shared_levels(60), shared_levels(60)
    tree = TableauProofTree(a)
    assert (tree.get_size(), tree.get_depth()) == (2**61 - 1, 61)
    other = shared_levels(60, rule="other")
    lopsided = shared_levels(60)
    lopsided.children[1] = shared_levels(59, rule="other")
    outcomes = [a == b, a != b, a == other, a != other, a == lopsided]
    assert outcomes == [True, False, False, True, False]


@pytest.mark.parametrize(
    "change, equal",
    [
        (lambda n: None, True),
        (lambda n: n.children[0].children.append(TableauNode(9)), False),
        (lambda n: setattr(n.children[1], "is_closed", True), False),
        (lambda n: setattr(n.children[0].children[0], "clash_details", "x"), False),
        (lambda n: n.children.__setitem__(1, "not a node"), False),
    ],
)
def test_node_equality_compares_every_field_below(change, equal):
    def tree():
        return TableauNode(1, children=[TableauNode(2, children=[TableauNode(3)]), TableauNode(4)])

    a, b = tree(), tree()
    change(b)
    assert (a == b, a != b) == (equal, not equal)


def test_children_of_other_classes_render_themselves():
    class Note(TableauNode):
        def to_string(self, prefix="", is_last=True):
            return f"{prefix}note({is_last})"

        def to_dict(self):
            return {"note": self.id}

    root = TableauNode(1, rule="r", children=[Note(2), TableauNode(3, rule="x")])
    assert root.to_string() == "+-- r [OPEN]\n    note(False)\n    +-- x [OPEN]"
    assert root.to_dict()["children"][0] == {"note": 2}


# ---------------------------------------------------------------------------
# Results


def test_result_report_worked_example():
    result = TableauProofResult(True, TableauProofTree(TableauNode(1, is_closed=True)))
    assert result.to_string() == str(result) == "\n".join([
        "=== Intuitionistic Kripke Tableau Proof (IPC) ===",
        "Status: VALID (Intuitionistically Proven)",
        "Tree Size: 1 nodes, Depth: 1",
        "",
        "--- Derivation Tree ---",
        "+--  [CLOSED]",
    ])
    assert result.to_dict() == {"is_valid": True, "target": None, "premises": [],
                                "tree": {"is_closed": True, "depth": 1, "size": 1, "tree": result.tree.root.to_dict()},
                                "countermodel": None}
    assert list(result.to_dict()) == ["is_valid", "target", "premises", "tree", "countermodel"]


def test_result_report_lines():
    tree = TableauProofTree(TableauNode(1))
    lines = TableauProofResult(False, tree, premises=(p,)).to_string().split("\n")
    assert lines[1:3] == ["Premises: p", "Status: UNPROVABLE (Countermodel Found)"]
    lines = TableauProofResult(False, tree, target=Or(p, q), premises=(p, q, p)).to_string().split("\n")
    assert lines[1:3] == ["Target: (p | q)", "Premises: p, q, p"]
    model = KripkeModel()
    model.add_world(w0)
    text = TableauProofResult(True, tree, countermodel=model).to_string()
    assert "Status: VALID (Intuitionistically Proven)" in text
    assert text.endswith("\n\n--- Falsifying Kripke Countermodel ---\n" + model.to_string())
    d = TableauProofResult(False, tree, model, FALSUM, (p, q, p)).to_dict()
    assert d["target"] == "_bot" and d["premises"] == ["p", "q", "p"] and d["countermodel"] == model.to_dict()


def test_result_record():
    tree = TableauProofTree(TableauNode(1))
    a = TableauProofResult(is_valid=True, tree=tree)
    assert (a.countermodel, a.target, a.premises) == (None, None, ())
    assert a == TableauProofResult(True, tree) and a != TableauProofResult(True, TableauProofTree(TableauNode(1)))
    with raises(TypeError, "unhashable type: 'TableauProofResult'"):
        hash(a)
    assert repr(a).startswith("TableauProofResult(is_valid=True, tree=<quorvel.constructive.tableau.TableauProofTree")
    assert tree == tree and tree != TableauProofTree(tree.root) and hash(tree) == hash(tree)
    a.is_valid = False
    assert "UNPROVABLE" in str(a)


def test_full_report_of_a_refutation():
    text = str(prove_tableau(Or(p, Not(p))))
    assert text == "\n".join([
        "=== Intuitionistic Kripke Tableau Proof (IPC) ===",
        "Target: (p | ~p)",
        "Status: UNPROVABLE (Countermodel Found)",
        "Tree Size: 3 nodes, Depth: 3",
        "",
        "--- Derivation Tree ---",
        "+-- Target : F((p | ~p), w0) [OPEN]",
        "    +-- F_Or : F((p | ~p), w0) [OPEN]",
        "        +-- F_Not (w0 <= w1) : F(~p, w0) [OPEN]",
        "",
        "--- Falsifying Kripke Countermodel ---",
        "Kripke Model (W, <=, V):",
        "  Worlds: w0, w1",
        "  Accessibility Relation (<=):",
        "    w0 <= {w0, w1}",
        "    w1 <= {w1}",
        "  Valuations V(w):",
        "    V(w0) = {empty}",
        "    V(w1) = {p}",
    ])
    json.dumps(prove_tableau(Or(p, Not(p))).to_dict())


# ---------------------------------------------------------------------------
# Scale, determinism, interruption


def implication_chain(n):
    atoms = [PredicateApp(f"p{i}", 0, ()) for i in range(n + 1)]
    return atoms[n], [atoms[0]] + [Implies(atoms[i], atoms[i + 1]) for i in range(n)]


def test_a_deep_proof_neither_recurses_nor_crashes():
    target, premises = implication_chain(20000)
    result = prove_tableau(target, premises, max_depth=1_000_000)
    assert result.is_valid and result.tree.get_depth() == 20001 and result.tree.get_size() == 40001
    d = result.to_dict()
    assert d["tree"]["depth"] == 20001
    del d, result
    # Cut by the depth bound deep down: not valid, with a countermodel.
    result = prove_tableau(target, premises, max_depth=15000)
    assert not result.is_valid and result.tree.get_depth() == 15000 and result.countermodel is not None


def test_output_does_not_depend_on_the_hash_seed():
    script = textwrap.dedent("""
        import json
        from quorvel.constructive.tableau import prove_tableau
        from quorvel.core.ast import And, Iff, Implies, Not, Or, PredicateApp
        a, b, c, d = (PredicateApp(n, 0, ()) for n in ("alpha", "beta", "gamma", "delta"))
        questions = [(Or(Or(a, b), Or(Not(c), d)), [Implies(a, c), Or(d, b)]),
                     (Implies(Iff(a, b), Or(And(a, b), Not(Or(c, d)))), [Or(c, Not(c))]),
                     (Or(Implies(a, b), Implies(b, a)), [])]
        out = []
        for target, premises in questions:
            r = prove_tableau(target, premises, max_depth=40, max_worlds=6)
            out.append([r.to_dict(), r.tree.to_latex(), str(r)])
        print(json.dumps(out))
    """)
    outputs = set()
    for seed in ("0", "1", "4242"):
        env = dict(os.environ, PYTHONHASHSEED=seed)
        run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, check=True)
        outputs.add(run.stdout.strip().splitlines()[-1])
    assert len(outputs) == 1


def pigeonhole(holes):
    """~(every pigeon in a hole & no two pigeons share one): valid, and costly."""
    at = {(i, j): PredicateApp(f"p{i}_{j}", 0, ()) for i in range(holes + 1) for j in range(holes)}

    def big(op, items):
        items = list(items)
        out = items[0]
        for x in items[1:]:
            out = op(out, x)
        return out

    placed = big(And, (big(Or, (at[i, j] for j in range(holes))) for i in range(holes + 1)))
    apart = big(And, (Not(And(at[i, j], at[k, j])) for j in range(holes)
                      for i in range(holes + 1) for k in range(i + 1, holes + 1)))
    return Not(And(placed, apart))


def test_a_long_search_answers_keyboard_interrupt():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(KeyboardInterrupt):
            prove_tableau(pigeonhole(8), max_depth=1_000_000, max_worlds=1_000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# Steps that add a world above thousands of others cost thousands of plain
# steps; the Ctrl-C must still come through at once, and so on the road
# that goes through the objects (taken for an instance of a subclass).
@pytest.mark.parametrize("atom", ["PredicateApp", "type('SubAtom', (PredicateApp,), {})"])
def test_keyboard_interrupt_arrives_promptly_in_costly_steps(atom):
    setup = f"""
        from quorvel.core.ast import Implies, PredicateApp
        from quorvel.constructive.tableau import prove_tableau
        P, Q, R = ({atom}(name, 0, ()) for name in "PQR")
        formula = Implies(Implies(Implies(P, Q), R), R)
    """
    call = "prove_tableau(formula, max_depth=10**5, max_worlds=10**4)"
    assert seconds_until_interrupted_apart(setup, call, after=3.0) < 4.0


@pytest.mark.skipif(sys.platform != "linux", reason="address-space limit")
def test_running_out_of_memory_is_a_memory_error():
    script = textwrap.dedent("""
        import resource, sys
        sys.path.insert(0, %r)
        from test_tableau import pigeonhole
        from quorvel.constructive.tableau import prove_tableau
        goal = pigeonhole(8)
        size = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize")) << 10
        resource.setrlimit(resource.RLIMIT_AS, (size + (200 << 20),) * 2)
        try:
            prove_tableau(goal, max_depth=10_000_000, max_worlds=1_000)
        except MemoryError:
            print("MemoryError")
    """) % os.path.dirname(__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(__file__)),
                                                       os.environ.get("PYTHONPATH", "")]))
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip().endswith("MemoryError")


# ---------------------------------------------------------------------------
# Soundness against small Kripke models, and the native road against the
# road through the methods


def refutes(model, target, premises):
    """Some world of `model` forces every premise and not the target."""
    return any(all(model.evaluate(x, w) for x in premises) and not model.evaluate(target, w) for w in model.worlds)


@settings(max_examples=300, deadline=None)
@given(tableau_questions(), st.lists(small_kripke_models(), min_size=1, max_size=3))
def test_closed_tableaux_are_sound_and_open_ones_give_countermodels(question, models):
    target, premises = question
    max_depth, max_worlds = 40, 6
    result = prove_tableau(target, premises, max_depth=max_depth, max_worlds=max_worlds)
    if result.is_valid:
        assert not any(refutes(m, target, premises) for m in models)
        return
    model = result.countermodel
    cut = result.tree.get_depth() >= max_depth or len(model.worlds) >= max_worlds
    if not cut:
        root = model.worlds[0]
        assert not model.evaluate(target, root)
        assert all(model.evaluate(x, root) for x in premises)


class Deferring(TableauProver):
    def _next_node_id(self):
        return super()._next_node_id()


@settings(max_examples=150, deadline=None)
@given(tableau_questions(max_leaves=6), st.integers(1, 12), st.integers(1, 4))
def test_native_search_builds_the_tree_of_the_method_road(question, max_depth, max_worlds):
    target, premises = question
    a = TableauProver(max_depth, max_worlds).prove(target, premises)
    b = Deferring(max_depth, max_worlds).prove(target, premises)
    assert a.tree.root == b.tree.root
    assert a.to_dict() == b.to_dict()
