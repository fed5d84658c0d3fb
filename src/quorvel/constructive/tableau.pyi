import enum
import sys
from collections.abc import Iterable
from typing import ClassVar, Literal, Self, TypeAlias, TypeVar, TypedDict

from typing_extensions import disjoint_base

from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.kripke import KripkeModel, World, _KripkeModelDict
from quorvel.core.ast import Formula

_T = TypeVar("_T")

if sys.version_info >= (3, 12):
    # Python classes keep their __dict__ out of the instance layout from 3.12
    # on, which makes a native class with a dict slot of its own a disjoint base.
    from typing_extensions import disjoint_base as _dict_slot_base
else:
    def _dict_slot_base(cls: _T) -> _T: ...

__all__ = [
    "FALSUM",
    "VERUM",
    "Sign",
    "World",
    "SignedFormula",
    "KripkeModel",
    "TableauNode",
    "TableauProofTree",
    "TableauProofResult",
    "TableauProver",
    "prove_tableau",
]

class Sign(enum.StrEnum):
    TRUE = "T"
    FALSE = "F"

@disjoint_base
class SignedFormula:
    def __new__(cls, sign: Sign, formula: Formula, world: World) -> Self: ...
    @property
    def sign(self) -> Sign: ...
    @property
    def formula(self) -> Formula: ...
    @property
    def world(self) -> World: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def to_string(self, notation: Literal["infix", "latex"] = "infix") -> str: ...

class _TableauNodeDict(TypedDict):
    id: int
    signed_formula: str | None
    rule: str
    world: str | None
    is_closed: bool
    clash_details: str | None
    children: list[_TableauNodeDict]

class _TableauProofTreeDict(TypedDict):
    is_closed: bool
    depth: int
    size: int
    tree: _TableauNodeDict

class _TableauProofResultDict(TypedDict):
    is_valid: bool
    target: str | None
    premises: list[str]
    tree: _TableauProofTreeDict
    countermodel: _KripkeModelDict | None

@disjoint_base
class TableauNode:
    __match_args__: ClassVar[tuple[str, ...]] = (
        "id",
        "signed_formula",
        "rule",
        "world",
        "children",
        "is_closed",
        "clash_details",
    )
    id: int
    signed_formula: SignedFormula | None
    rule: str
    world: World | None
    children: list[TableauNode]
    is_closed: bool
    clash_details: str | None
    def __init__(
        self,
        id: int,
        signed_formula: SignedFormula | None = None,
        rule: str = "",
        world: World | None = None,
        children: list[TableauNode] = ...,
        is_closed: bool = False,
        clash_details: str | None = None,
    ) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def is_leaf(self) -> bool: ...
    def to_dict(self) -> _TableauNodeDict: ...
    def to_string(self, prefix: str = "", is_last: bool = True) -> str: ...

@_dict_slot_base
class TableauProofTree:
    root: TableauNode
    def __init__(self, root: TableauNode) -> None: ...
    def is_closed(self) -> bool: ...
    def get_depth(self) -> int: ...
    def get_size(self) -> int: ...
    def to_dict(self) -> _TableauProofTreeDict: ...
    def to_string(self) -> str: ...
    def to_latex(self) -> str: ...

@disjoint_base
class TableauProofResult:
    __match_args__: ClassVar[tuple[str, ...]] = ("is_valid", "tree", "countermodel", "target", "premises")
    is_valid: bool
    tree: TableauProofTree
    countermodel: KripkeModel | None
    target: Formula | None
    premises: tuple[Formula, ...]
    def __init__(
        self,
        is_valid: bool,
        tree: TableauProofTree,
        countermodel: KripkeModel | None = None,
        target: Formula | None = None,
        premises: tuple[Formula, ...] = (),
    ) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def to_string(self) -> str: ...
    def to_dict(self) -> _TableauProofResultDict: ...

# (rule stem, formula, world) or, for the rules applied once per successor,
# (rule stem, formula, world, successor).
_AppliedRuleKey: TypeAlias = tuple[str, Formula, World] | tuple[str, Formula, World, World]

@disjoint_base
class _BranchState:
    __match_args__: ClassVar[tuple[str, ...]] = ("worlds", "relations", "t_formulas", "f_formulas", "applied_rules")
    worlds: list[World]
    relations: dict[World, set[World]]
    t_formulas: dict[World, set[Formula]]
    f_formulas: dict[World, set[Formula]]
    applied_rules: set[_AppliedRuleKey]
    def __init__(
        self,
        worlds: list[World] = ...,
        relations: dict[World, set[World]] = ...,
        t_formulas: dict[World, set[Formula]] = ...,
        f_formulas: dict[World, set[Formula]] = ...,
        applied_rules: set[_AppliedRuleKey] = ...,
    ) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def copy(self) -> _BranchState: ...
    def add_world(self, world: World) -> None: ...
    def add_relation(self, source: World, target: World) -> None: ...
    def add_t_formula(self, world: World, formula: Formula) -> None: ...
    def add_f_formula(self, world: World, formula: Formula) -> None: ...

@disjoint_base
class TableauProver:
    max_depth: int
    max_worlds: int
    _node_counter: int
    def __init__(self, max_depth: int = 100, max_worlds: int = 50) -> None: ...
    def _next_node_id(self) -> int: ...
    def _check_clash(self, state: _BranchState) -> tuple[World, Formula, str] | None: ...
    def _extract_countermodel(self, state: _BranchState) -> KripkeModel: ...
    def prove(self, target: Formula, premises: Iterable[Formula] | None = None) -> TableauProofResult: ...
    def _expand_branch(self, state: _BranchState, node: TableauNode, depth: int) -> tuple[bool, _BranchState | None]: ...
    def is_valid(self, target: Formula, premises: Iterable[Formula] | None = None) -> bool: ...
    def countermodel(self, target: Formula, premises: Iterable[Formula] | None = None) -> KripkeModel | None: ...

def prove_tableau(
    formula: Formula,
    premises: Iterable[Formula] | None = None,
    max_depth: int = 100,
    max_worlds: int = 50,
) -> TableauProofResult: ...
