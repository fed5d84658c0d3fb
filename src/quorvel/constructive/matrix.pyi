import enum
from collections.abc import Sequence
from typing import ClassVar, Self

from typing_extensions import disjoint_base

from quorvel.constructive.prefix import Prefix, PrefixSymbol
from quorvel.core.ast import Formula

__all__ = ["PositionType", "Position", "FormulaTree", "Connection"]

class PositionType(enum.StrEnum):
    ALPHA = "ALPHA"
    BETA = "BETA"
    PHI = "PHI"
    PSI = "PSI"
    ATOM = "ATOM"

@disjoint_base
class Position:
    __match_args__ = ("id", "formula", "polarity", "pos_type", "prefix", "parent", "children", "symbol")
    __hash__: ClassVar[None]  # type: ignore[assignment]
    id: int
    formula: Formula
    polarity: int
    pos_type: PositionType
    prefix: Prefix
    parent: Position | None
    children: tuple[Position, ...]
    symbol: PrefixSymbol | None
    def __init__(
        self,
        id: int,
        formula: Formula,
        polarity: int,
        pos_type: PositionType,
        prefix: Prefix,
        parent: Position | None = None,
        children: tuple[Position, ...] = (),
        symbol: PrefixSymbol | None = None,
    ) -> None: ...
    def __eq__(self, value: object, /) -> bool: ...
    def is_leaf(self) -> bool: ...
    def to_string(self) -> str: ...

@disjoint_base
class FormulaTree:
    target: Formula
    premises: tuple[Formula, ...]
    multiplicity: int
    root: Position
    positions: list[Position]
    leaves: list[Position]
    tree_order: dict[PrefixSymbol, set[PrefixSymbol]]
    _counter: int
    _const_counter: int
    _var_counter: int
    # `premises` must be a list or a tuple at runtime.
    def __init__(self, target: Formula, premises: Sequence[Formula] | None = None, multiplicity: int = 1) -> None: ...
    def get_paths(self) -> list[list[Position]]: ...

@disjoint_base
class Connection:
    __match_args__ = ("positive", "negative")
    def __new__(cls, positive: Position, negative: Position) -> Self: ...
    @property
    def positive(self) -> Position: ...
    @property
    def negative(self) -> Position: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def to_string(self) -> str: ...
