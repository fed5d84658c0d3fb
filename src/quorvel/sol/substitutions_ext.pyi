from collections.abc import Container, Sequence
from typing import TypeVar

from quorvel.core.ast import Formula, Variable
from quorvel.sol.ast_ext import PredicateVariable

# A template alone, or (parameters, template); a TypeVar so that both a unifier and a
# dict of bare templates are accepted despite dict's invariance.
_Template = TypeVar("_Template", bound=Formula | tuple[Sequence[Variable], Formula])

def ho_pattern_unify(
    pattern: Formula, target: Formula, bound_vars: Container[Variable] | None = None
) -> dict[PredicateVariable, tuple[tuple[Variable, ...], Formula]] | None: ...
def substitute_predicate(formula: Formula, mapping: dict[PredicateVariable, _Template]) -> Formula: ...
