import re
import sys
import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import benchmark_code
import quorvel.core.visitors as visitors
from quorvel.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    Formula,
    FunctionApp,
    Iff,
    Implies,
    Not,
    Or,
    PredicateApp,
    Variable,
    VariableKind,
)
from quorvel.core.exceptions import InvalidFormulaError
from quorvel.core.sorts import ParameterizedSort, PrimitiveSort
from quorvel.core.visitors import (
    ASTTransformer,
    ASTVisitor,
    DepthVisitor,
    ExportVisitor,
    FreeVariableCollector,
    SizeVisitor,
    SubstitutionTransformer,
)
from quorvel.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable, PredicateVariable
from strategies import mixed_order_formulas, substitutions

peer = benchmark_code.load("visitors_peer", "peers/visitors_peer.py")

S = PrimitiveSort("S")
x, y, z = Variable(1, sort=S), Variable(2, sort=S), Variable(3, sort=S)
c = Constant("c")
p, q = PredicateApp("p", 0, ()), PredicateApp("q", 0, ())
X = PredicateVariable("X", 0, 1)
F = FunctionVariable("F", 0, 1)


def w(k):
    return Variable(k, sort=S)


def atom(name, *args):
    return PredicateApp(name, len(args), tuple(args))


def fn(name, *args):
    return FunctionApp(name, len(args), tuple(args))


def raises(message, error=TypeError):
    return pytest.raises(error, match="^" + re.escape(message) + "$")


METHODS = [
    "visit_variable",
    "visit_constant",
    "visit_function_app",
    "visit_predicate_app",
    "visit_equality",
    "visit_not",
    "visit_and",
    "visit_or",
    "visit_implies",
    "visit_iff",
    "visit_forall",
    "visit_exists",
    "visit_forall_pred",
    "visit_exists_pred",
    "visit_forall_func",
    "visit_exists_func",
]
NODE_CLASSES = [
    Variable,
    Constant,
    FunctionApp,
    PredicateApp,
    Equality,
    Not,
    And,
    Or,
    Implies,
    Iff,
    Forall,
    Exists,
    ForallPred,
    ExistsPred,
    ForallFunc,
    ExistsFunc,
]
VISITOR_CLASSES = [ASTTransformer, DepthVisitor, SizeVisitor, FreeVariableCollector, SubstitutionTransformer, ExportVisitor]


def make(cls):
    return cls({}) if issubclass(cls, SubstitutionTransformer) else cls()


def dispatching(cls):
    """A subclass that overrides `visit` (calling the base), so every node goes
    through name dispatch instead of the native walk."""

    class Dispatching(cls):
        def visit(self, node):
            return super().visit(node)

    return Dispatching


# ---------------------------------------------------------------------------
# Module surface and dispatch tables


def test_module_defines_t_and_the_seven_classes_with_their_docstrings():
    assert visitors.__doc__ == "AST Visitor pattern implementations for traversal, size computation, and serialization."
    assert isinstance(visitors.T, typing.TypeVar) and visitors.T.__name__ == "T"
    assert not hasattr(visitors, "__all__")
    docs = {
        ASTVisitor: "Generic visitor base class for AST traversal.",
        ASTTransformer: "Visitor that returns transformed AST nodes (bottom-up structural transformation).",
        DepthVisitor: "Computes the maximum depth of an AST tree.",
        SizeVisitor: "Computes the total number of nodes in an AST tree.",
        FreeVariableCollector: "Collects all free individual variables in a term or formula.",
        ExportVisitor: "Translates AST to string in various notations ('infix', 'prefix', 'latex').",
    }
    for cls, doc in docs.items():
        assert cls.__doc__ == doc
        assert cls.__module__ == "quorvel.core.visitors"
    assert SubstitutionTransformer.__doc__.startswith(
        "Applies variable substitutions to terms and formulas with capture avoidance."
    )
    assert ASTVisitor.visit.__doc__.endswith("Master dispatch method targeting specific visit_* methods via O(1) dict lookup.")


def test_bases_and_type_bindings():
    from abc import ABC

    assert ASTVisitor.__orig_bases__ == (ABC, typing.Generic[visitors.T])
    assert DepthVisitor.__orig_bases__ == (ASTVisitor[int],)
    assert ExportVisitor.__orig_bases__ == (ASTVisitor[str],)
    assert FreeVariableCollector.__orig_bases__ == (ASTVisitor[typing.Set[Variable]],)
    assert ASTTransformer.__orig_bases__ == (ASTVisitor[typing.Union[visitors.Term, Formula]],)
    assert SubstitutionTransformer.__bases__ == (ASTTransformer,)
    assert ASTVisitor.__annotations__ == {"_dispatch_table": typing.Dict[type, str]}


def test_every_visitor_class_has_its_own_sixteen_entry_table():
    assert ASTVisitor._dispatch_table == {}
    tables = [cls._dispatch_table for cls in VISITOR_CLASSES]
    assert len({id(t) for t in tables}) == len(tables)
    for table in tables:
        assert list(table.items()) == list(zip(NODE_CLASSES, METHODS))
    DepthVisitor._dispatch_table[int] = "visit_constant"
    try:
        assert all(int not in t for t in tables[:1] + tables[2:])
    finally:
        del DepthVisitor._dispatch_table[int]


def test_a_table_assigned_in_a_class_body_is_replaced():
    class Mine(DepthVisitor):
        _dispatch_table = {}

    assert list(Mine._dispatch_table.values()) == METHODS
    assert Mine._dispatch_table is not DepthVisitor._dispatch_table


def test_class_keywords_reach_the_next_hook():
    seen = {}

    class Mixin:
        def __init_subclass__(cls, **kwargs):
            seen.update(kwargs)
            super().__init_subclass__()

    class Mine(DepthVisitor, Mixin, flavour="plain"):
        pass

    assert seen == {"flavour": "plain"}
    assert len(Mine._dispatch_table) == 16


def test_a_table_entry_added_later_is_used():
    class MyAnd(And):
        pass

    class Mine(DepthVisitor):
        pass

    Mine._dispatch_table[MyAnd] = "visit_and"
    assert Mine().visit(MyAnd(p, atom("r", x))) == 3
    with raises("Unsupported AST node type: MyAnd"):
        DepthVisitor().visit(MyAnd(p, p))


@pytest.mark.parametrize("cls", VISITOR_CLASSES)
@pytest.mark.parametrize(
    "value, name",
    [(5, "int"), (None, "NoneType"), (Formula(), "Formula"), (And(p, Not(Forall(x, 5))), "int")],
)
def test_unsupported_values_raise_type_error_at_any_depth(cls, value, name):
    for visitor in (make(cls), make(dispatching(cls))):
        with raises(f"Unsupported AST node type: {name}"):
            visitor.visit(value)


@pytest.mark.parametrize("cls", VISITOR_CLASSES)
def test_of_two_bad_nodes_the_first_in_the_visitors_order_is_named(cls):
    class MyNot(Not):
        pass

    tree = And(Or(p, Not(Forall(x, 5))), Or(MyNot(q), p))
    for visitor in (make(cls), make(dispatching(cls))):
        with raises("Unsupported AST node type: int"):
            visitor.visit(tree)


class ArgsTuple(tuple):
    pass


@pytest.mark.parametrize("cls", VISITOR_CLASSES)
def test_arguments_in_a_tuple_subclass_are_walked_alike(cls):
    inner = FunctionApp("g", 1, ArgsTuple((c,)))
    tree = And(atom("P", x, fn("f", y)), Not(PredicateApp("Q", 3, ArgsTuple((x, inner, y)))))
    assert make(cls).visit(tree) == make(dispatching(cls)).visit(tree)


def test_instances_of_node_subclasses_are_not_dispatched():
    class MyAnd(And):
        pass

    for cls in VISITOR_CLASSES:
        with raises("Unsupported AST node type: MyAnd"):
            make(cls).visit(Not(MyAnd(p, q)))


def test_abstract_methods_and_second_order_defaults():
    with pytest.raises(TypeError):
        ASTVisitor()

    def first_order_methods(names):
        return {name: (lambda self, node, name=name: name) for name in names}

    Eleven = type("Eleven", (ASTVisitor,), first_order_methods(METHODS[:11]))
    with pytest.raises(TypeError, match="abstract"):
        Eleven()
    Twelve = type("Twelve", (ASTVisitor,), first_order_methods(METHODS[:12]))
    visitor = Twelve()
    assert visitor.visit(p) == "visit_predicate_app"
    for cls in (ForallPred, ExistsPred):
        with raises("", NotImplementedError):
            visitor.visit(cls(X, p))
    for cls in (ForallFunc, ExistsFunc):
        with raises("", NotImplementedError):
            visitor.visit(cls(F, p))
    assert ASTVisitor.visit_and(visitor, And(p, q)) is None


def test_the_node_is_passed_by_position_or_keyword():
    visitor = DepthVisitor()
    assert visitor.visit(node=atom("r", x)) == 2
    assert visitor.visit_not(node=Not(p)) == 2
    with raises("ASTVisitor.visit() missing 1 required positional argument: 'node'"):
        visitor.visit()
    with raises("DepthVisitor.visit_not() got an unexpected keyword argument 'tree'"):
        visitor.visit_not(tree=p)


# ---------------------------------------------------------------------------
# Overrides apply at every depth; the native walk only where nothing is overridden


def test_an_override_of_one_kind_is_called_at_every_depth():
    seen = []

    class Counting(DepthVisitor):
        def visit_not(self, node):
            seen.append(node)
            return 10 + self.visit(node.operand)

    tree = And(Not(Not(p)), Forall(x, Not(atom("r", x))))
    assert Counting().visit(tree) == 1 + max(10 + 10 + 1, 1 + 10 + 2)
    assert len(seen) == 3


def test_overrides_on_the_class_later_or_on_the_instance_are_honoured():
    class Later(SizeVisitor):
        pass

    tree = Not(Not(p))
    assert Later().visit(tree) == 3
    Later.visit_not = lambda self, node: 100 + self.visit(node.operand)
    assert Later().visit(tree) == 201
    del Later.visit_not
    assert Later().visit(tree) == 3

    visitor = SizeVisitor()
    visitor.visit_predicate_app = lambda node: 7
    assert visitor.visit(tree) == 9
    assert SizeVisitor().visit(tree) == 3


def test_a_patched_collector_class_is_used_by_substitution():
    original = FreeVariableCollector.visit_variable
    seen = []

    def recording(self, node):
        seen.append(node)
        return original(self, node)

    FreeVariableCollector.visit_variable = recording
    try:
        result = SubstitutionTransformer({y: fn("f", z)}).visit(Forall(x, atom("P", x, y)))
    finally:
        FreeVariableCollector.visit_variable = original
    assert seen == [z]
    assert result == Forall(x, atom("P", x, fn("f", z)))


CHAIN = 50_000


@pytest.fixture(scope="module")
def chain():
    tree = atom("r", x)
    for _ in range(CHAIN):
        tree = Not(tree)
    return tree


def test_a_deep_chain_goes_through_each_native_walk(chain):
    assert DepthVisitor().visit(chain) == CHAIN + 2
    assert SizeVisitor().visit(chain) == CHAIN + 2
    assert FreeVariableCollector().visit(chain) == {x}
    assert ASTTransformer().visit(chain) is chain
    result = SubstitutionTransformer({x: c}).visit(chain)
    assert DepthVisitor().visit(result) == CHAIN + 2
    text = ExportVisitor().visit(chain)
    assert text == "~" * CHAIN + "r(v1)"


@pytest.mark.parametrize("cls", VISITOR_CLASSES)
def test_name_dispatch_on_a_deep_chain_raises_recursion_error(cls, chain):
    with pytest.raises(RecursionError):
        make(dispatching(cls)).visit(chain)


def test_name_dispatch_stops_before_the_c_stack_under_a_high_recursion_limit():
    import subprocess

    code = """
import sys, threading
from quorvel.core.ast import Not, PredicateApp
from quorvel.core.visitors import DepthVisitor

class Dispatching(DepthVisitor):
    def visit(self, node):
        return super().visit(node)

tree = PredicateApp("p", 0, ())
for _ in range(50_000):
    tree = Not(tree)
sys.setrecursionlimit(1_000_000)
for run in (lambda f: f(), lambda f: (threading.stack_size(1 << 20), threading.Thread(target=f).start())):
    def attempt():
        try:
            Dispatching().visit(tree)
        except RecursionError:
            print("RecursionError")
    run(attempt)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout.split()) == (0, ["RecursionError", "RecursionError"])


# ---------------------------------------------------------------------------
# Native walks agree with the plain-Python peer and with name dispatch


PEERS = {
    ASTTransformer: peer.ASTTransformer,
    DepthVisitor: peer.DepthVisitor,
    SizeVisitor: peer.SizeVisitor,
    FreeVariableCollector: peer.FreeVariableCollector,
}


@settings(max_examples=150, deadline=None)
@given(mixed_order_formulas())
def test_measures_collector_and_transformer_agree_with_the_peer(tree):
    for cls, peer_cls in PEERS.items():
        expected = peer_cls().visit(tree)
        assert cls().visit(tree) == expected
        assert dispatching(cls)().visit(tree) == expected
    assert ASTTransformer().visit(tree) is tree


@settings(max_examples=150, deadline=None)
@given(mixed_order_formulas(), st.sampled_from(["infix", "prefix", "latex"]))
def test_export_agrees_with_the_peer(tree, notation):
    expected = peer.ExportVisitor(notation).visit(tree)
    assert ExportVisitor(notation).visit(tree) == expected
    assert dispatching(ExportVisitor)(notation).visit(tree) == expected


@settings(max_examples=200, deadline=None)
@given(mixed_order_formulas(), substitutions())
def test_substitution_agrees_with_the_peer(tree, mapping):
    expected = peer.SubstitutionTransformer(mapping).visit(tree)
    assert SubstitutionTransformer(mapping).visit(tree) == expected
    assert dispatching(SubstitutionTransformer)(mapping).visit(tree) == expected


def _free(tree):
    return FreeVariableCollector().visit(tree)


@settings(max_examples=200, deadline=None)
@given(mixed_order_formulas(), substitutions())
def test_substitution_never_captures(tree, mapping):
    expected = set()
    for v in _free(tree):
        expected |= _free(mapping[v]) if v in mapping else {v}
    assert _free(SubstitutionTransformer(mapping).visit(tree)) == expected


def _free_functions(node):
    """The function variables applied free in a tree (recursive: small trees only)."""
    if isinstance(node, (Variable, Constant)):
        return set()
    if isinstance(node, (FunctionApp, PredicateApp)):
        found = {node.func} if isinstance(node, FunctionApp) and isinstance(node.func, FunctionVariable) else set()
        for a in node.args:
            found |= _free_functions(a)
        return found
    if isinstance(node, Not):
        return _free_functions(node.operand)
    if isinstance(node, (Equality, And, Or, Implies, Iff)):
        return _free_functions(node.left) | _free_functions(node.right)
    inner = _free_functions(node.body)
    return inner - {node.variable} if isinstance(node, (ForallFunc, ExistsFunc)) else inner


@settings(max_examples=200, deadline=None)
@given(mixed_order_formulas(), substitutions())
def test_substitution_never_captures_function_variables(tree, mapping):
    expected = _free_functions(tree)
    for v in _free(tree) & set(mapping):
        expected |= _free_functions(mapping[v])
    assert _free_functions(SubstitutionTransformer(mapping).visit(tree)) == expected


def test_shared_subtrees_are_measured_once_per_call():
    # 101 objects, 3 * 2**100 - 1 nodes; the results are compared as plain
    # values, since a failing assertion would print the tree.
    tree = atom("r", x)
    for _ in range(100):
        tree = And(tree, tree)
    assert SizeVisitor().visit(tree) == 3 * 2**100 - 1
    assert DepthVisitor().visit(tree) == 102
    assert FreeVariableCollector().visit(tree) == {x}
    assert (ASTTransformer().visit(tree) is tree) is True
    result = SubstitutionTransformer({x: c}).visit(tree)
    assert (result.left == result.right) is True
    assert FreeVariableCollector().visit(result) == set()


# ---------------------------------------------------------------------------
# Rebuilding transformer


class ToConstant(ASTTransformer):
    def __init__(self, target, value):
        self.target, self.value = target, value

    def visit_variable(self, node):
        return self.value if node == self.target else node


def test_only_the_changed_path_is_rebuilt():
    right = atom("q", y)
    tree = And(atom("p", x), right)
    result = ToConstant(x, c).visit(tree)
    assert result == And(atom("p", c), right)
    assert result.right is right and result is not tree


def test_the_bound_variable_of_forall_is_visited_but_not_a_second_order_binder():
    seen = []

    class Recording(ASTTransformer):
        def visit_variable(self, node):
            seen.append(node)
            return node

    Recording().visit(FunctionApp("f", 2, (x, fn("g", y, z))))
    assert seen == [x, y, z]
    seen.clear()
    Recording().visit(Forall(x, atom("P", x)))
    assert seen == [x, x]
    seen.clear()
    node = ForallPred(X, atom("P", x))
    assert Recording().visit(node) is node and seen == [x]
    rebuilt = ToConstant(x, c).visit(node)
    assert rebuilt.variable is X and rebuilt.body == atom("P", c)


@pytest.mark.parametrize("value", [c, atom("Q")])
def test_kind_checks_of_rebuilt_nodes(value):
    with raises("", AssertionError):
        ToConstant(x, value).visit(Forall(x, p))
    if value is c:
        assert ToConstant(x, c).visit(fn("f", x, y)) == fn("f", c, y)
        return
    with raises("FunctionApp 'f' expected arity 2, got 1 arguments.", InvalidFormulaError):
        ToConstant(x, value).visit(fn("f", y, x))
    with raises("PredicateApp 'P' expected arity 2, got 1 arguments.", InvalidFormulaError):
        ToConstant(x, value).visit(atom("P", y, x))
    with raises("", AssertionError):
        ToConstant(x, value).visit(Equality(x, y))


def test_without_assertions_rebuilt_nodes_are_not_checked():
    import subprocess

    code = """
from quorvel.core.ast import Constant, Equality, Forall, PredicateApp, Variable
from quorvel.core.visitors import ASTTransformer, SubstitutionTransformer

class ToConstant(ASTTransformer):
    def visit_variable(self, node):
        return Constant("c") if node.id == 1 else node

class ToAtom(ASTTransformer):
    def visit_variable(self, node):
        return PredicateApp("q", 0, ()) if node.id == 2 else node

x, y = Variable(1), Variable(2)
print(ToConstant().visit(Forall(x, PredicateApp("p", 0, ()))).variable)
print(type(ToAtom().visit(Equality(x, y)).right).__name__)
print(SubstitutionTransformer({}).visit(Forall(x, x)).body)
"""
    out = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [
        "Constant(sort=PrimitiveSort(name='Ind'), name='c')",
        "PredicateApp",
        "Variable(sort=PrimitiveSort(name='Ind'), id=1, kind=<VariableKind.INDIVIDUAL: 'INDIVIDUAL'>)",
    ]


def test_an_equal_copy_rebuilds_every_node_above_it():
    tree = Not(atom("P", Constant("c")))
    result = ToConstant(None, None).visit(tree)
    assert result is tree
    copying = type("Copying", (ASTTransformer,), {"visit_constant": lambda self, node: Constant(node.name)})
    result = copying().visit(tree)
    assert result == tree and result is not tree and result.operand is not tree.operand


def test_an_unchanged_forall_is_returned_without_checks():
    node = Forall(c, p)
    assert ASTTransformer().visit(node) is node


# ---------------------------------------------------------------------------
# Depth and size


@pytest.mark.parametrize(
    "tree, depth, size",
    [
        (x, 1, 1),
        (c, 1, 1),
        (p, 1, 1),
        (fn("g"), 1, 1),
        (atom("p", x), 2, 2),
        (fn("f", fn("g", x), c), 3, 4),
        (atom("p", x, fn("f", y, c)), 3, 5),
        (Equality(x, fn("f", y)), 3, 4),
        (Not(p), 2, 2),
        (And(p, atom("q", x)), 3, 4),
        (Iff(p, atom("q", x)), 3, 4),
        (Forall(x, atom("p", x)), 3, 4),
        (Forall(x, Exists(y, atom("r", x, y))), 4, 7),
        (ForallPred(X, p), 2, 2),
        (ExistsFunc(F, p), 2, 2),
    ],
)
def test_depth_and_size(tree, depth, size):
    assert (DepthVisitor().visit(tree), SizeVisitor().visit(tree)) == (depth, size)


def test_a_shared_operand_counts_at_each_occurrence():
    shared = atom("p", x)
    assert (DepthVisitor().visit(And(shared, shared)), SizeVisitor().visit(And(shared, shared))) == (3, 5)


@pytest.mark.parametrize("cls", VISITOR_CLASSES)
def test_an_argument_of_a_subclass_of_a_node_class_is_refused(cls):
    class MyVariable(Variable):
        pass

    with raises("Unsupported AST node type: MyVariable"):
        make(cls).visit(atom("P", x, MyVariable(5)))


def test_a_forall_over_a_non_node_fails_only_for_size():
    node = Forall(5, p)
    assert DepthVisitor().visit(node) == 2
    with raises("Unsupported AST node type: int"):
        SizeVisitor().visit(node)


# ---------------------------------------------------------------------------
# Free variables


@pytest.mark.parametrize(
    "tree, expected",
    [
        (x, {x}),
        (c, set()),
        (p, set()),
        (fn("f", x, fn("g", x, y)), {x, y}),
        (And(atom("P", x), Forall(x, atom("Q", x))), {x}),
        (Forall(x, atom("P", x)), set()),
        (Forall(x, atom("P", y)), {y}),
        (Forall(x, atom("P", Variable(1))), {Variable(1)}),
        (atom("P", Variable(4, kind=VariableKind.FUNCTION)), {Variable(4, kind=VariableKind.FUNCTION)}),
        (ForallPred(X, And(atom("P", x), atom("Q", y))), {x, y}),
        (PredicateApp(X, 1, (x,)), {x}),
        # Ids on both sides of 16, bound, free, and free again past their binder.
        (
            Forall(
                Variable(15),
                And(atom("P", Variable(15), Variable(16)), Exists(Variable(16), atom("Q", Variable(16), Variable(17)))),
            ),
            {Variable(16), Variable(17)},
        ),
        (
            Exists(Variable(40), And(Forall(Variable(3), atom("P", Variable(3), Variable(40))), atom("Q", Variable(3)))),
            {Variable(3)},
        ),
        (
            And(Forall(Variable(40), atom("P", Variable(40), Variable(41))), atom("Q", Variable(40))),
            {Variable(40), Variable(41)},
        ),
    ],
)
def test_free_variables(tree, expected):
    assert FreeVariableCollector().visit(tree) == expected


# Variables of the default sort with a small id are told apart by id and
# kind alone; the rest (other sorts, huge ids) by equality. Mixed binders and
# equal copies must give what name dispatch gives.
v1, v2, big = Variable(1), Variable(2), Variable(2**62)
v1_fn = Variable(1, kind=VariableKind.FUNCTION)
Ind2 = PrimitiveSort("Ind")  # equal to the default sort, but another object
ind_copy = Variable(1, sort=Ind2)


@pytest.mark.parametrize(
    "tree",
    [
        And(atom("P", Variable(1), Variable(1)), atom("Q", Variable(2), v1)),
        Forall(Variable(1), atom("P", v1, v1_fn, Variable(2))),
        Forall(x, Forall(Variable(1), atom("P", x, w(1), v1, v2))),
        Exists(w(1), atom("P", v1, w(1), Variable(1, sort=S))),
        Forall(big, atom("P", Variable(2**62), v2, big)),
        Forall(Variable(2**62), And(atom("P", big), Forall(v2, atom("Q", Variable(2), big)))),
        And(Forall(v1, atom("P", v1)), atom("Q", Variable(1), fn("f", Variable(1, kind=VariableKind.PREDICATE)))),
        Forall(v1, Forall(x, And(atom("P", ind_copy), Forall(v2, atom("Q", w(2), Variable(2, sort=Ind2), v2))))),
        Forall(v2, And(Forall(v1, atom("P", w(1))), atom("Q", Variable(1, sort=Ind2), Variable(2, sort=Ind2)))),
    ],
)
def test_free_variables_of_keyed_and_other_variables(tree):
    expected = peer.FreeVariableCollector().visit(tree)
    assert FreeVariableCollector().visit(tree) == expected
    assert dispatching(FreeVariableCollector)().visit(tree) == expected


# A variable's id is read in place while it is an int of one digit (15 or 30
# bits) and through the interpreter beyond; keys end at 2**60. On both sides
# of each bound the walks must agree with name dispatch and the peer.
@pytest.mark.parametrize("ident", [0, 2**15 - 1, 2**15, 2**30 - 1, 2**30, 2**60 - 1, 2**60, 2**64])
def test_ids_on_both_sides_of_the_in_place_reads(ident):
    v, other = Variable(ident), Variable(ident + 1)
    tree = And(atom("P", v, fn("f", Variable(ident)), other), Forall(Variable(ident), atom("Q", v, other)))
    assert FreeVariableCollector().visit(tree) == dispatching(FreeVariableCollector)().visit(tree) == {v, other}
    mapping = {Variable(ident): c, other: fn("g", v)}
    expected = peer.SubstitutionTransformer(mapping).visit(tree)
    assert SubstitutionTransformer(mapping).visit(tree) == expected
    assert dispatching(SubstitutionTransformer)(mapping).visit(tree) == expected
    for notation in ("infix", "latex"):
        assert ExportVisitor(notation).visit(tree) == peer.ExportVisitor(notation).visit(tree)


def test_each_call_returns_a_new_set():
    collector = FreeVariableCollector()
    tree = Not(atom("P", x))
    first, second = collector.visit(tree), collector.visit(tree)
    assert first == second == {x} and first is not second


def first_occurrence_order(*variables):
    result = set()
    for v in variables:
        result.add(v)
    return list(result)


@pytest.mark.parametrize(
    "make_tree",
    [
        lambda a, b: And(atom("P", a), atom("Q", fn("f", b), a)),
        lambda a, b: Forall(Variable(5), Or(atom("P", Variable(5), a), Not(atom("Q", b, b)))),
        # A node met twice: its first occurrence comes first.
        lambda a, b: (lambda s: And(s, And(atom("Q", b), s)))(atom("P", a)),
    ],
)
def test_free_variables_come_in_the_order_of_their_first_occurrences(make_tree):
    # Two variables that share a slot of a small set, so the set's order
    # shows which went in first; the trees bind Variable(5), so their ids
    # start above it.
    pairs = ((Variable(i), Variable(j)) for i in range(6, 70) for j in range(i + 1, 70))
    pair = next(p for p in pairs if first_occurrence_order(*p) != first_occurrence_order(*p[::-1]))
    for a, b in (pair, pair[::-1]):
        found = FreeVariableCollector().visit(make_tree(a, b))
        assert list(found) == first_occurrence_order(a, b)


# ---------------------------------------------------------------------------
# Substitution


P, Q = "P", "Q"


@pytest.mark.parametrize(
    "mapping, tree, expected",
    [
        ({x: c}, atom(P, x, y), atom(P, c, y)),
        ({x: c}, Forall(x, atom(P, x)), Forall(x, atom(P, x))),
        ({x: fn("f", x)}, Forall(x, atom(P, x)), Forall(x, atom(P, x))),
        ({x: c}, And(atom(P, x), Forall(x, atom(Q, x))), And(atom(P, c), Forall(x, atom(Q, x)))),
        ({y: fn("f", x)}, Forall(x, atom(P, x, y)), Forall(w(3), atom(P, w(3), fn("f", x)))),
        ({y: fn("f", x)}, Forall(x, atom(P, x)), Forall(w(3), atom(P, w(3)))),
        ({x: c, y: fn("f", x)}, Forall(x, atom(P, x, y)), Forall(w(3), atom(P, w(3), fn("f", x)))),
        ({x: y}, Exists(y, atom(P, x, y)), Exists(w(3), atom(P, y, w(3)))),
        (
            {y: fn("f", x)},
            Forall(x, Forall(z, atom(P, x, y, z))),
            Forall(w(3), Forall(w(4), atom(P, w(3), fn("f", x), w(4)))),
        ),
        ({y: Variable(1)}, Forall(x, atom(P, y)), Forall(x, atom(P, Variable(1)))),
        ({x: c}, ForallPred(X, atom(P, x)), ForallPred(X, atom(P, c))),
        ({x: Constant("t", sort=PrimitiveSort("Other"))}, atom(P, x), atom(P, Constant("t", sort=PrimitiveSort("Other")))),
    ],
)
def test_substitution(mapping, tree, expected):
    result = SubstitutionTransformer(mapping).visit(tree)
    assert result == expected
    assert dispatching(SubstitutionTransformer)(mapping).visit(tree) == expected


# A mapping whose keys are all default-sort variables with small ids is read
# by id and kind; equal copies of a key are replaced, other kinds, sorts and
# huge ids are not (or through the dict when a key is of another sort).
@pytest.mark.parametrize(
    "mapping",
    [
        {Variable(1): c},
        {Variable(1): fn("f", Variable(2)), Variable(2): Constant("d")},
        {Variable(1): c, x: Constant("d")},
        {Variable(1, kind=VariableKind.FUNCTION): c, big: Constant("d")},
        {Variable(2**62): c, Variable(1): Variable(2)},
        {Variable(2): fn("f", Variable(1)), Variable(3): fn("g", Variable(3))},
        {Variable(2): fn("f", ind_copy)},
    ],
)
def test_substitution_of_keyed_and_other_keys(mapping):
    # Binders met again (as equal copies) in the same and in other scopes.
    again = Forall(Variable(1), Implies(atom(Q, Variable(1), Variable(2)), Exists(Variable(3), atom(P, Variable(3)))))
    tree = And(
        atom(P, Variable(1), v1_fn, Variable(2), x, Variable(2**62), fn("g", Variable(1))),
        And(
            Forall(Variable(2), Exists(x, And(atom(Q, Variable(1), Variable(2), x, big), again))),
            And(again, Forall(Variable(1), Forall(Variable(1), atom(Q, Variable(2), Variable(3))))),
        ),
    )
    expected = peer.SubstitutionTransformer(mapping).visit(tree)
    assert SubstitutionTransformer(mapping).visit(tree) == expected
    assert dispatching(SubstitutionTransformer)(mapping).visit(tree) == expected


class SubVariable(Variable):
    pass


# Atoms over variables, constants and applications of those are rebuilt in
# one step; anything else in them (a shared application, deeper terms, a
# variable of another sort or class) takes the general walk.
@pytest.mark.parametrize(
    "tree",
    [
        atom(P, Variable(1), fn("f", Variable(2), c), Constant("d")),
        Equality(fn("f", Variable(1)), Variable(2)),
        Not(Equality(Variable(3), fn("g"))),
        atom(P, fn("f", fn("g", Variable(1))), Variable(2)),
        atom(P, Variable(1), fn("f", x, Variable(2))),
        And(atom(P, Variable(1)), Forall(Variable(1), atom(Q, Variable(1), fn("f", Variable(2))))),
        atom(P, Variable(1), fn("f", ind_copy)),
    ],
)
def test_substitution_of_atoms_in_one_step(tree):
    mapping = {Variable(1): fn("h", Variable(9)), Variable(2): c}
    expected = peer.SubstitutionTransformer(mapping).visit(tree)
    assert SubstitutionTransformer(mapping).visit(tree) == expected
    assert dispatching(SubstitutionTransformer)(mapping).visit(tree) == expected


# An atom in one step whose variables hold no key comes back as it is; one
# that holds a key, even through an equal but distinct variable or under a
# binder of another key, is rebuilt.
# (Each atom is made in the test and held by its negation alone, so the walk
# meets it once.)
@pytest.mark.parametrize(
    "make, untouched",
    [
        (lambda: atom(P, Variable(3), fn("f", Variable(4), c)), True),
        (lambda: Equality(fn("f", Variable(5)), Constant("d")), True),
        (lambda: atom(P, Variable(3), fn("f", Variable(1))), False),
        (lambda: Equality(Variable(2), Variable(3)), False),
        (lambda: Forall(Variable(1), atom(Q, Variable(1), Variable(3))), True),
        (lambda: Forall(Variable(1), atom(Q, Variable(1), fn("f", Variable(2)))), False),
        (lambda: atom(P, SubVariable(3)), None),
    ],
)
def test_substitution_of_atoms_without_keys(make, untouched):
    mapping = {Variable(1): fn("h", Variable(9)), Variable(2): c}
    tree = Not(make())
    if untouched is None:
        with raises("Unsupported AST node type: SubVariable"):
            SubstitutionTransformer(mapping).visit(tree)
        return
    got = SubstitutionTransformer(mapping).visit(tree)
    assert got == peer.SubstitutionTransformer(mapping).visit(tree)
    inner, result = tree.operand, got.operand
    if isinstance(inner, Forall):
        inner, result = inner.body, result.body
    assert (result is inner) is untouched


def test_substitution_of_shared_atoms_with_and_without_keys():
    mapping = {Variable(1): fn("h", Variable(9)), Variable(2): c}
    a = atom(P, Variable(3), fn("f", Variable(4), c))
    b = atom(P, Variable(1), fn("f", Variable(4), c))
    tree = And(Or(a, b), Or(a, b))
    got = SubstitutionTransformer(mapping).visit(tree)
    assert got == peer.SubstitutionTransformer(mapping).visit(tree)
    assert got.left.left is a and got.right.left is a
    assert got.left.right is got.right.right and got.left.right != b


def test_substitution_of_atoms_keeps_shared_terms_shared_and_refuses_subclasses():
    shared = fn("f", Variable(1))
    result = SubstitutionTransformer({Variable(1): c}).visit(And(atom(P, shared), atom(Q, Variable(2), shared)))
    assert result == And(atom(P, fn("f", c)), atom(Q, Variable(2), fn("f", c)))
    assert result.left.args[0] is result.right.args[1]
    with raises("Unsupported AST node type: SubVariable"):
        SubstitutionTransformer({Variable(1): c}).visit(Not(atom(P, Variable(1), fn("f", SubVariable(1)))))


def test_substitution_shares_structure():
    body = atom(P, x)
    node = Forall(x, body)
    result = SubstitutionTransformer({x: c}).visit(node)
    assert result is not node and result.variable is node.variable and result.body is body
    tree = ForallPred(X, atom(P, y))
    assert SubstitutionTransformer({x: c}).visit(tree) is tree
    value = fn("f", y)
    twice = SubstitutionTransformer({x: value}).visit(atom(P, x, x))
    assert twice.args[0] is value and twice.args[1] is value


def test_the_empty_mapping_copies_only_first_order_quantifiers_and_above():
    quantified = Forall(x, atom(P, x))
    tree = And(quantified, atom(Q, y))
    result = SubstitutionTransformer({}).visit(tree)
    assert result == tree and result is not tree and result.right is tree.right
    plain = And(atom(P, x), Not(q))
    assert SubstitutionTransformer({}).visit(plain) is plain


class HashCountingSort(PrimitiveSort):
    """A sort hashed by Python code, which counts its calls."""

    calls = 0

    def __hash__(self):
        HashCountingSort.calls += 1
        return 7


class SubAnd(And):
    pass


# Under a binder of the mapping's only key nothing is left to replace: a body
# free of first-order quantifiers comes back as the very object, at any
# depth, while one that holds such a quantifier is rebuilt above it, and
# one that holds a node the dispatch refuses still fails there. A variable of
# a sort hashed by Python code is still hashed, as a lookup of it would.
@pytest.mark.parametrize(
    "make, outcome",
    [
        (lambda: Implies(Not(And(atom(P, x, fn("f", y, c)), Equality(z, c))), Or(q, atom(Q, fn("g", fn("h", x))))), "same"),
        (lambda: ForallPred(X, And(atom(P, x), q)), "same"),
        (lambda: And(Not(atom(P, x)), Or(q, Exists(y, atom(Q, y)))), "rebuilt"),
        (lambda: And(Not(atom(P, x)), Or(q, ForallPred(X, Forall(y, p)))), "rebuilt"),
        (lambda: And(atom(P, x), Or(q, 5)), "Unsupported AST node type: int"),
        (lambda: And(atom(P, x), SubAnd(p, q)), "Unsupported AST node type: SubAnd"),
        (lambda: Or(q, atom(P, fn("f", SubVariable(2)))), "Unsupported AST node type: SubVariable"),
        (lambda: Not(atom(P, Variable(2, sort=HashCountingSort("H")))), "hashed"),
    ],
)
def test_substitution_under_a_binder_of_every_key(make, outcome):
    mapping = {x: c}
    for transformer in (SubstitutionTransformer(mapping), dispatching(SubstitutionTransformer)(mapping)):
        body = make()
        tree = Forall(x, body)
        if outcome.startswith("Unsupported"):
            with raises(outcome):
                transformer.visit(tree)
            continue
        HashCountingSort.calls = 0
        result = transformer.visit(tree)
        assert result == tree and result.variable is x
        if outcome == "hashed":
            assert HashCountingSort.calls > 0
        else:
            assert (result.body is body) is (outcome == "same")


class FailingHashSort(PrimitiveSort):
    """A sort whose hash fails once `failing` is set."""

    failing = False

    def __hash__(self):
        if FailingHashSort.failing:
            raise ValueError("no hash")
        return 7


def test_a_binder_is_hashed_by_its_capture_test_before_its_body_is_walked():
    # No entry is left under the outer binder, but the inner binder's
    # capture test still hashes it, and fails before the bad body is met.
    tree = Forall(x, Exists(Variable(2, sort=FailingHashSort("H")), And(p, 5)))
    FailingHashSort.failing = True
    try:
        for transformer in (SubstitutionTransformer({x: c}), dispatching(SubstitutionTransformer)({x: c})):
            with raises("no hash", ValueError):
                transformer.visit(tree)
    finally:
        FailingHashSort.failing = False


def test_the_mapping_is_held_by_reference_and_read_afresh():
    mapping = {}
    transformer = SubstitutionTransformer(mapping=mapping)
    assert transformer.mapping is mapping
    mapping[x] = c
    assert transformer.visit(atom(P, x)) == atom(P, c)
    transformer.mapping = {x: y}
    assert transformer.visit(atom(P, x)) == atom(P, y)
    assert mapping == {x: c}


def test_a_value_that_is_no_node_fails_at_the_first_quantifier():
    transformer = SubstitutionTransformer({y: 5})
    assert transformer.visit(atom(P, x)) == atom(P, x)
    with raises("Unsupported AST node type: int"):
        transformer.visit(Forall(x, p))
    assert SubstitutionTransformer({x: 5}).visit(Forall(x, p)) == Forall(x, p)


def test_a_quantifier_over_a_term_fails_its_assertion():
    with raises("", AssertionError):
        SubstitutionTransformer({}).visit(Forall(x, fn("f", x)))


@pytest.mark.parametrize("quantifier", [ForallFunc, ExistsFunc])
def test_a_function_binder_that_would_capture_is_renamed(quantifier):
    # F(y) put under a binder of F: the binder becomes F_1, and the body's own
    # applications of F follow it.
    tree = quantifier(F, atom(P, x, FunctionApp(F, 1, (x,))))
    value = FunctionApp(F, 1, (y,))
    result = SubstitutionTransformer({x: value}).visit(tree)
    fresh = FunctionVariable("F_1", 1, 1)
    assert result == quantifier(fresh, atom(P, value, FunctionApp(fresh, 1, (value,))))
    assert dispatching(SubstitutionTransformer)({x: value}).visit(tree) == result
    assert ExportVisitor().visit(result) == f"{quantifier.__name__.lower()[:6]}_func F_1, P(F(v2), F_1(F(v2)))"


def test_a_function_binder_without_capture_is_kept():
    G = FunctionVariable("G", 5, 1)
    tree = ForallFunc(F, atom(P, x, FunctionApp(F, 1, (x,)), FunctionApp(G, 1, (x,))))
    result = SubstitutionTransformer({x: fn("f", y)}).visit(tree)
    assert result.variable is F
    # The replacement applies F under two binders of F: each gets F_6, one
    # above every index in sight (G has 5); the outer binder is vacuous.
    value = FunctionApp(F, 1, (FunctionApp(G, 1, (y,)),))
    tree = ForallFunc(F, ForallFunc(F, atom(P, FunctionApp(F, 1, (x,)))))
    F6 = FunctionVariable("F_6", 6, 1)
    expected = ForallFunc(F6, ForallFunc(F6, atom(P, FunctionApp(F6, 1, (value,)))))
    assert SubstitutionTransformer({x: value}).visit(tree) == expected


# ---------------------------------------------------------------------------
# Export


def export(tree, notation=None):
    visitor = ExportVisitor() if notation is None else ExportVisitor(notation)
    return visitor.visit(tree)


@pytest.mark.parametrize(
    "tree, infix, prefix, latex",
    [
        (
            Forall(x, Implies(atom(P, x), Not(atom(Q, fn("f", x), c)))),
            "forall v1 : S, (P(v1) => ~Q(f(v1), c))",
            "(forall (v1 : S) (=> (P v1) (not (Q (f v1) c))))",
            "\\forall v_{1} : S, (P(v_{1}) \\implies \\neg Q(f(v_{1}), c))",
        ),
        (ForallPred(X, PredicateApp(X, 1, (x,))), "forall_pred X, X(v1)", "(forall_pred (X) (X v1))", "\\forall X, X(v_{1})"),
        (Not(And(p, q)), "~((p & q))", "(not (and p q))", "\\neg ((p \\land q))"),
        (Not(Not(q)), "~~q", "(not (not q))", "\\neg \\neg q"),
        (Not(Equality(x, c)), "~v1 = c", "(not (= v1 c))", "\\neg v_{1} = c"),
        (Not(Forall(x, p)), "~forall v1 : S, p", "(not (forall (v1 : S) p))", "\\neg \\forall v_{1} : S, p"),
        (fn("g"), "g()", "g", "g()"),
        (p, "p", "p", "p"),
        (Variable(0), "v0", "v0", "v_{0}"),
        (Variable(12), "v12", "v12", "v_{12}"),
        (Equality(x, c), "v1 = c", "(= v1 c)", "v_{1} = c"),
        (
            Exists(w(12), Or(p, Not(Not(q)))),
            "exists v12 : S, (p | ~~q)",
            "(exists (v12 : S) (or p (not (not q))))",
            "\\exists v_{12} : S, (p \\lor \\neg \\neg q)",
        ),
        (FunctionApp(F, 1, (x,)), "F(v1)", "(F v1)", "F(v1)".replace("v1", "v_{1}")),
        (Iff(p, q), "(p <=> q)", "(<=> p q)", "(p \\iff q)"),
        (ExistsPred(X, p), "exists_pred X, p", "(exists_pred (X) p)", "\\exists X, p"),
        (ExistsFunc(F, p), "exists_func F, p", "(exists_func (F) p)", "\\exists F, p"),
    ],
)
def test_export_notations(tree, infix, prefix, latex):
    assert (export(tree), export(tree, "infix"), export(tree, "prefix"), export(tree, "latex")) == (
        infix,
        infix,
        prefix,
        latex,
    )


class Id(int):
    def __format__(self, format_spec):
        return f"<{int(self)}>"


class Renamed(PrimitiveSort):
    @property
    def name(self):
        return "Renamed"


# Plain variables, constants and sort names are written at once, anything
# else when a recursive visitor would format it: mixed, they must agree.
odd, renamed = Variable(Id(7)), Variable(5, sort=Renamed("R"))


@pytest.mark.parametrize(
    "tree",
    [
        atom(P, x, odd, c, Constant(Id(3)), fn("f", odd, x)),
        atom(P, odd, x, fn("g"), c, fn("f", c, fn("h", x))),
        Equality(x, fn("f", odd)),
        Equality(odd, x),
        Equality(fn("f", x), c),
        FunctionApp(F, 2, (x, c)),
        Forall(renamed, Forall(odd, Forall(x, atom(P, renamed, odd, x)))),
        Exists(Variable(4, sort=ParameterizedSort("L", (S,))), Not(Equality(Variable(1), Constant("d")))),
        ForallFunc(F, Forall(x, Implies(atom(Q, FunctionApp(F, 1, (x,))), Forall(renamed, p)))),
        And(atom("Ωmega", x, Constant("ç")), Not(Iff(p, Exists(x, Equality(c, fn("φ", x)))))),
        Or(p, atom(P, Variable(2**70), Constant("\ud800"), Constant(-(2**63)))),
        # Runs of negations and quantifiers, broken by connectives.
        Not(Forall(x, Not(And(Not(p), Exists(y, Not(Not(Equality(x, y)))))))),
        Forall(x, Or(Forall(y, Not(Iff(p, q))), Not(Forall(z, Not(atom(Q, z)))))),
    ],
)
@pytest.mark.parametrize("notation", ["infix", "prefix", "latex"])
def test_export_of_plain_and_other_leaves(tree, notation):
    expected = peer.ExportVisitor(notation).visit(tree)
    assert ExportVisitor(notation).visit(tree) == expected
    assert dispatching(ExportVisitor)(notation).visit(tree) == expected


def test_sort_names_are_read_in_the_order_of_a_recursive_visitor():
    read = []

    class Logged(PrimitiveSort):
        @property
        def name(self):
            read.append(PrimitiveSort.name.__get__(self))
            return "L"

    a, b = Variable(1, sort=Logged("a")), Variable(2, sort=Logged("b"))
    tree = Forall(a, And(Forall(b, atom(P, a, b)), Forall(x, Exists(a, atom(Q, odd)))))

    def run(visitor):
        read.clear()
        return visitor.visit(tree), list(read)

    expected = run(peer.ExportVisitor("infix"))
    assert expected[1] == ["b", "a", "a"]
    assert run(ExportVisitor("infix")) == run(dispatching(ExportVisitor)("infix")) == expected


def test_second_order_binders_look_alike_only_in_latex():
    a, b = ForallPred(PredicateVariable("Z", 0, 1), p), ForallFunc(FunctionVariable("Z", 0, 1), p)
    assert export(a, "latex") == export(b, "latex")
    assert export(a) != export(b) and export(a, "prefix") != export(b, "prefix")


@pytest.mark.parametrize("notation", ["Latex", "latex ", "", 5])
def test_unknown_notations_are_refused(notation):
    with raises(f"Unsupported notation: {notation}", ValueError):
        ExportVisitor(notation)


def test_notation_is_a_writable_field():
    visitor = ExportVisitor("latex")
    assert visitor.notation == "latex"
    visitor.notation = "LATEX"
    assert visitor.visit(Not(x)) == "~v1"
    visitor.notation = "prefix"
    assert visitor.visit(Not(x)) == "(not v1)"
