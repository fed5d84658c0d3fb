import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import ClassVar, Literal, TypeVar, TypedDict, overload

from typing_extensions import disjoint_base

from quorvel.constructive.matrix import FormulaTree
from quorvel.constructive.prefix import Prefix, PrefixConstant, PrefixSubstitution, PrefixVariable
from quorvel.core.ast import Formula, Term
from quorvel.prover.proof import ProofDAG

_T = TypeVar("_T")

if sys.version_info >= (3, 12):
    # Python classes keep their __dict__ out of the instance layout from 3.12
    # on, which makes a native class with a dict slot of its own a disjoint base.
    from typing_extensions import disjoint_base as _dict_slot_base
else:
    def _dict_slot_base(cls: _T) -> _T: ...

__all__ = [
    "PrefixedLiteral",
    "PrefixedClause",
    "PrefixedResolutionStep",
    "PrefixedResolutionProofResult",
    "clausify_prefixed",
    "resolve_prefixed_clauses",
    "factor_prefixed_clause",
    "PrefixedResolutionProver",
    "prove_prefixed_resolution",
    "translate_ipc_to_fol",
    "get_frame_axioms",
    "TranslationResolutionResult",
    "TranslationResolutionProver",
    "prove_translation_resolution",
    "ConstructiveResolutionProver",
    "prove_resolution",
]

@dataclass(frozen=True)
class PrefixedLiteral:
    prefix: Prefix
    polarity: int
    atom: Formula
    def __hash__(self) -> int: ...
    def negate(self) -> PrefixedLiteral: ...
    def substitute(self, subst: PrefixSubstitution) -> PrefixedLiteral: ...
    def variables(self) -> set[PrefixVariable]: ...
    def constants(self) -> set[PrefixConstant]: ...
    def to_string(self) -> str: ...

@dataclass(frozen=True)
class PrefixedClause:
    literals: frozenset[PrefixedLiteral] = ...
    def __hash__(self) -> int: ...
    def __len__(self) -> int: ...
    def is_empty(self) -> bool: ...
    def substitute(self, subst: PrefixSubstitution) -> PrefixedClause: ...
    def variables(self) -> set[PrefixVariable]: ...
    def constants(self) -> set[PrefixConstant]: ...
    def to_string(self) -> str: ...

class _StepDict(TypedDict):
    id: str
    rule: str
    premises: list[str]
    clause: str
    substitution: dict[str, str]

@dataclass(frozen=True)
class PrefixedResolutionStep:
    id: str
    rule_name: str
    premise_ids: tuple[str, ...]
    clause: PrefixedClause
    substitution: PrefixSubstitution = ...
    parent_literals: tuple[PrefixedLiteral, PrefixedLiteral] | None = None
    def to_dict(self) -> _StepDict: ...

class _PrefixedResultDict(TypedDict):
    is_valid: bool
    target: str
    premises: list[str]
    multiplicity: int
    empty_clause_id: str | None
    substitution: dict[str, str]
    steps: list[_StepDict]

@dataclass
class PrefixedResolutionProofResult:
    is_valid: bool
    target: Formula
    premises: tuple[Formula, ...]
    steps: tuple[PrefixedResolutionStep, ...]
    empty_clause_id: str | None
    substitution: PrefixSubstitution
    multiplicity: int
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def to_dict(self) -> _PrefixedResultDict: ...
    def to_string(self) -> str: ...

def clausify_prefixed(
    target: Formula, premises: Sequence[Formula] | None = None, multiplicity: int = 1
) -> tuple[list[PrefixedClause], FormulaTree]: ...
def resolve_prefixed_clauses(
    c1: PrefixedClause, c2: PrefixedClause, subst: PrefixSubstitution | None = None, tree: FormulaTree | None = None
) -> list[tuple[PrefixedClause, PrefixSubstitution, PrefixedLiteral, PrefixedLiteral]]: ...
def factor_prefixed_clause(
    clause: PrefixedClause, subst: PrefixSubstitution | None = None, tree: FormulaTree | None = None
) -> list[tuple[PrefixedClause, PrefixSubstitution, PrefixedLiteral, PrefixedLiteral]]: ...

@_dict_slot_base
class PrefixedResolutionProver:
    max_multiplicity: int
    max_steps: int
    def __init__(self, max_multiplicity: int = 3, max_steps: int = 1000) -> None: ...
    def prove(self, target: Formula, premises: Sequence[Formula] | None = None) -> PrefixedResolutionProofResult | None: ...
    # Called by prove once per multiplicity; a subclass may override it.
    def _search_refutation(
        self,
        target: Formula,
        premises: tuple[Formula, ...],
        initial_clauses: list[PrefixedClause],
        tree: FormulaTree,
        multiplicity: int,
    ) -> PrefixedResolutionProofResult | None: ...

def prove_prefixed_resolution(
    formula: Formula, premises: Sequence[Formula] | None = None, max_multiplicity: int = 3, max_steps: int = 1000
) -> PrefixedResolutionProofResult | None: ...
def translate_ipc_to_fol(
    formula: Formula, world_term: Term | None = None, var_counter: list[int] | None = None
) -> Formula: ...
def get_frame_axioms(atomic_predicates: Iterable[str]) -> list[Formula]: ...
def _extract_predicate_names(formula: Formula) -> set[str]: ...

class _TranslationResultDict(TypedDict):
    is_valid: bool
    target_ipc: str
    premises_ipc: list[str]
    target_fol: str
    premises_fol: list[str]
    frame_axioms: list[str]
    has_proof_dag: bool

@dataclass
class TranslationResolutionResult:
    is_valid: bool
    target_ipc: Formula
    premises_ipc: tuple[Formula, ...]
    target_fol: Formula
    premises_fol: tuple[Formula, ...]
    frame_axioms: tuple[Formula, ...]
    proof_dag: ProofDAG | None
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def to_dict(self) -> _TranslationResultDict: ...
    def to_string(self) -> str: ...

@disjoint_base
class TranslationResolutionProver:
    max_steps: int
    timeout_sec: float
    def __init__(self, max_steps: int = 1000, timeout_sec: float = 10.0) -> None: ...
    def prove(self, target: Formula, premises: Sequence[Formula] | None = None) -> TranslationResolutionResult | None: ...

def prove_translation_resolution(
    formula: Formula, premises: Sequence[Formula] | None = None, max_steps: int = 1000, timeout_sec: float = 10.0
) -> TranslationResolutionResult | None: ...

@disjoint_base
class ConstructiveResolutionProver:
    method: str
    max_multiplicity: int
    max_steps: int
    timeout_sec: float
    def __init__(
        self, method: str = "prefixed", max_multiplicity: int = 3, max_steps: int = 1000, timeout_sec: float = 10.0
    ) -> None: ...
    def prove(
        self, target: Formula, premises: Sequence[Formula] | None = None
    ) -> PrefixedResolutionProofResult | TranslationResolutionResult | None: ...

@overload
def prove_resolution(
    formula: Formula,
    premises: Sequence[Formula] | None = None,
    method: Literal["prefixed"] = "prefixed",
    max_multiplicity: int = 3,
    max_steps: int = 1000,
    timeout_sec: float = 10.0,
) -> PrefixedResolutionProofResult | None: ...
@overload
def prove_resolution(
    formula: Formula,
    premises: Sequence[Formula] | None,
    method: Literal["translation"],
    max_multiplicity: int = 3,
    max_steps: int = 1000,
    timeout_sec: float = 10.0,
) -> TranslationResolutionResult | None: ...
@overload
def prove_resolution(
    formula: Formula,
    premises: Sequence[Formula] | None = None,
    *,
    method: Literal["translation"],
    max_multiplicity: int = 3,
    max_steps: int = 1000,
    timeout_sec: float = 10.0,
) -> TranslationResolutionResult | None: ...
@overload
def prove_resolution(
    formula: Formula,
    premises: Sequence[Formula] | None = None,
    method: str = "prefixed",
    max_multiplicity: int = 3,
    max_steps: int = 1000,
    timeout_sec: float = 10.0,
) -> PrefixedResolutionProofResult | TranslationResolutionResult | None: ...
