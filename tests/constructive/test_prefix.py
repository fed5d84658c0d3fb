import gc
import pickle
import re
import signal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import benchmark_code
from strategies import prefix_start_bindings, prefix_word_names

import quorvel.constructive.prefix as prefix
from quorvel.constructive.prefix import (
    Prefix,
    PrefixConstant,
    PrefixSubstitution,
    PrefixSymbol,
    PrefixVariable,
    is_admissible,
    unify_prefixes,
)

peer = benchmark_code.load("prefix_peer", "peers/prefix_peer.py")


def sym(name, module=prefix):
    if name.startswith("c"):
        return module.PrefixConstant(name)
    if name.startswith("V"):
        return module.PrefixVariable(name)
    return module.PrefixSymbol(name)


def word(text, module=prefix):
    """'c0.V1' -> the Prefix of those symbols; '' -> the empty word."""
    return module.Prefix([sym(n, module) for n in text.split(".") if n])


def subst(bindings, module=prefix):
    """'V1=c0.V2 V2=' -> the substitution of those bindings, in order."""
    mapping = {}
    for b in bindings.split():
        var, _, w = b.partition("=")
        mapping[sym(var, module)] = word(w, module).symbols
    return module.PrefixSubstitution(mapping)


def bindings(s):
    return " ".join(f"{k}={v}" for k, v in s.to_dict().items())


class Tree:
    def __init__(self, order):
        self.tree_order = order


def order(text):
    """'c0:c1 c1:V1 V1:' -> {c0: {c1}, c1: {V1}, V1: set()}."""
    out = {}
    for entry in text.split():
        key, _, succ = entry.partition(":")
        out[sym(key)] = {sym(n) for n in succ.split(",") if n}
    return out


# ---------------------------------------------------------------------------
# Symbols and prefixes


def test_module_names():
    assert prefix.__all__ == ["PrefixSymbol", "PrefixConstant", "PrefixVariable", "Prefix", "PrefixSubstitution",
                              "unify_prefixes", "is_admissible"]


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (PrefixConstant("c1"), PrefixConstant("c1"), True),
        (PrefixConstant("c1"), PrefixVariable("c1"), False),
        (PrefixSymbol("c1"), PrefixConstant("c1"), False),
        (PrefixVariable(name="V1"), PrefixVariable("V1"), True),
        (PrefixVariable("V1"), "V1", False),
    ],
)
def test_symbol_equality_needs_class_and_name(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is not equal
    if equal:
        assert hash(a) == hash(b)


def test_symbols_are_frozen_values():
    c = PrefixConstant("c0")
    assert str(c) == "c0"
    assert repr(c) == "PrefixConstant(name='c0')"
    assert {PrefixConstant("c1"), PrefixVariable("c1")} == {PrefixVariable("c1"), PrefixConstant("c1")}
    with pytest.raises(AttributeError, match="cannot assign to field 'name'"):
        c.name = "c1"
    assert isinstance(c, PrefixSymbol) and not isinstance(c, PrefixVariable)
    assert pickle.loads(pickle.dumps(c)) == c
    with pytest.raises(TypeError):
        PrefixSymbol()


def test_symbols_take_any_name():
    odd = PrefixVariable(["not", "hashable"])
    assert odd == PrefixVariable(["not", "hashable"])
    with pytest.raises(TypeError):
        hash(odd)
    with pytest.raises(TypeError):
        str(PrefixConstant(3))
    assert repr(PrefixConstant(3)) == "PrefixConstant(name=3)"


def test_prefix_indexing_and_slicing():
    p = word("c0.V1")
    assert len(p) == 2 and str(p) == p.to_string() == "c0.V1"
    assert p[-1] == PrefixVariable("V1")
    with pytest.raises(IndexError):
        p[2]
    with pytest.raises(ValueError):
        p[::0]
    with pytest.raises(TypeError):
        p["x"]
    assert p[1:] == word("V1") and isinstance(p[1:], Prefix)
    assert p[0:0].to_string() == "eps"
    assert p[:] == p and p[::-1] == word("V1.c0") and p[5:9] == Prefix()
    assert list(p) == [PrefixConstant("c0"), PrefixVariable("V1")]


def test_prefix_values():
    empty = Prefix()
    assert len(empty) == 0 and empty.to_string() == "eps"
    assert empty.variables() == set() and empty.constants() == set()
    listed = Prefix([PrefixConstant("c0")])
    assert listed == Prefix((PrefixConstant("c0"),)) and hash(listed) == hash(Prefix((PrefixConstant("c0"),)))
    assert type(listed.symbols) is tuple
    assert Prefix(symbols=iter([PrefixConstant("c0")])) == listed
    with pytest.raises(TypeError):
        Prefix(5)
    with pytest.raises(AttributeError):
        listed.symbols = ()
    assert repr(listed) == "Prefix(symbols=(PrefixConstant(name='c0'),))"
    assert pickle.loads(pickle.dumps(listed)) == listed


def test_prefix_append_leaves_the_receiver():
    p = word("c0")
    a, b = p.append(PrefixConstant("c1")), p.append(PrefixVariable("V1"))
    assert (a.to_string(), b.to_string(), len(p)) == ("c0.c1", "c0.V1", 1)


def test_prefix_kinds_and_plain_symbols():
    p = word("c0.V1.V1")
    assert len(p) == 3 and p.variables() == {PrefixVariable("V1")} and p.constants() == {PrefixConstant("c0")}
    plain = word("w0.c1")
    assert plain.to_string() == "w0.c1"
    assert plain.variables() == set() and plain.constants() == {PrefixConstant("c1")}


def test_prefix_text_needs_str_names():
    with pytest.raises(TypeError, match=re.escape("sequence item 1: expected str instance, int found")):
        Prefix([PrefixConstant("c0"), PrefixConstant(1)]).to_string()
    with pytest.raises(AttributeError):
        Prefix(["c0"]).to_string()


# ---------------------------------------------------------------------------
# Substitutions


def test_empty_substitution():
    s = PrefixSubstitution()
    assert s.mapping == {} and s.get(PrefixVariable("V1")) is None and s.to_dict() == {}
    assert s.apply(word("c0.V1")) == word("c0.V1")
    assert PrefixSubstitution().mapping is not s.mapping


def test_substitution_holds_the_callers_dict():
    mapping = {}
    s = PrefixSubstitution(mapping)
    mapping[PrefixVariable("V1")] = ()
    assert s.get(PrefixVariable("V1")) == ()
    with pytest.raises(TypeError):
        hash(s)
    assert repr(PrefixSubstitution()) == "PrefixSubstitution(mapping={})"


@pytest.mark.parametrize(
    "start, var, term, expected",
    [
        ("", "V1", "c1", "V1=c1"),
        ("V1=c0.V2", "V2", "c1.V3", "V1=c0.c1.V3 V2=c1.V3"),
        ("V1=c1 V2=c2", "V1", "c3", "V1=c3 V2=c2"),
        ("V1=c1", "V2", "V1", "V1=c1 V2=V1"),
        ("V1=c0.V2.c1", "V2", "", "V1=c0.c1 V2="),
        ("", "V1", "c0.V1", "V1=c0.V1"),
    ],
)
def test_bind(start, var, term, expected):
    s = subst(start)
    before = bindings(s)
    t = word(term).symbols
    bound = s.bind(sym(var), t)
    assert bindings(bound) == expected
    assert bindings(s) == before
    assert bound.get(sym(var)) is t


@pytest.mark.parametrize(
    "start, prefix_text, expected",
    [
        ("V1=c1", "c0.V1", "c0.c1"),
        ("V1=c1 V2=V1", "V2", "V1"),
        ("V1=c0.V1", "V1", "c0.V1"),
        ("V1=", "V1.c0.V1", "c0"),
    ],
)
def test_apply_is_one_pass(start, prefix_text, expected):
    assert subst(start).apply(word(prefix_text)).to_string() == (expected or "eps")


def test_substitution_equality_copy_and_dict():
    a, b = subst("V1=c1 V2=c2"), subst("V2=c2 V1=c1")
    assert a == b and list(a.to_dict()) != list(b.to_dict())
    assert subst("V1=c0.c1 V2=").to_dict() == {"V1": "c0.c1", "V2": ""}
    c = a.copy()
    assert c == a and c.mapping is not a.mapping
    c.mapping[PrefixVariable("V3")] = ()
    assert PrefixVariable("V3") not in a.mapping
    assert pickle.loads(pickle.dumps(a)) == a


def test_substitutions_in_a_cycle_are_collected():
    s = PrefixSubstitution()
    s.mapping[PrefixVariable("V1")] = (s,)
    s.again = s
    del s
    assert gc.collect() > 0


# ---------------------------------------------------------------------------
# Unification

UNIFY_CASES = [
    ("c0.V1", "c0.c1", "", ["V1=c1"]),
    ("c0.V1", "c0.c1.c2", "", ["V1=c1.c2"]),
    ("V1.V2", "c1.c2", "", ["V1= V2=c1.c2", "V1=c1 V2=c2", "V1=c1.c2 V2="]),
    ("V1.V2", "c1", "", ["V1= V2=c1", "V1=c1 V2="]),
    ("V1", "V2", "", ["V1= V2=", "V1=V2"]),
    ("c0.V1", "c0.c1.V2", "", ["V1=c1 V2=", "V1=c1.V2"]),
    ("c1.V1", "V2.c1", "", ["V2= V1=", "V2=c1 V1=c1"]),
    ("V1", "c1.V1", "", []),
    ("V1.c1", "c1.V1", "", ["V1=", "V1=c1"]),
    ("V1.c1", "V2.V1.c1", "", ["V1= V2=", "V1= V2="]),
    ("V1.V1", "c1.c2.c1.c2", "", ["V1=c1.c2"]),
    ("c0.c1", "c0.c2", "", []),
    ("c0.c1", "c0", "", []),
    ("c1", "w0", "", []),
    ("w0", "V1", "", ["V1=w0"]),
    ("V1", "w0", "", ["V1=w0"]),
    ("V1", "", "", ["V1="]),
    ("", "V1.V2", "", ["V1= V2="]),
    ("c0.V1", "c0.V1", "", [""]),
    ("", "", "", [""]),
    ("c0.V1", "c0.c1", "V1=c1", ["V1=c1"]),
    ("V1.V2", "c1.c2", "V1=c1", ["V1=c1 V2=c2"]),
    # A binding takes the prefix as the substitution maps it, so every
    # unifier makes the two words equal.
    ("V1.V2", "c1.V1.c2", "", ["V1= V2=c1.c2", "V1=c1 V2=c1.c2"]),
]


@pytest.mark.parametrize("w1, w2, start, expected", UNIFY_CASES)
def test_unify_prefixes(w1, w2, start, expected):
    given_subst = subst(start) if start else None
    before = bindings(given_subst) if given_subst else None
    result = unify_prefixes(word(w1), word(w2), given_subst)
    assert [bindings(u) for u in result] == expected
    assert len({id(u) for u in result}) == len(result)
    if given_subst is not None:
        assert all(u is not given_subst for u in result) and bindings(given_subst) == before
    # Same order and bindings as the plain version of the algorithm.
    plain = peer.unify_prefixes(word(w1, peer), word(w2, peer), subst(start, peer) if start else None)
    assert [u.to_dict() for u in result] == [u.to_dict() for u in plain]


@pytest.mark.parametrize(
    "start, message",
    [
        ("V1=V2 V2=V1", "V1 -> V2 -> V1"),
        ("V1=c0.V1", "V1 -> V1"),
        ("V1=V3 V3=c1.V2 V2=V3", "V3 -> V2 -> V3"),
    ],
)
def test_a_cycle_of_bindings_is_refused(start, message):
    with pytest.raises(ValueError, match=re.escape("Prefix substitution binds a cycle of variables: " + message)):
        unify_prefixes(word("V1"), word("c1"), subst(start))


def test_bindings_outside_the_words_are_carried():
    # A cycle the words never reach does not stop the unification, and a
    # bound variable inside a bound word is expanded where it reaches a head.
    s = subst("V7=V8 V8=V7 V1=V2 V2=c1")
    assert [bindings(u) for u in unify_prefixes(word("V1"), word("c1"), s)] == ["V7=V8 V8=V7 V1=V2 V2=c1"]


@settings(max_examples=300, deadline=None)
@given(prefix_word_names(), prefix_word_names(), prefix_start_bindings())
def test_every_unifier_unifies(a, b, start):
    s = subst(" ".join(f"{v}={'.'.join(w)}" for v, w in start))
    w1, w2 = word(".".join(a)), word(".".join(b))
    result = unify_prefixes(w1, w2, s)
    for u in result:
        assert u.apply(u.apply(w1)) == u.apply(u.apply(w2))
    if not start:
        for u in result:
            assert u.apply(w1) == u.apply(w2)
    plain = peer.unify_prefixes(word(".".join(a), peer), word(".".join(b), peer),
                                subst(" ".join(f"{v}={'.'.join(w)}" for v, w in start), peer))
    assert [u.to_dict() for u in result] == [u.to_dict() for u in plain]


def test_unifier_count_of_a_large_family():
    variables = Prefix([PrefixVariable(f"V{i}") for i in range(1, 11)])
    constants = Prefix([PrefixConstant(f"c{i}") for i in range(1, 11)])
    result = unify_prefixes(variables, constants)
    assert len(result) == 92_378
    assert result[0].to_dict()["V10"] == "c1.c2.c3.c4.c5.c6.c7.c8.c9.c10"
    assert result[-1].to_dict()["V1"] == "c1.c2.c3.c4.c5.c6.c7.c8.c9.c10"
    assert all(u.apply(variables) == constants for u in result[::997])


def test_unification_answers_ctrl_c():
    variables = Prefix([PrefixVariable(f"V{i}") for i in range(1, 17)])
    constants = Prefix([PrefixConstant(f"c{i}") for i in range(1, 17)])

    def interrupt(*_):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        with pytest.raises(KeyboardInterrupt):
            unify_prefixes(variables, constants)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def test_unification_of_odd_symbols():
    # Elements are compared by equality whatever they are.
    result = unify_prefixes(Prefix(["a", PrefixVariable("V1")]), Prefix(["a", "b"]))
    assert [u.mapping for u in result] == [{PrefixVariable("V1"): ("b",)}]
    assert unify_prefixes(Prefix(["a"]), Prefix(["b"])) == []
    with pytest.raises(TypeError):
        unify_prefixes(Prefix([PrefixVariable([1])]), Prefix())


# ---------------------------------------------------------------------------
# Admissibility

WIDE = "c0:c1 c1:V1 V1:c2,V3 c2:V2 V2: V3:"


@pytest.mark.parametrize(
    "tree_order, start, expected",
    [
        ("c0:c1 c1:V1 V1:", "", True),
        ("c0:c1 c1:V1 V1:", "V1=c0.c1", True),
        (WIDE, "V1=c2", False),
        (WIDE, "V1=c0.c1.c2", False),
        (WIDE, "V1=V2", False),
        (WIDE, "V3=c1", True),
        (WIDE, "V3=V2", True),
        (WIDE, "V2=c0.c1.V1.c2", True),
        (WIDE, "V2=V3", True),
        (WIDE, "V3=V2 V2=V3", False),
        ("c0:V1 V1:", "V1=c0.V1", True),
        ("c0:c0", "", False),
        ("", "V1=V2 V2=V1", False),
        ("", "V1=V2", True),
        ("c0:V1 V1:", "V2=c5", True),
        ("c0:c9", "", True),
        ("c0:V1", "V1=", True),
        ("", "", True),
    ],
)
def test_is_admissible(tree_order, start, expected):
    tree = Tree(order(tree_order))
    before = {k: set(v) for k, v in tree.tree_order.items()}
    s = subst(start)
    assert is_admissible(tree, s) is expected
    assert tree.tree_order == before
    assert peer.is_admissible(tree, subst(start, peer)) is expected if not start else True


def test_is_admissible_needs_a_tree_order():
    with pytest.raises(AttributeError):
        is_admissible(object(), PrefixSubstitution())


def test_long_chains_are_checked_without_recursion():
    n = 50_000
    chain = {PrefixVariable(f"V{i}"): {PrefixVariable(f"V{i + 1}")} for i in range(n)}
    assert is_admissible(Tree(chain), PrefixSubstitution())
    closing = PrefixSubstitution({PrefixVariable("V0"): (PrefixVariable(f"V{n}"),)})
    assert not is_admissible(Tree(chain), closing)


def test_unify_words_keeps_the_current_substitution():
    from quorvel.constructive.prefix import _unify_words

    current = subst("V1=c1")
    [same] = _unify_words(word("V1").symbols, word("c1").symbols, current)
    assert same is current
    result = _unify_words(word("V2").symbols, word("c1.V1").symbols, current)
    assert [bindings(u) for u in result] == ["V1=c1 V2=c1.c1"]
    assert all(u is not current for u in result) and bindings(current) == "V1=c1"
    plain = peer._unify_words(word("V2", peer).symbols, word("c1.V1", peer).symbols, subst("V1=c1", peer))
    assert [u.to_dict() for u in plain] == [u.to_dict() for u in result]
