from collections.abc import Iterable

from typing_extensions import disjoint_base

from quorvel.config import SolverConfig
from quorvel.core.ast import Formula
from quorvel.core.signature import Signature
from quorvel.prover.proof import ProofDAG

class ProofNotFoundError(Exception): ...

@disjoint_base
class TheoremProver:
    signature: Signature | None
    config: SolverConfig | None
    def __init__(self, signature: Signature | None = None, config: SolverConfig | None = None) -> None: ...
    def prove(
        self,
        target: Formula,
        premises: Iterable[Formula] | None = None,
        max_steps: int | None = None,
        timeout_sec: float | None = None,
    ) -> ProofDAG: ...
