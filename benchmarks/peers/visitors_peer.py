"""Plain-Python peer of quorvel.core.visitors: the six visitors as recursive
methods with name dispatch, over the nodes of quorvel.core.ast. Used by
benchmarks/bench_visitors.py and as the tests' reference."""

from abc import ABC, abstractmethod
from typing import Dict, Generic, Set, TypeVar, Union

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
    Term,
    Variable,
)
from quorvel.sol.ast_ext import ExistsFunc, ExistsPred, ForallFunc, ForallPred, FunctionVariable

T = TypeVar("T")

_KINDS = (
    (Variable, "visit_variable"),
    (Constant, "visit_constant"),
    (FunctionApp, "visit_function_app"),
    (PredicateApp, "visit_predicate_app"),
    (Equality, "visit_equality"),
    (Not, "visit_not"),
    (And, "visit_and"),
    (Or, "visit_or"),
    (Implies, "visit_implies"),
    (Iff, "visit_iff"),
    (Forall, "visit_forall"),
    (Exists, "visit_exists"),
    (ForallPred, "visit_forall_pred"),
    (ExistsPred, "visit_exists_pred"),
    (ForallFunc, "visit_forall_func"),
    (ExistsFunc, "visit_exists_func"),
)


class ASTVisitor(ABC, Generic[T]):
    _dispatch_table: Dict[type, str] = {}

    def __init_subclass__(cls, **kwargs):
        super().__init_subclass__(**kwargs)
        cls._dispatch_table = dict(_KINDS)

    def visit(self, node):
        name = self._dispatch_table.get(type(node))
        if name is None:
            raise TypeError(f"Unsupported AST node type: {type(node).__name__}")
        return getattr(self, name)(node)

    @abstractmethod
    def visit_variable(self, node): ...


class ASTTransformer(ASTVisitor[Union[Term, Formula]]):
    def visit_variable(self, node):
        return node

    def visit_constant(self, node):
        return node

    def _app(self, node, cls, symbol):
        new = [self.visit(a) for a in node.args]
        if all(n is o for n, o in zip(new, node.args)):
            return node
        args = tuple(a for a in new if isinstance(a, Term))
        if cls is FunctionApp:
            return FunctionApp(func=symbol, arity=node.arity, args=args, return_sort=node.return_sort)
        return PredicateApp(pred=symbol, arity=node.arity, args=args)

    def visit_function_app(self, node):
        return self._app(node, FunctionApp, node.func)

    def visit_predicate_app(self, node):
        return self._app(node, PredicateApp, node.pred)

    def visit_equality(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        if left is node.left and right is node.right:
            return node
        assert isinstance(left, Term)
        assert isinstance(right, Term)
        return Equality(left=left, right=right)

    def visit_not(self, node):
        operand = self.visit(node.operand)
        if operand is node.operand:
            return node
        assert isinstance(operand, Formula)
        return Not(operand=operand)

    def _binary(self, node, cls):
        left, right = self.visit(node.left), self.visit(node.right)
        if left is node.left and right is node.right:
            return node
        assert isinstance(left, Formula)
        assert isinstance(right, Formula)
        return cls(left=left, right=right)

    def visit_and(self, node):
        return self._binary(node, And)

    def visit_or(self, node):
        return self._binary(node, Or)

    def visit_implies(self, node):
        return self._binary(node, Implies)

    def visit_iff(self, node):
        return self._binary(node, Iff)

    def _quantifier(self, node, cls):
        variable, body = self.visit(node.variable), self.visit(node.body)
        if variable is node.variable and body is node.body:
            return node
        assert isinstance(variable, Variable)
        assert isinstance(body, Formula)
        return cls(variable=variable, body=body)

    def visit_forall(self, node):
        return self._quantifier(node, Forall)

    def visit_exists(self, node):
        return self._quantifier(node, Exists)

    def _second_order(self, node, cls):
        body = self.visit(node.body)
        if body is node.body:
            return node
        assert isinstance(body, Formula)
        return cls(variable=node.variable, body=body)

    def visit_forall_pred(self, node):
        return self._second_order(node, ForallPred)

    def visit_exists_pred(self, node):
        return self._second_order(node, ExistsPred)

    def visit_forall_func(self, node):
        return self._second_order(node, ForallFunc)

    def visit_exists_func(self, node):
        return self._second_order(node, ExistsFunc)


class DepthVisitor(ASTVisitor[int]):
    def visit_variable(self, node):
        return 1

    visit_constant = visit_variable

    def visit_function_app(self, node):
        if not node.args:
            return 1
        return 1 + max(self.visit(a) for a in node.args)

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return 1 + max(self.visit(node.left), self.visit(node.right))

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_not(self, node):
        return 1 + self.visit(node.operand)

    def visit_forall(self, node):
        return 1 + self.visit(node.body)

    visit_exists = visit_forall_pred = visit_exists_pred = visit_forall_func = visit_exists_func = visit_forall


class SizeVisitor(ASTVisitor[int]):
    def visit_variable(self, node):
        return 1

    visit_constant = visit_variable

    def visit_function_app(self, node):
        return 1 + sum(self.visit(a) for a in node.args)

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return 1 + self.visit(node.left) + self.visit(node.right)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_not(self, node):
        return 1 + self.visit(node.operand)

    def visit_forall(self, node):
        return 1 + self.visit(node.variable) + self.visit(node.body)

    visit_exists = visit_forall

    def visit_forall_pred(self, node):
        return 1 + self.visit(node.body)

    visit_exists_pred = visit_forall_func = visit_exists_func = visit_forall_pred


class FreeVariableCollector(ASTVisitor[Set[Variable]]):
    def visit_variable(self, node):
        return {node}

    def visit_constant(self, node):
        return set()

    def visit_function_app(self, node):
        res = set()
        for a in node.args:
            res.update(self.visit(a))
        return res

    visit_predicate_app = visit_function_app

    def visit_equality(self, node):
        return self.visit(node.left) | self.visit(node.right)

    visit_and = visit_or = visit_implies = visit_iff = visit_equality

    def visit_not(self, node):
        return self.visit(node.operand)

    def visit_forall(self, node):
        return self.visit(node.body) - {node.variable}

    visit_exists = visit_forall

    def visit_forall_pred(self, node):
        return self.visit(node.body)

    visit_exists_pred = visit_forall_func = visit_exists_func = visit_forall_pred


def _function_symbols(node, out):
    if isinstance(node, FunctionApp):
        out.append(node.func)
    for name in ("args",):
        for a in getattr(node, name, ()):
            _function_symbols(a, out)
    for name in ("left", "right", "operand", "body"):
        child = getattr(node, name, None)
        if child is not None:
            _function_symbols(child, out)
    return out


def _rebind(node, old, new):
    """`node` with its free applications of the function variable `old` on `new`."""
    if isinstance(node, (ForallFunc, ExistsFunc)) and node.variable == old:
        return node
    if type(node) is FunctionApp:
        args = tuple(_rebind(a, old, new) for a in node.args)
        func = new if node.func == old else node.func
        return FunctionApp(func=func, arity=node.arity, args=args, return_sort=node.return_sort)
    if type(node) is PredicateApp:
        return PredicateApp(pred=node.pred, arity=node.arity, args=tuple(_rebind(a, old, new) for a in node.args))
    if type(node) in (Equality, And, Or, Implies, Iff):
        return type(node)(left=_rebind(node.left, old, new), right=_rebind(node.right, old, new))
    if type(node) is Not:
        return Not(operand=_rebind(node.operand, old, new))
    if type(node) in (Forall, Exists, ForallPred, ExistsPred, ForallFunc, ExistsFunc):
        return type(node)(variable=node.variable, body=_rebind(node.body, old, new))
    return node


class SubstitutionTransformer(ASTTransformer):
    def __init__(self, mapping):
        self.mapping = mapping

    def visit_variable(self, node):
        return self.mapping.get(node, node)

    def _first_order(self, node, cls):
        bound_var = node.variable
        replacement_free_vars = set()
        collector = FreeVariableCollector()
        for key, value in self.mapping.items():
            if key != bound_var:
                replacement_free_vars.update(collector.visit(value))
        if bound_var in replacement_free_vars:
            all_vars = collector.visit(node.body) | replacement_free_vars | set(self.mapping.keys())
            fresh_var = Variable(id=max(v.id for v in all_vars) + 1, sort=bound_var.sort, kind=bound_var.kind)
            renamed_body = SubstitutionTransformer({bound_var: fresh_var}).visit(node.body)
            assert isinstance(renamed_body, Formula)
            new_body = self.visit(renamed_body)
            assert isinstance(new_body, Formula)
            return cls(variable=fresh_var, body=new_body)
        inner = {k: v for k, v in self.mapping.items() if k != bound_var}
        new_body = SubstitutionTransformer(inner).visit(node.body)
        assert isinstance(new_body, Formula)
        return cls(variable=bound_var, body=new_body)

    def visit_forall(self, node):
        return self._first_order(node, Forall)

    def visit_exists(self, node):
        return self._first_order(node, Exists)

    def _function_binder(self, node, cls):
        binder = node.variable
        values = list(self.mapping.values())
        symbols = [s for v in values for s in _function_symbols(v, [])]
        if type(binder) is not FunctionVariable or binder not in symbols:
            return self._second_order(node, cls)
        indices = [binder.index] + [
            s.index
            for s in _function_symbols(node.body, []) + symbols
            if type(s) is FunctionVariable and isinstance(s.index, int)
        ]
        index = max(indices) + 1
        fresh = FunctionVariable(f"{binder.name}_{index}", index, binder.arity)
        new_body = self.visit(_rebind(node.body, binder, fresh))
        assert isinstance(new_body, Formula)
        return cls(variable=fresh, body=new_body)

    def visit_forall_func(self, node):
        return self._function_binder(node, ForallFunc)

    def visit_exists_func(self, node):
        return self._function_binder(node, ExistsFunc)


class ExportVisitor(ASTVisitor[str]):
    def __init__(self, notation="infix"):
        if notation not in ("infix", "prefix", "latex"):
            raise ValueError(f"Unsupported notation: {notation}")
        self.notation = notation

    def visit_variable(self, node):
        return f"v_{{{node.id}}}" if self.notation == "latex" else f"v{node.id}"

    def visit_constant(self, node):
        return f"{node.name}"

    def _app(self, node, symbol, predicate):
        text = getattr(symbol, "name", symbol) if not isinstance(symbol, str) else symbol
        if not node.args:
            return f"{text}" if predicate or self.notation == "prefix" else f"{text}()"
        if self.notation == "prefix":
            return f"({text} " + " ".join(self.visit(a) for a in node.args) + ")"
        return f"{text}(" + ", ".join(self.visit(a) for a in node.args) + ")"

    def visit_function_app(self, node):
        return self._app(node, node.func, False)

    def visit_predicate_app(self, node):
        return self._app(node, node.pred, True)

    def visit_equality(self, node):
        left, right = self.visit(node.left), self.visit(node.right)
        return f"(= {left} {right})" if self.notation == "prefix" else f"{left} = {right}"

    def visit_not(self, node):
        x = self.visit(node.operand)
        if self.notation == "prefix":
            return f"(not {x})"
        sign = "\\neg " if self.notation == "latex" else "~"
        if isinstance(node.operand, (And, Or, Implies, Iff)):
            return f"{sign}({x})"
        return f"{sign}{x}"

    def _binary(self, node, infix, latex, prefix):
        left, right = self.visit(node.left), self.visit(node.right)
        if self.notation == "prefix":
            return f"({prefix} {left} {right})"
        op = latex if self.notation == "latex" else infix
        return f"({left} {op} {right})"

    def visit_and(self, node):
        return self._binary(node, "&", "\\land", "and")

    def visit_or(self, node):
        return self._binary(node, "|", "\\lor", "or")

    def visit_implies(self, node):
        return self._binary(node, "=>", "\\implies", "=>")

    def visit_iff(self, node):
        return self._binary(node, "<=>", "\\iff", "<=>")

    def _first_order(self, node, word):
        v, b = self.visit(node.variable), self.visit(node.body)
        s = node.variable.sort.name
        if self.notation == "prefix":
            return f"({word} ({v} : {s}) {b})"
        if self.notation == "latex":
            return f"\\{word} {v} : {s}, {b}"
        return f"{word} {v} : {s}, {b}"

    def visit_forall(self, node):
        return self._first_order(node, "forall")

    def visit_exists(self, node):
        return self._first_order(node, "exists")

    def _second_order(self, node, word, latex):
        b = self.visit(node.body)
        n = node.variable.name
        if self.notation == "prefix":
            return f"({word} ({n}) {b})"
        if self.notation == "latex":
            return f"\\{latex} {n}, {b}"
        return f"{word} {n}, {b}"

    def visit_forall_pred(self, node):
        return self._second_order(node, "forall_pred", "forall")

    def visit_exists_pred(self, node):
        return self._second_order(node, "exists_pred", "exists")

    def visit_forall_func(self, node):
        return self._second_order(node, "forall_func", "forall")

    def visit_exists_func(self, node):
        return self._second_order(node, "exists_func", "exists")
