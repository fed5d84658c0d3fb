"""The forest markup of real proofs compiles with pdflatex (skipped without it)."""

import shutil
import subprocess

import pytest

from quorvel.constructive.common import FALSUM, VERUM
from quorvel.constructive.tableau import prove_tableau
from quorvel.core.ast import And, Iff, Implies, Not, Or, PredicateApp

p, q, r = (PredicateApp(name, 0, ()) for name in ("p", "q", "r_1"))

PROOFS = {
    "implication": (Implies(p, p), []),
    "excluded middle": (Or(p, Not(p)), []),
    "branching": (Implies(And(Or(p, q), Implies(p, r)), Or(r, q)), []),
    "equivalence": (Implies(Iff(p, q), Implies(q, p)), [Not(r)]),
    "constants": (Or(VERUM, Implies(FALSUM, p)), [Implies(p, FALSUM)]),
    "cut by a bound": (Implies(Not(Not(p)), p), []),
}

DOCUMENT = r"""\documentclass{article}
\usepackage{amsmath}
\usepackage{forest}
\begin{document}
%s
\end{document}
"""


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex is not installed")
@pytest.mark.parametrize("name", list(PROOFS))
def test_tree_latex_compiles(tmp_path, name):
    target, premises = PROOFS[name]
    result = prove_tableau(target, premises, max_depth=12, max_worlds=4)
    source = tmp_path / "proof.tex"
    source.write_text(DOCUMENT % result.tree.to_latex())
    run = subprocess.run(["pdflatex", "-interaction=nonstopmode", "-halt-on-error", source.name],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout[-3000:]
    assert (tmp_path / "proof.pdf").stat().st_size > 0
