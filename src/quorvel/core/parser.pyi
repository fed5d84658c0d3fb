from typing import Literal

from quorvel.core.ast import Formula, Term

__all__ = ["to_string"]

def to_string(formula: Formula | Term, notation: Literal["infix", "latex"] = "infix") -> str: ...
