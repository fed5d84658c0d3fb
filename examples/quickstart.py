"""Build a few formulas, print them and measure them."""

from quorvel.core.ast import (
    And,
    Exists,
    Forall,
    Implies,
    Not,
    PredicateApp,
    Variable,
    canonicalize_bound_variables,
    formula_depth,
    formula_size,
    free_variables,
)

x, y = Variable(7), Variable(8)
p = PredicateApp("P", 1, (x,))
q = PredicateApp("Q", 2, (x, y))
f = Forall(x, Implies(p, Exists(y, And(q, Not(p)))))

print(f)
print("size", formula_size(f), "depth", formula_depth(f))
print("free variables of the body:", sorted(v.id for v in free_variables(f.body)))
print("canonical:", canonicalize_bound_variables(f))
