"""Plain-Python prefix words, substitutions, unification and admissibility:
the same algorithms as quorvel.constructive.prefix, written directly (with
the same repairs: a binding takes the prefix as the substitution maps it, and
a cycle of bound variables in the starting substitution is a ValueError)."""

from __future__ import annotations

from dataclasses import dataclass, field


@dataclass(frozen=True)
class PrefixSymbol:
    name: str

    def __str__(self):
        return self.name


@dataclass(frozen=True)
class PrefixConstant(PrefixSymbol):
    pass


@dataclass(frozen=True)
class PrefixVariable(PrefixSymbol):
    pass


@dataclass(frozen=True)
class Prefix:
    symbols: tuple = ()

    def __post_init__(self):
        if not isinstance(self.symbols, tuple):
            object.__setattr__(self, "symbols", tuple(self.symbols))

    def __len__(self):
        return len(self.symbols)

    def __getitem__(self, idx):
        if isinstance(idx, slice):
            return Prefix(self.symbols[idx])
        return self.symbols[idx]

    def append(self, symbol):
        return Prefix(self.symbols + (symbol,))

    def to_string(self):
        return ".".join(s.name for s in self.symbols) if self.symbols else "eps"

    __str__ = to_string


@dataclass
class PrefixSubstitution:
    mapping: dict = field(default_factory=dict)

    def copy(self):
        return PrefixSubstitution(dict(self.mapping))

    def bind(self, var, term):
        new = {}
        for k, w in self.mapping.items():
            out = []
            for s in w:
                if s == var:
                    out.extend(term)
                else:
                    out.append(s)
            new[k] = tuple(out)
        new[var] = term
        return PrefixSubstitution(new)

    def get(self, var):
        return self.mapping.get(var)

    def apply_word(self, word):
        out = []
        for s in word:
            if isinstance(s, PrefixVariable) and s in self.mapping:
                out.extend(self.mapping[s])
            else:
                out.append(s)
        return tuple(out)

    def apply(self, prefix):
        return Prefix(self.apply_word(prefix.symbols))

    def to_dict(self):
        return {k.name: ".".join(s.name for s in w) for k, w in self.mapping.items()}


def _check_cycles(words, subst):
    colour = {}
    for root in words:
        stack = [(root, iter(subst.mapping.get(root, ())))] if subst.get(root) is not None else []
        if not stack or colour.get(root):
            continue
        colour[root] = 1
        while stack:
            var, it = stack[-1]
            nxt = next(it, None)
            if nxt is None:
                colour[var] = 2
                stack.pop()
                continue
            if not isinstance(nxt, PrefixVariable) or subst.get(nxt) is None or colour.get(nxt) == 2:
                continue
            if colour.get(nxt) == 1:
                raise ValueError("Prefix substitution binds a cycle of variables")
            colour[nxt] = 1
            stack.append((nxt, iter(subst.mapping[nxt])))


def unify_prefixes(p1, p2, subst=None):
    start = subst.copy() if subst is not None else PrefixSubstitution()
    _check_cycles(p1.symbols + p2.symbols, start)
    return _unify_words(start.apply_word(p1.symbols), start.apply_word(p2.symbols), start)


def _unify_words(w1, w2, current):
    while w1 and w2 and w1[0] == w2[0]:
        w1, w2 = w1[1:], w2[1:]
    if not w1:
        if not w2:
            return [current]
        head = w2[0]
        if isinstance(head, PrefixVariable):
            bound = current.get(head)
            if bound is not None:
                return _unify_words((), bound + w2[1:], current)
            n = current.bind(head, ())
            return _unify_words((), n.apply_word(w2[1:]), n)
        return []
    if not w2:
        head = w1[0]
        if isinstance(head, PrefixVariable):
            bound = current.get(head)
            if bound is not None:
                return _unify_words(bound + w1[1:], (), current)
            n = current.bind(head, ())
            return _unify_words(n.apply_word(w1[1:]), (), n)
        return []
    s1, s2 = w1[0], w2[0]
    if isinstance(s1, PrefixConstant) and isinstance(s2, PrefixConstant):
        return []
    if isinstance(s1, PrefixVariable):
        bound = current.get(s1)
        if bound is not None:
            return _unify_words(bound + w1[1:], w2, current)
        out = []
        e = current.bind(s1, ())
        out.extend(_unify_words(e.apply_word(w1[1:]), w2, e))
        for k in range(1, len(w2) + 1):
            p = w2[:k]
            if s1 in p:
                break
            n = current.bind(s1, current.apply_word(p))
            out.extend(_unify_words(n.apply_word(w1[1:]), n.apply_word(w2[k:]), n))
        return out
    if isinstance(s2, PrefixVariable):
        bound = current.get(s2)
        if bound is not None:
            return _unify_words(w1, bound + w2[1:], current)
        out = []
        e = current.bind(s2, ())
        out.extend(_unify_words(w1, e.apply_word(w2[1:]), e))
        for k in range(1, len(w1) + 1):
            p = w1[:k]
            if s2 in p:
                break
            n = current.bind(s2, current.apply_word(p))
            out.extend(_unify_words(n.apply_word(w1[k:]), n.apply_word(w2[1:]), n))
        return out
    return []


def is_admissible(tree, subst):
    graph = {k: set(v) for k, v in tree.tree_order.items()}
    for var, word in subst.mapping.items():
        graph.setdefault(var, set())
        for s in word:
            graph.setdefault(s, set())
            if s != var:
                graph[s].add(var)
    marks = dict.fromkeys(graph, 0)

    def has_cycle(u):
        marks[u] = 1
        for v in graph.get(u, ()):
            marks.setdefault(v, 0)
            if marks[v] == 1 or (marks[v] == 0 and has_cycle(v)):
                return True
        marks[u] = 2
        return False

    return not any(marks[u] == 0 and has_cycle(u) for u in list(graph))
