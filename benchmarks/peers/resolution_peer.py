"""Plain-Python prefixed resolution: the same refutation search as
quorvel.constructive.resolution (clauses of the matrix paths, the open
clause with fewest candidates first, unifiers in their fixed order, each
admissible; verum at polarity 0 closes like falsum at polarity 1), over the
plain prefix and matrix peers. Literals of a clause are ordered as the
native search orders them: by the atom's first leaf, polarity 1 first, then
the prefix by symbol creation order."""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from matrix_peer import FormulaTree  # noqa: E402
from prefix_peer import PrefixSubstitution, is_admissible, unify_prefixes  # noqa: E402

from quorvel.constructive.common import _is_falsum, _is_verum, normalize_formula  # noqa: E402


def clausify(target, premises, multiplicity):
    tree = FormulaTree(target, list(premises), multiplicity)
    atom_rank = {}
    for leaf in tree.leaves:
        atom_rank.setdefault(leaf.formula, len(atom_rank))
    sym_rank = {s: i for i, s in enumerate(tree.tree_order)}
    clauses = []
    for path in tree.get_paths():
        lits = {(leaf.prefix, leaf.polarity, leaf.formula) for leaf in path}
        clauses.append(sorted(lits, key=lambda l: (atom_rank[l[2]], -l[1], [sym_rank[s] for s in l[0].symbols])))
    return clauses, tree


def candidates(clause):
    out = []
    for i in range(len(clause)):
        for j in range(i + 1, len(clause)):
            a, b = clause[i], clause[j]
            if a[2] == b[2] and a[1] != b[1]:
                out.append((a, b) if a[1] == 1 else (b, a))
    return out


def closed(clause, subst):
    inst = [(subst.apply(p), pol, atom) for p, pol, atom in clause]
    for i, (p, pol, atom) in enumerate(inst):
        if (pol == 1 and _is_falsum(atom)) or (pol == 0 and _is_verum(atom)):
            return True
        for q, pol2, atom2 in inst[i + 1:]:
            if atom2 == atom and pol2 != pol and q == p:
                return True
    return False


def search(clauses, tree):
    """(steps, empty id, substitution) or None; a step is (id, rule, premise ids, substitution)."""
    n = len(clauses)
    initial = [(f"init_{i + 1}", "initial", (), PrefixSubstitution()) for i in range(n)]
    cands = [candidates(c) for c in clauses]

    def backtrack(remaining, subst, steps, counter):
        unclosed = [(c, i) for c, i in remaining if not closed(clauses[c], subst)]
        if not unclosed:
            if not is_admissible(tree, subst):
                return None
            empty = f"s{counter + 1}"
            return steps + [(empty, "empty_clause", tuple(s[0] for s in steps[-2:]), subst)], empty, subst
        unclosed.sort(key=lambda pair: len(cands[pair[0]]))
        (target, init_id), rest = unclosed[0], unclosed[1:]
        for pos, neg in cands[target]:
            for unif in unify_prefixes(pos[0], neg[0], subst):
                if not is_admissible(tree, unif):
                    continue
                counter += 1
                found = backtrack(rest, unif, steps + [(f"s{counter}", "resolution", (init_id,), unif)], counter)
                if found:
                    return found
        return None

    return backtrack([(c, f"init_{c + 1}") for c in range(n)], PrefixSubstitution(), initial, n)


def prove(target, premises=None, max_multiplicity=3):
    target = normalize_formula(target)
    premises = tuple(normalize_formula(p) for p in premises or ())
    for m in range(1, max(1, max_multiplicity) + 1):
        clauses, tree = clausify(target, premises, m)
        if clauses:
            found = search(clauses, tree)
            if found:
                return m, found
    return None
