from collections.abc import Sequence
from typing import ClassVar, Literal, Self, TypedDict

from typing_extensions import disjoint_base

from quorvel.constructive.common import (
    FALSUM,
    VERUM,
    _formula_weight,
    _is_atomic,
    _is_falsum,
    _is_verum,
    normalize_formula,
)
from quorvel.core.ast import Formula

__all__ = [
    "FALSUM",
    "VERUM",
    "_is_falsum",
    "_is_verum",
    "_is_atomic",
    "normalize_formula",
    "_formula_weight",
    "Sequent",
    "LJTProofNode",
    "LJTProofTree",
    "LJTProver",
    "prove_ljt",
]

@disjoint_base
class Sequent:
    __match_args__: ClassVar[tuple[str, str]] = ("antecedents", "succedent")
    # the default succedent is FALSUM
    def __init__(self, antecedents: Sequence[Formula] = (), succedent: Formula = ...) -> None: ...
    @property
    def antecedents(self) -> tuple[Formula, ...]: ...
    @property
    def succedent(self) -> Formula: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def to_string(self, /, notation: Literal["infix", "latex"] = "infix") -> str: ...

class _LJTNodeDict(TypedDict):
    sequent: str
    rule: str
    premises: list[_LJTNodeDict]

class _LJTTreeDict(TypedDict):
    root: _LJTNodeDict
    depth: int
    size: int
    is_valid: bool

@disjoint_base
class LJTProofNode:
    __match_args__: ClassVar[tuple[str, str, str]] = ("sequent", "rule", "premises")
    def __new__(cls, sequent: Sequent, rule: str, premises: tuple[LJTProofNode, ...] = ()) -> Self: ...
    @property
    def sequent(self) -> Sequent: ...
    @property
    def rule(self) -> str: ...
    @property
    def premises(self) -> tuple[LJTProofNode, ...]: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def to_dict(self, /) -> _LJTNodeDict: ...

@disjoint_base
class LJTProofTree:
    root: LJTProofNode
    def __init__(self, root: LJTProofNode) -> None: ...
    @property
    def depth(self) -> int: ...
    @property
    def size(self) -> int: ...
    def is_valid(self, /) -> bool: ...
    def to_dict(self, /) -> _LJTTreeDict: ...
    def to_ascii(self, /) -> str: ...
    def to_latex(self, /) -> str: ...

# `premises` (here and in prove_ljt): a list or a tuple at runtime, other sequences are refused
class LJTProver:
    def prove(self, /, target: Formula, premises: Sequence[Formula] | None = None) -> LJTProofTree | None: ...
    def is_provable(self, /, target: Formula, premises: Sequence[Formula] | None = None) -> bool: ...
    def _search(self, /, seq: Sequent) -> LJTProofNode | None: ...

def prove_ljt(formula: Formula, premises: Sequence[Formula] | None = None) -> LJTProofTree | None: ...
