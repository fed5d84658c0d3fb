"""Prove one intuitionistic formula, refute another, and read the countermodel."""

from quorvel.constructive.tableau import prove_tableau
from quorvel.core.ast import Implies, Not, Or, PredicateApp

p, q = PredicateApp("p", 0, ()), PredicateApp("q", 0, ())

proof = prove_tableau(Implies(p, Implies(q, p)))
print(proof)  # the report, with the closed tree
print()

excluded_middle = Or(p, Not(p))
refutation = prove_tableau(excluded_middle)
print(refutation)  # the report, with the open tree and the countermodel
print()

model = refutation.countermodel
assert model is not None  # a formula that is not valid has a countermodel
w0 = model.worlds[0]
print("countermodel forces p | ~p at w0:", model.evaluate(excluded_middle, w0))
print(refutation.tree.to_latex())
