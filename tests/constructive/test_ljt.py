import contextlib
import copy
import dataclasses
import gc
import inspect
import re
import shutil
import signal
import subprocess
import sys
import textwrap

import pickle

import pytest
from hypothesis import given, settings

import benchmark_code
from strategies import ljt_questions

import quorvel.constructive.common as common
import quorvel.constructive.ljt as ljt
from quorvel.constructive.ljt import (
    FALSUM,
    VERUM,
    LJTProofNode,
    LJTProofTree,
    LJTProver,
    Sequent,
    normalize_formula,
    prove_ljt,
)
from quorvel.core.ast import And, Forall, Iff, Implies, Not, Or, PredicateApp, Variable
from quorvel.core.parser import to_string

peer = benchmark_code.load("ljt_peer", "peers/ljt_peer.py")

P, Q, R, S, T = (PredicateApp(name, 0, ()) for name in "PQRST")


def raises(message, error=TypeError):
    return pytest.raises(error, match="^" + re.escape(message) + "$")


def search(antecedents, goal=FALSUM):
    return LJTProver()._search(Sequent(antecedents, goal))


def ascii_of(node):
    return None if node is None else LJTProofTree(node).to_ascii()


def leaf(antecedents, goal, rule="Ax"):
    return LJTProofNode(Sequent(antecedents, goal), rule)


@contextlib.contextmanager
def ctrl_c_after(seconds):
    """Expects the body to be stopped by a KeyboardInterrupt raised, as a
    Ctrl-C would be, by a signal handler `seconds` after it starts."""

    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        with pytest.raises(KeyboardInterrupt):
            yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


# ---------------------------------------------------------------------------
# Module


def test_module_interface():
    assert ljt.__all__ == [
        "FALSUM", "VERUM", "_is_falsum", "_is_verum", "_is_atomic", "normalize_formula", "_formula_weight",
        "Sequent", "LJTProofNode", "LJTProofTree", "LJTProver", "prove_ljt",
    ]
    for name in ljt.__all__[:7]:
        assert getattr(ljt, name) is getattr(common, name)


# ---------------------------------------------------------------------------
# Sequent


def test_default_sequent():
    defaults = [p.default for p in inspect.signature(Sequent).parameters.values()]
    assert defaults[0] == () and defaults[1] is FALSUM
    assert str(inspect.signature(LJTProver.prove)) == "(self, /, target, premises=None)"
    s = Sequent()
    assert s.antecedents == () and s.succedent is FALSUM
    assert str(s) == " ==> _bot"
    assert s.to_string("latex") == " \\vdash \\bot"


def test_antecedents_are_stored_as_a_tuple_in_order():
    t = (P, Q)
    assert Sequent(t, R).antecedents is t
    from_list = Sequent([P, Q], R)
    assert from_list.antecedents == t and type(from_list.antecedents) is tuple
    assert from_list == Sequent(t, R) and hash(from_list) == hash(Sequent(t, R))
    assert str(from_list) == str(Sequent(t, R)) == "P, Q ==> R"
    swapped = Sequent([Q, P], R)
    assert swapped != from_list and str(swapped) == "Q, P ==> R"
    assert str(Sequent([P, P], Q)) == "P, P ==> Q"
    assert Sequent(succedent=P, antecedents=[Q]) == Sequent((Q,), P)
    assert hash(from_list) == hash(((P, Q), R))


@pytest.mark.parametrize(
    ("sequent", "infix", "latex"),
    [
        (Sequent([P], P), "P ==> P", "P \\vdash P"),
        (Sequent([FALSUM, VERUM], VERUM), "_bot, _top ==> _top", "\\bot, \\top \\vdash \\top"),
        (Sequent([], VERUM), " ==> _top", " \\vdash \\top"),
    ],
)
def test_sequent_text(sequent, infix, latex):
    assert str(sequent) == sequent.to_string() == sequent.to_string("infix") == infix
    assert sequent.to_string(notation="latex") == latex


LONE = PredicateApp("P\ud800", 0, ())  # a name the strict UTF-8 codec refuses


class Notation(str):
    """A notation the formula printer is called with by name."""


@pytest.mark.parametrize(
    ("render", "expected"),
    [
        (lambda: Sequent([LONE], LONE).to_string(), "P\ud800 ==> P\ud800"),
        (lambda: str(Sequent([LONE], LONE)), "P\ud800 ==> P\ud800"),
        (lambda: Sequent([LONE], LONE).to_string("latex"), "P\ud800 \\vdash P\ud800"),
        (lambda: Sequent([LONE], LONE).to_string(Notation("infix")), "P\ud800 ==> P\ud800"),
        (lambda: str(prove_ljt(Implies(LONE, LONE))), "[R_Imp]  ==> (P\ud800 => P\ud800)\n`-- [Ax] P\ud800 ==> P\ud800"),
        (lambda: prove_ljt(LONE, [LONE]).to_latex().splitlines()[3], "  \\UnaryInfC{$P\ud800 \\vdash P\ud800$}"),
        (lambda: prove_ljt(LONE, [LONE]).to_dict()["root"]["sequent"], "P\ud800 ==> P\ud800"),
        (lambda: LJTProofTree(leaf([P], P, "A\udc80x")).to_ascii(), "[A\udc80x] P ==> P"),
    ],
)
def test_texts_accept_lone_surrogates_as_the_printer_does(render, expected):
    assert to_string(LONE) == "P\ud800"
    assert render() == expected


def test_falsum_inside_a_formula_is_left_to_the_printer():
    inner, goal = And(P, FALSUM), Implies(Q, VERUM)
    seq = Sequent([inner], goal)
    for notation, turnstile in (("infix", " ==> "), ("latex", " \\vdash ")):
        assert seq.to_string(notation) == to_string(inner, notation=notation) + turnstile + to_string(
            goal, notation=notation)


@pytest.mark.parametrize("notation", ["prefix", "LaTeX", 5])
def test_other_notations_take_infix_words_and_reach_the_printer(notation):
    assert Sequent([FALSUM], VERUM).to_string(notation) == "_bot ==> _top"
    with raises(f"Unsupported notation: {notation}", ValueError):
        Sequent([P], VERUM).to_string(notation)


def test_sequent_refuses_antecedents_that_are_no_sequence():
    with raises("'int' object is not iterable"):
        Sequent(5)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: Sequent((), P, Q), "Sequent.__init__() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: Sequent(goal=P), "Sequent.__init__() got an unexpected keyword argument 'goal'"),
        (lambda: LJTProofNode(), "LJTProofNode.__init__() missing 2 required positional arguments: 'sequent' and 'rule'"),
        (lambda: Sequent().to_string("latex", 1), "Sequent.to_string() takes from 1 to 2 positional arguments but 3 were given"),
    ],
)
def test_argument_errors(call, message):
    with raises(message):
        call()


@pytest.mark.parametrize(
    ("record", "field"),
    [(Sequent([P], Q), "antecedents"), (Sequent([P], Q), "succedent"), (leaf([P], P), "rule"),
     (leaf([P], P), "premises"), (Sequent(), "other")],
)
def test_records_are_frozen(record, field):
    before = repr(record)
    with pytest.raises(dataclasses.FrozenInstanceError, match=re.escape(f"cannot assign to field '{field}'")):
        setattr(record, field, None)
    with pytest.raises(dataclasses.FrozenInstanceError, match=re.escape(f"cannot delete field '{field}'")):
        delattr(record, field)
    assert repr(record) == before


def test_subclass_may_add_attributes_but_not_change_fields():
    class Tagged(Sequent):
        pass

    s = Tagged([P], Q)
    s.tag = 1
    assert s.tag == 1
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.succedent = P
    assert s != Sequent([P], Q)  # another class is never equal


def test_subclass_with_its_own_init_builds_through_super():
    class Named(Sequent):
        def __init__(self, name, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.name = name

    s = Named("n", [P], Q)
    assert (s.name, s.antecedents, s.succedent) == ("n", (P,), Q)
    assert s == Named("m", (P,), Q) and hash(s) == hash(Named("m", (P,), Q)) and s != Sequent([P], Q)
    assert Named("d").succedent == FALSUM
    with raises("Sequent.__init__() got an unexpected keyword argument 'goal'"):
        Named("n", goal=P)
    with pytest.raises(dataclasses.FrozenInstanceError):
        s.succedent = P


def test_reprs():
    s = Sequent([P], Q)
    assert repr(s) == (
        "Sequent(antecedents=(PredicateApp(pred='P', arity=0, args=()),), "
        "succedent=PredicateApp(pred='Q', arity=0, args=()))"
    )
    assert repr(LJTProofNode(s, "Ax")) == f"LJTProofNode(sequent={s!r}, rule='Ax', premises=())"


# ---------------------------------------------------------------------------
# LJTProofNode


def test_node_equality_and_hash_are_deep():
    a = LJTProofNode(Sequent([P, Q], And(P, Q)), "R_And", (leaf([P, Q], P), leaf([P, Q], Q)))
    b = LJTProofNode(Sequent((P, Q), And(P, Q)), "R_And", (leaf((P, Q), P), leaf((P, Q), Q)))
    assert a == b and hash(a) == hash(b)
    assert hash(a) == hash((a.sequent, a.rule, a.premises))
    swapped = LJTProofNode(a.sequent, "R_And", a.premises[::-1])
    assert a != swapped
    assert a != LJTProofNode(a.sequent, "R_And", (leaf([P, Q], P), leaf([P, Q], Q, "L_Bot")))
    assert leaf([P], P) != leaf([P], P, "ax")


def test_node_dictionary():
    two = LJTProofNode(Sequent([P, Q], And(P, Q)), "R_And", (leaf([P, Q], P), leaf([P, Q], Q)))
    assert two.to_dict() == {
        "sequent": "P, Q ==> (P & Q)",
        "rule": "R_And",
        "premises": [
            {"sequent": "P, Q ==> P", "rule": "Ax", "premises": []},
            {"sequent": "P, Q ==> Q", "rule": "Ax", "premises": []},
        ],
    }
    assert list(two.to_dict()) == ["sequent", "rule", "premises"]
    assert leaf([FALSUM], P, "L_Bot").to_dict()["sequent"] == "_bot ==> P"


def test_deep_hand_built_chain():
    # Far deeper than any C stack would allow for recursive walks.
    n = 200_000
    node = leaf([P], P)
    for _ in range(n - 1):
        node = LJTProofNode(node.sequent, "R_Imp", (node,))
    twin = leaf([P], P)
    for _ in range(n - 1):
        twin = LJTProofNode(twin.sequent, "R_Imp", (twin,))
    assert node == twin and hash(node) == hash(twin)
    tree = LJTProofTree(node)
    assert (tree.depth, tree.size, tree.is_valid()) == (n, n, True)
    assert len(tree.to_latex().splitlines()) == 3 + 2 * (n - 1) + 2
    d = tree.to_dict()["root"]
    for _ in range(n - 1):
        d = d["premises"][0]
    assert d == {"sequent": "P ==> P", "rule": "Ax", "premises": []}
    del node, twin, tree, d  # freeing must not recurse either


def test_cycle_through_a_mutable_antecedent_is_collected():
    class Marker:
        freed = False

        def __del__(self):
            Marker.freed = True

    box = [Marker()]
    s = Sequent([box], P)
    box.append(LJTProofNode(s, "Ax"))
    del box, s
    gc.collect()
    assert Marker.freed


# ---------------------------------------------------------------------------
# The search


def tree_text(*lines):
    return "\n".join(lines)


@pytest.mark.parametrize(
    ("antecedents", "goal", "expected"),
    [
        ([], VERUM, "[R_Top]  ==> _top"),
        ([FALSUM], VERUM, "[R_Top] _bot ==> _top"),
        ([], P, None),
        ([], FALSUM, None),
        ([FALSUM, P], P, "[L_Bot] _bot, P ==> P"),
        ([P, FALSUM], Q, "[L_Bot] P, _bot ==> Q"),
        ([And(P, Q)], And(P, Q), "[Ax] (P & Q) ==> (P & Q)"),
        ([Implies(P, Q)], Implies(P, Q), "[Ax] (P => Q) ==> (P => Q)"),
        ([And(P, Q)], And(Q, P), tree_text(
            "[R_And] (P & Q) ==> (Q & P)",
            "|-- [L_And] (P & Q) ==> Q",
            "|   `-- [Ax] P, Q ==> Q",
            "`-- [L_And] (P & Q) ==> P",
            "    `-- [Ax] P, Q ==> P")),
        ([And(P, Q)], Implies(R, P), tree_text(
            "[R_Imp] (P & Q) ==> (R => P)",
            "`-- [L_And] (P & Q), R ==> P",
            "    `-- [Ax] R, P, Q ==> P")),
        ([], Implies(P, P), "[R_Imp]  ==> (P => P)\n`-- [Ax] P ==> P"),
        ([Q], Implies(P, R), None),
        ([P, Q], And(P, Q), "[R_And] P, Q ==> (P & Q)\n|-- [Ax] P, Q ==> P\n`-- [Ax] P, Q ==> Q"),
        ([And(P, Q), R], Q, "[L_And] (P & Q), R ==> Q\n`-- [Ax] R, P, Q ==> Q"),
        ([And(P, Q), And(P, Q)], R, None),
        ([Or(P, Q)], Or(Q, P), tree_text(
            "[L_Or] (P | Q) ==> (Q | P)",
            "|-- [R_Or2] P ==> (Q | P)",
            "|   `-- [Ax] P ==> P",
            "`-- [R_Or1] Q ==> (Q | P)",
            "    `-- [Ax] Q ==> Q")),
        ([Or(P, Q)], P, None),
        ([Implies(P, Q)], Q, None),
        ([P, Implies(P, Q)], Q, "[L_Imp_Atom] P, (P => Q) ==> Q\n`-- [Ax] P, Q ==> Q"),
        ([Implies(P, Q), P], Q, "[L_Imp_Atom] (P => Q), P ==> Q\n`-- [Ax] P, Q ==> Q"),
        ([Implies(And(P, Q), R), P, Q], R, tree_text(
            "[L_Imp_And] ((P & Q) => R), P, Q ==> R",
            "`-- [L_Imp_Atom] P, Q, (P => (Q => R)) ==> R",
            "    `-- [L_Imp_Atom] P, Q, (Q => R) ==> R",
            "        `-- [Ax] P, Q, R ==> R")),
        ([Implies(Or(P, Q), R), Q], R, tree_text(
            "[L_Imp_Or] ((P | Q) => R), Q ==> R",
            "`-- [L_Imp_Atom] Q, (P => R), (Q => R) ==> R",
            "    `-- [Ax] Q, (P => R), R ==> R")),
        ([Q], Or(P, Q), "[R_Or2] Q ==> (P | Q)\n`-- [Ax] Q ==> Q"),
        ([Implies(Implies(P, P), Or(Q, R))], Or(Q, R), tree_text(
            "[L_Imp_Imp] ((P => P) => (Q | R)) ==> (Q | R)",
            "|-- [Ax] (P => (Q | R)), P ==> P",
            "`-- [Ax] (Q | R) ==> (Q | R)")),
        ([Implies(Implies(P, Q), R), Q], R, tree_text(
            "[L_Imp_Imp] ((P => Q) => R), Q ==> R",
            "|-- [Ax] Q, (Q => R), P ==> Q",
            "`-- [Ax] Q, R ==> R")),
        ([Implies(Implies(P, Q), R), Implies(Implies(S, T), R), T], R, tree_text(
            "[L_Imp_Imp] ((P => Q) => R), ((S => T) => R), T ==> R",
            "|-- [Ax] ((P => Q) => R), T, (T => R), S ==> T",
            "`-- [Ax] ((P => Q) => R), T, R ==> R")),
        ([Implies(Implies(P, Q), P)], P, None),
        ([], Or(P, Implies(P, FALSUM)), None),
        # A negation is opaque to the search itself.
        ([P, Not(P)], FALSUM, None),
        ([Not(P)], Not(P), "[Ax] ~P ==> ~P"),
        # Repaired: an antecedent _top => B is B, with or without _top beside it.
        ([Implies(VERUM, P)], P, "[L_Imp_Atom] (_top => P) ==> P\n`-- [Ax] P ==> P"),
        ([VERUM, Implies(VERUM, P)], P, "[L_Imp_Atom] _top, (_top => P) ==> P\n`-- [Ax] _top, P ==> P"),
    ],
)
def test_search_cases(antecedents, goal, expected):
    assert ascii_of(search(antecedents, goal)) == expected


def test_search_returns_the_sequent_it_was_given_and_shares_formulas():
    a1, a2 = And(P, Q), And(P, Q)
    seq = Sequent([], Implies(a1, a2))
    root = LJTProver()._search(seq)
    assert root.sequent is seq
    premise = root.premises[0].sequent
    assert premise.antecedents[0] is a1 and premise.succedent is a2
    assert root.premises[0].rule == "Ax"


def test_search_builds_new_implications_by_keyword_parts():
    root = search([Implies(And(P, Q), R), P, Q], R)
    curried = root.premises[0].sequent.antecedents[2]
    assert curried == Implies(P, Implies(Q, R))
    principal = root.sequent.antecedents[0]
    assert curried.left is principal.left.left and curried.right.right is principal.right


def test_search_accepts_keyword_and_duck_typed_sequents():
    class Duck:
        antecedents = [P, Implies(P, Q)]
        succedent = Q

    duck = Duck()
    node = LJTProver()._search(seq=duck)
    assert node.sequent is duck and node.rule == "L_Imp_Atom"
    with raises("'int' object has no attribute 'antecedents'", AttributeError):
        LJTProver()._search(5)


def test_connective_subclasses_are_decomposed_but_compare_by_class():
    class MyAnd(And):
        pass

    seq = Sequent([MyAnd(P, Q)], And(P, Q))
    native, plain = LJTProver()._search(seq), peer.LJTProver()._search(peer.Sequent(seq.antecedents, seq.succedent))
    assert native.rule == "R_And"  # MyAnd(P, Q) == And(P, Q) is false
    assert native.to_dict() == plain.to_dict()
    assert search([MyAnd(P, Q)], MyAnd(P, Q)).rule == "Ax"


def test_opaque_and_foreign_antecedents():
    x = Variable(1)
    everything = Forall(x, PredicateApp("A", 1, (x,)))
    assert search([everything], everything).rule == "Ax"
    assert search([Implies(everything, P), everything], P) is None  # not atomic: never taken apart
    unhashable = [1]
    assert search([unhashable, Implies(P, Q)], [1]).rule == "Ax"


def test_errors_from_formulas_reach_the_caller():
    class Hostile(PredicateApp):
        def __eq__(self, other):
            raise RuntimeError("no comparing")

        __hash__ = PredicateApp.__hash__

    with raises("no comparing", RuntimeError):
        search([Hostile("H", 0, ()), P], P)


@settings(max_examples=300, deadline=None)
@given(ljt_questions())
def test_native_search_builds_the_plain_search_tree(question):
    target, premises = question
    native, plain = prove_ljt(target, premises), peer.prove_ljt(target, premises)
    assert (native is None) == (plain is None)
    if native is not None:
        assert native.to_dict() == plain.to_dict()
        assert native.to_ascii() == plain.to_ascii()
        assert native.to_latex() == plain.to_latex()
    # Unnormalized, negations and equivalences are opaque to the search.
    raw = LJTProver()._search(Sequent(premises, target))
    raw_plain = peer.LJTProver()._search(peer.Sequent(premises, target))
    assert (raw is None) == (raw_plain is None)
    if raw is not None:
        assert raw.to_dict() == raw_plain.to_dict()


def test_overridden_search_is_called_for_every_premise():
    class Recording:
        def _search(self, seq):
            self.seen.append(str(seq))
            return super()._search(seq)

    class Native(Recording, LJTProver):
        seen = []

    class Plain(Recording, peer.LJTProver):
        seen = []

    target = Implies(Or(And(P, Q), Implies(R, S)), Or(Implies(R, S), And(Q, P)))
    native, plain = Native().prove(target), Plain().prove(target)
    assert Native.seen == Plain.seen and len(Native.seen) > 10
    assert native.to_dict() == plain.to_dict()


def test_overrides_are_honoured_by_name():
    class Shortcut(LJTProver):
        def _search(self, seq):
            if seq.succedent == Q:
                return LJTProofNode(seq, "Oracle")
            return super()._search(seq)

    tree = Shortcut().prove(Implies(P, Q))
    assert tree.to_ascii() == "[R_Imp]  ==> (P => Q)\n`-- [Oracle] P ==> Q"
    assert not tree.is_valid()

    class Never(LJTProver):
        def prove(self, target, premises=None):
            return None

    assert Never().is_provable(Implies(P, P)) is False

    class Instance(LJTProver):
        pass

    prover = Instance()
    prover._search = lambda seq: LJTProofNode(seq, "Ax")
    assert prover.prove(P).root.rule == "Ax"


# ---------------------------------------------------------------------------
# Prover entry


def test_premises_left_out_none_or_empty_mean_the_same():
    trees = [prove_ljt(Implies(P, P)), prove_ljt(Implies(P, P), None), prove_ljt(Implies(P, P), []),
             LJTProver().prove(target=Implies(P, P), premises=())]
    assert len({str(t) for t in trees}) == 1
    assert trees[0].root.sequent.antecedents == ()


def test_hypotheses_are_normalized_in_order_with_duplicates():
    a, b = Not(P), Iff(P, Q)
    tree = prove_ljt(Not(Q), [a, b, a])
    assert tree.root.sequent == Sequent([normalize_formula(a), normalize_formula(b), normalize_formula(a)],
                                        normalize_formula(Not(Q)))


def test_premises_may_be_a_tuple():
    as_list, as_tuple = prove_ljt(Q, [P, Implies(P, Q)]), prove_ljt(Q, (P, Implies(P, Q)))
    assert as_tuple is not None and as_list.to_dict() == as_tuple.to_dict()


@pytest.mark.parametrize(("premises", "name"), [(5, "int"), ("PQ", "str"), ({P}, "set"), (iter([P]), "list_iterator")])
def test_premises_of_another_type_are_refused(premises, name):
    for call in (lambda: prove_ljt(P, premises), lambda: LJTProver().is_provable(P, premises)):
        with raises(f"premises must be a list or tuple of formulas, not {name}"):
            call()


def test_repaired_verum_antecedent():
    tree = prove_ljt(P, [Implies(VERUM, P)])
    assert tree.is_valid() and tree.to_ascii() == "[L_Imp_Atom] (_top => P) ==> P\n`-- [Ax] P ==> P"
    tree = prove_ljt(Implies(Implies(VERUM, Q), Q))
    assert tree.is_valid() and [n.rule for n in (tree.root, tree.root.premises[0])] == ["R_Imp", "L_Imp_Atom"]


@pytest.mark.parametrize(
    ("target", "premises", "rule"),
    [(P, [P], "Ax"), (P, [Q, FALSUM], "L_Bot"), (VERUM, [], "R_Top"), (And(P, Q), [And(P, Q)], "Ax")],
)
def test_target_among_hypotheses_gives_one_axiom(target, premises, rule):
    tree = prove_ljt(target, premises)
    assert (tree.depth, tree.size, tree.is_valid(), tree.root.rule) == (1, 1, True, rule)


def test_unprovable_target():
    em = Or(P, Implies(P, FALSUM))
    assert prove_ljt(em) is None and LJTProver().prove(em) is None
    assert LJTProver().is_provable(em) is False
    assert LJTProver().is_provable(Implies(Not(Not(em)), Not(Not(em)))) is True


def implications_disjunction(n):
    """(A0 -> B0) | ... | (An-1 -> Bn-1): the plain search fails on it in 3n
    steps, and a provability check that asks each disjunct in turn of every
    countermodel costs far more."""
    a = [PredicateApp(f"A{i}", 0, ()) for i in range(n)]
    b = [PredicateApp(f"B{i}", 0, ()) for i in range(n)]
    goal = Implies(a[0], b[0])
    for i in range(1, n):
        goal = Or(goal, Implies(a[i], b[i]))
    return goal, a, b


@pytest.mark.parametrize("n", [3, 2000])
def test_disjunction_of_implications(n):
    goal, a, b = implications_disjunction(n)
    assert prove_ljt(goal) is None
    # With one disjunct's conclusion at hand, the search goes down the
    # disjunction to it: "R_Or1" to each left part, "R_Or2", "R_Imp", "Ax".
    k = n // 2
    tree = prove_ljt(goal, [b[k]])
    assert tree.is_valid() and tree.depth == n - k + 2
    assert prove_ljt(Implies(goal, goal), [a[k]]).size == 2


def test_calls_share_nothing():
    prover = LJTProver()
    target = Implies(Or(P, Q), Or(Q, P))
    a, b, c = prover.prove(target), prover.prove(target), prove_ljt(target)
    assert a is not b and a != b and a == a
    assert a.root == b.root == c.root and a.to_dict() == b.to_dict()


def test_the_tree_shows_normalized_formulas():
    tree = prove_ljt(Not(And(P, Not(P))))
    assert tree.root.sequent.succedent == normalize_formula(Not(And(P, Not(P))))
    assert "~" not in str(tree)


def test_entry_argument_errors():
    with raises("LJTProver.prove() missing 1 required positional argument: 'target'"):
        LJTProver().prove()
    with raises("prove_ljt() got an unexpected keyword argument 'target'"):
        prove_ljt(target=P)
    with raises("LJTProver() takes no arguments"):
        LJTProver(1)


@pytest.mark.parametrize(
    "pigeons, holes",
    [
        (7, 6),  # a derivation of many millions of nodes
        (11, 10),  # hard for the decision procedure too, before any derivation
    ],
)
def test_proving_is_interruptible(pigeons, holes):
    p = [[PredicateApp(f"p{i}_{j}", 0, ()) for j in range(holes)] for i in range(pigeons)]

    def disj(fs):
        out = fs[0]
        for f in fs[1:]:
            out = Or(out, f)
        return out

    each = [disj(row) for row in p]
    clash = disj([And(p[i][j], p[k][j]) for j in range(holes) for i in range(pigeons) for k in range(i + 1, pigeons)])
    hypothesis = each[0]
    for e in each[1:]:
        hypothesis = And(hypothesis, e)
    target = Implies(hypothesis, clash)

    with ctrl_c_after(0.3):
        prove_ljt(target)
    assert prove_ljt(Implies(P, P)).is_valid()


# ---------------------------------------------------------------------------
# Proof tree


def test_single_axiom_tree():
    tree = LJTProofTree(leaf([P], P))
    assert (tree.depth, tree.size, tree.is_valid()) == (1, 1, True)
    assert tree.to_dict() == {"root": {"sequent": "P ==> P", "rule": "Ax", "premises": []},
                              "depth": 1, "size": 1, "is_valid": True}
    assert list(tree.to_dict()) == ["root", "depth", "size", "is_valid"]
    assert str(tree) == tree.to_ascii() == "[Ax] P ==> P"
    assert LJTProofTree(root=tree.root).root is tree.root


@pytest.mark.parametrize(
    ("root", "depth", "size", "valid"),
    [
        (leaf([P], P, "R_Imp"), 1, 1, False),
        (leaf([P], P, "ax"), 1, 1, False),
        (LJTProofNode(Sequent(), "R_And", (leaf([P], P), leaf([], VERUM, "R_Top"))), 2, 3, True),
        (LJTProofNode(Sequent(), "x", (LJTProofNode(Sequent(), "y", (leaf([FALSUM], P, "L_Bot"),)),)), 3, 3, True),
        (LJTProofNode(Sequent(), "Ax", (leaf([P], P, "R_Imp"),)), 2, 2, False),
        (LJTProofNode(Sequent(), "R_And", (leaf([P], P, "Oops"), leaf([P], P))), 2, 3, False),
    ],
)
def test_tree_measures(root, depth, size, valid):
    tree = LJTProofTree(root)
    assert (tree.depth, tree.size, tree.is_valid()) == (depth, size, valid)
    assert tree.to_dict()["is_valid"] is valid


def test_tree_is_a_plain_container():
    tree = LJTProofTree(leaf([P], P))
    assert tree == tree and tree != LJTProofTree(tree.root)
    tree.root = LJTProofNode(Sequent(), "R_And", (leaf([P], P), leaf([P], P)))
    assert (tree.depth, tree.size) == (2, 3)
    tree.note = "mine"
    assert hash(tree) == object.__hash__(tree)
    with raises("LJTProofTree.__init__() missing 1 required positional argument: 'root'"):
        LJTProofTree()


def test_size_counts_shared_nodes_by_occurrence():
    node = leaf([P], P)
    for _ in range(100):
        node = LJTProofNode(Sequent(), "R_And", (node, node))
    tree = LJTProofTree(node)
    assert (tree.depth, tree.size, tree.is_valid()) == (101, 2**101 - 1, True)


def test_ascii_layout():
    def n(name, *premises):
        return LJTProofNode(Sequent([], PredicateApp(name, 0, ())), "r", premises)

    tree = LJTProofTree(n("N0", n("N1", n("N2"), n("N3", n("N4"))), n("N5", n("N6"))))
    assert tree.to_ascii().split("\n") == [
        "[r]  ==> N0",
        "|-- [r]  ==> N1",
        "|   |-- [r]  ==> N2",
        "|   `-- [r]  ==> N3",
        "|       `-- [r]  ==> N4",
        "`-- [r]  ==> N5",
        "    `-- [r]  ==> N6",
    ]


def test_renderings_read_any_node_like_object():
    class Node:
        def __init__(self, rule, sequent, premises=()):
            self.rule, self.sequent, self.premises = rule, sequent, premises

        def to_dict(self):
            return {"custom": self.rule}

    tree = LJTProofTree(LJTProofNode(Sequent([P], P), "R_And", [Node("Ax", Sequent([P], P)), leaf([P], P)]))
    assert (tree.depth, tree.size, tree.is_valid()) == (2, 3, True)
    assert tree.to_ascii() == "[R_And] P ==> P\n|-- [Ax] P ==> P\n`-- [Ax] P ==> P"
    assert tree.to_dict()["root"]["premises"][0] == {"custom": "Ax"}
    assert "\\BinaryInfC{$P \\vdash P$}" in tree.to_latex()


def test_trees_copy_and_pickle():
    tree = prove_ljt(Implies(Or(P, Q), Or(Q, P)))
    tree.note = "kept"
    for clone in (copy.deepcopy(tree), pickle.loads(pickle.dumps(tree))):
        assert clone is not tree and clone.root == tree.root and str(clone) == str(tree)
        assert clone.note == "kept"
    assert copy.copy(tree.root.sequent) == tree.root.sequent


def test_derivation_over_a_mutable_atom_stays_collectable():
    # An atom of a subclass may carry attributes, so the objects built over
    # it stay with the collector: a cycle through them is reclaimed.
    class Tagged(PredicateApp):
        pass

    class Marker:
        freed = False

        def __del__(self):
            Marker.freed = True

    atom = Tagged("A", 0, ())
    atom.__dict__["marker"] = Marker()
    tree = prove_ljt(Implies(And(atom, atom), atom))
    atom.__dict__["tree"] = tree.root.premises[0]  # atom -> inner node -> atom
    del atom, tree
    gc.collect()
    assert Marker.freed


# ---------------------------------------------------------------------------
# LaTeX


def test_latex_of_a_proof():
    tree = prove_ljt(Implies(P, P))
    assert tree.to_latex().split("\n") == [
        "\\begin{prooftree}",
        "  \\AxiomC{}",
        "  \\RightLabel{Ax}",
        "  \\UnaryInfC{$P \\vdash P$}",
        "  \\RightLabel{R\\_Imp}",
        "  \\UnaryInfC{$ \\vdash (P \\implies P)$}",
        "\\end{prooftree}",
    ]


@pytest.mark.parametrize(("count", "command"), [(1, "UnaryInfC"), (2, "BinaryInfC"), (3, "TrinaryInfC"),
                                                (4, "QuaternaryInfC"), (5, "QuaternaryInfC")])
def test_latex_inference_by_premise_count(count, command):
    root = LJTProofNode(Sequent([FALSUM], VERUM), "L_Imp_Imp", tuple(leaf([P], P) for _ in range(count)))
    lines = LJTProofTree(root).to_latex().split("\n")
    assert len(lines) == 3 * count + 2 + 2
    assert lines[-3:] == ["  \\RightLabel{L\\_Imp\\_Imp}", f"  \\{command}{{$\\bot \\vdash \\top$}}", "\\end{prooftree}"]


def test_latex_of_a_hand_built_leaf():
    lines = LJTProofTree(leaf([], VERUM, "R_Imp")).to_latex().split("\n")
    assert lines == ["\\begin{prooftree}", "  \\AxiomC{}", "  \\RightLabel{R\\_Imp}", "  \\UnaryInfC{$ \\vdash \\top$}",
                     "\\end{prooftree}"]


def test_latex_binary_node_lists_first_subtree_first():
    root = LJTProofNode(Sequent([P, Q], And(P, Q)), "R_And", (leaf([P, Q], P), leaf([P, Q], Q)))
    lines = LJTProofTree(root).to_latex().split("\n")
    assert lines[3] == "  \\UnaryInfC{$P, Q \\vdash P$}" and lines[6] == "  \\UnaryInfC{$P, Q \\vdash Q$}"
    assert lines[7:9] == ["  \\RightLabel{R\\_And}", "  \\BinaryInfC{$P, Q \\vdash (P \\land Q)$}"]


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex is not installed")
def test_latex_compiles(tmp_path):
    trees = [
        prove_ljt(Implies(Or(P, Q), Or(Q, P))),
        prove_ljt(Implies(And(Implies(Implies(P, Q), R), Q), R)),
        prove_ljt(Implies(Implies(VERUM, Q), Q)),
        prove_ljt(Not(And(P, Not(P)))),
        prove_ljt(P, [FALSUM]),
        LJTProofTree(LJTProofNode(Sequent([], VERUM), "R_Top")),
    ]
    body = "\n".join(t.to_latex() for t in trees)
    document = "\\documentclass{article}\n\\usepackage{amsmath,amssymb}\n\\usepackage{bussproofs}\n" \
               "\\begin{document}\n" + body + "\n\\end{document}\n"
    (tmp_path / "proofs.tex").write_text(document)
    run = subprocess.run(["pdflatex", "-interaction=nonstopmode", "-halt-on-error", "proofs.tex"],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout[-2000:]


# ---------------------------------------------------------------------------
# Resource exhaustion


def test_memory_exhaustion_is_a_memory_error():
    # Every premise of a long chain of implications copies 200 000
    # antecedents: far more than the child's address space allows.
    script = textwrap.dedent("""
        import resource
        from quorvel.core.ast import Implies, PredicateApp
        from quorvel.constructive.ljt import LJTProver, Sequent
        atoms = [PredicateApp(f"a{i}", 0, ()) for i in range(200_000)]
        goal = PredicateApp("z", 0, ())
        for i in range(2_000):
            goal = Implies(PredicateApp(f"b{i}", 0, ()), goal)
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (vm + 400 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
        try:
            LJTProver()._search(Sequent(atoms, goal))
        except MemoryError:
            print("MemoryError")
        print(LJTProver()._search(Sequent(atoms[:2], Implies(atoms[0], atoms[1]))) is not None)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split()[-2:] == ["MemoryError", "True"]


# ---------------------------------------------------------------------------
# Shared derivations: one node per distinct sequent, the same tree as the
# unshared search, walks that cost what is distinct in a derivation

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
    iltp = benchmark_code.load("iltp_reader", "iltp.py")
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
    with ctrl_c_after(0.2):
        getattr(tree, render)()
