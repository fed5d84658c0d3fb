"""Run quorvel's intuitionistic provers over the ILTP propositional problems.

    python benchmarks/iltp.py --prover tableau [--timeout 10] [--filter REGEX] [--jobs N]
    python benchmarks/iltp.py --prover ljt --verbose
    python benchmarks/iltp.py --prover prefixed    # prefixed resolution, default limits
    python benchmarks/iltp.py --prover translation # relational translation, first-order prover
    python benchmarks/iltp.py --prover auto        # prefixed, then translation
    python benchmarks/iltp.py --self-test        # parse all problems, print counts

Each problem ``axioms |- conjecture`` runs in a forked child with a wall-clock
limit; the child is killed when the limit passes.  The verdict is graded
against the known status in ``status.tsv`` (second column) and the summary
follows the ILTP comparison tables: solved (proved + refuted), wrong, cut by a
bound, time out, error, and the time spent.

Reader.  The TPTP subset used by the library: ``fof(name, role, F).`` with
roles axiom (or hypothesis) and conjecture, other roles rejected, ``%`` line and
``/* */`` block comments, lower-case atoms, ``$true``, ``$false``, ``~`` and
the binary connectives ``&``, ``|``, ``=>``, ``<=``, ``<=>``, ``<~>``, ``~|``,
``~&``.  As in TPTP, ``~`` binds tightest and binary connectives are not
mixed at one parenthesis level, except that a chain of ``&`` (or of ``|``)
may go without parentheses; such a chain is read left-associatively,
``a & b & c`` as ``(a & b) & c``.  The parser keeps its own stack, so
arbitrarily deep nesting (thousands of levels in the pigeonhole problems)
never touches Python's recursion limit.
"""

from __future__ import annotations

import argparse
import csv
import multiprocessing
import os
import re
import sys
import time
import traceback
from dataclasses import dataclass, field
from multiprocessing.connection import wait
from pathlib import Path
from typing import Callable

ILTP_DIR = Path(os.environ.get("QUORVEL_ILTP_DIR", "/work/shared/iltp"))


# ------------------------------------------------------------ node builders

@dataclass(frozen=True)
class Nodes:
    """The node constructors the reader builds with; one place to swap them."""
    atom: Callable[[str], object]
    Not: Callable
    And: Callable
    Or: Callable
    Implies: Callable
    Iff: Callable
    falsum: object
    verum: object


def quorvel_nodes() -> Nodes:
    from quorvel.core import ast
    from quorvel.constructive.common import FALSUM, VERUM
    return nodes_from(ast, FALSUM, VERUM)


def nodes_from(ast, falsum, verum) -> Nodes:
    pred = ast.PredicateApp
    return Nodes(atom=lambda name: pred(name, 0, ()), Not=ast.Not, And=ast.And,
                 Or=ast.Or, Implies=ast.Implies, Iff=ast.Iff,
                 falsum=falsum, verum=verum)


# ------------------------------------------------------------------- reader

class TPTPError(ValueError):
    pass


_TOKEN = re.compile(r"""
    (?P<ws>\s+|%[^\n]*|/\*.*?\*/)
  | (?P<op><~>|<=>|=>|<=|~\||~&|[~&|(),.])
  | (?P<word>\$?[a-z][A-Za-z0-9_]*)
  | (?P<quoted>'(?:[^'\\]|\\.)*')
  | (?P<upper>[A-Z][A-Za-z0-9_]*)
  | (?P<other>.)
""", re.VERBOSE | re.DOTALL)

# Only these may chain at one level without parentheses.
_ASSOC = {"&", "|"}
_BINARY = {"&", "|", "=>", "<=", "<=>", "<~>", "~|", "~&"}


def tokenize(text: str):
    """Yield (kind, text, line) for every token outside comments."""
    line = 1
    for m in _TOKEN.finditer(text):
        kind = m.lastgroup
        tok = m.group()
        if kind != "ws":
            if kind in ("upper", "other"):
                raise TPTPError(f"line {line}: unexpected {tok!r}"
                                + (" (variables are not propositional)" if kind == "upper" else ""))
            yield kind, tok, line
        line += tok.count("\n")


@dataclass
class Problem:
    name: str
    premises: list = field(default_factory=list)
    target: object = None
    depth: int = 0           # height of the deepest formula (atoms are 1)
    connectives: dict = field(default_factory=dict)


class _Level:
    """One parenthesis level of the formula being read."""
    __slots__ = ("operands", "depths", "op", "negs", "expect_unit", "line")

    def __init__(self, line: int):
        self.operands: list = []  # units read so far, joined by ``op`` at the end
        self.depths: list = []
        self.op: str | None = None
        self.negs = 0             # pending ~ in front of the next unit
        self.expect_unit = True
        self.line = line


class FormulaReader:
    """Shift-reduce reader over a token list; one instance per file."""

    def __init__(self, tokens: list, nodes: Nodes, counts: dict):
        self.toks = tokens
        self.pos = 0
        self.nodes = nodes
        self.counts = counts

    def peek(self):
        if self.pos >= len(self.toks):
            raise TPTPError("unexpected end of file")
        return self.toks[self.pos]

    def expect(self, text: str):
        kind, tok, line = self.peek()
        if tok != text:
            raise TPTPError(f"line {line}: expected {text!r}, found {tok!r}")
        self.pos += 1

    def combine(self, op: str, a, b):
        n = self.nodes
        self.counts[op] = self.counts.get(op, 0) + 1
        if op == "&":
            return n.And(a, b)
        if op == "|":
            return n.Or(a, b)
        if op == "=>":
            return n.Implies(a, b)
        if op == "<=":
            return n.Implies(b, a)
        if op == "<=>":
            return n.Iff(a, b)
        if op == "<~>":
            return n.Not(n.Iff(a, b))
        if op == "~|":
            return n.Not(n.Or(a, b))
        if op == "~&":
            return n.Not(n.And(a, b))
        raise AssertionError(op)

    def reduce(self, lv: _Level):
        """The formula of a finished level and its height."""
        if lv.expect_unit:
            raise TPTPError(f"line {lv.line}: formula ends where a formula is expected")
        f, d = lv.operands[0], lv.depths[0]
        extra = 2 if lv.op in ("<~>", "~|", "~&") else 1
        for g, dg in zip(lv.operands[1:], lv.depths[1:]):
            f = self.combine(lv.op, f, g)
            d = max(d, dg) + extra
        return f, d

    def push_unit(self, lv: _Level, f, d: int):
        for _ in range(lv.negs):
            f = self.nodes.Not(f)
        if lv.negs:
            self.counts["~"] = self.counts.get("~", 0) + lv.negs
        lv.operands.append(f)
        lv.depths.append(d + lv.negs)
        lv.negs = 0
        lv.expect_unit = False

    def formula(self):
        """Read one formula; stop before the ',' or ')' that ends it."""
        stack: list[_Level] = [_Level(self.peek()[2])]
        while True:
            kind, tok, line = self.peek()
            lv = stack[-1]
            if lv.expect_unit:
                self.pos += 1
                if tok == "~":
                    lv.negs += 1
                elif tok == "(":
                    stack.append(_Level(line))
                elif kind == "word" and tok == "$true":
                    self.counts["$true"] = self.counts.get("$true", 0) + 1
                    self.push_unit(lv, self.nodes.verum, 1)
                elif kind == "word" and tok == "$false":
                    self.counts["$false"] = self.counts.get("$false", 0) + 1
                    self.push_unit(lv, self.nodes.falsum, 1)
                elif kind == "word" and not tok.startswith("$"):
                    self.push_unit(lv, self.nodes.atom(tok), 1)
                else:
                    raise TPTPError(f"line {line}: expected a formula, found {tok!r}")
                continue
            if tok in _BINARY:
                self.pos += 1
                if lv.op is None:
                    lv.op = tok
                elif tok != lv.op or tok not in _ASSOC:
                    raise TPTPError(f"line {line}: {lv.op!r} and {tok!r} at one level "
                                    "need parentheses")
                lv.expect_unit = True
            elif tok == ")" and len(stack) > 1:
                self.pos += 1
                f, d = self.reduce(stack.pop())
                self.push_unit(stack[-1], f, d)
            elif tok in (",", ")"):
                f, d = self.reduce(lv)
                return f, d
            elif len(stack) > 1 and tok == ".":
                raise TPTPError(f"line {line}: '(' opened on line {lv.line} is not closed")
            else:
                raise TPTPError(f"line {line}: expected a connective, found {tok!r}")

    def skip_annotations(self):
        # Balanced skip of ", source, info" up to the closing parenthesis.
        depth = 0
        while True:
            _, tok, _ = self.peek()
            if tok == ")" and depth == 0:
                return
            depth += tok == "("
            depth -= tok == ")"
            self.pos += 1


def parse_problem(text: str, name: str = "", nodes: Nodes | None = None) -> Problem:
    """Parse one problem file into premises (axioms, file order) and target."""
    nodes = nodes or quorvel_nodes()
    prob = Problem(name)
    reader = FormulaReader(list(tokenize(text)), nodes, prob.connectives)
    while reader.pos < len(reader.toks):
        kind, tok, line = reader.peek()
        if tok != "fof":
            raise TPTPError(f"line {line}: expected 'fof', found {tok!r}")
        reader.pos += 1
        reader.expect("(")
        reader.pos += 1                       # formula name (word, quoted or number)
        reader.expect(",")
        _, role, rline = reader.peek()
        reader.pos += 1
        reader.expect(",")
        f, d = reader.formula()
        prob.depth = max(prob.depth, d)
        if reader.peek()[1] == ",":
            reader.pos += 1
            reader.skip_annotations()
        reader.expect(")")
        reader.expect(".")
        if role == "axiom" or role == "hypothesis":
            prob.premises.append(f)
        elif role == "conjecture":
            if prob.target is not None:
                raise TPTPError(f"line {rline}: second conjecture")
            prob.target = f
        else:
            raise TPTPError(f"line {rline}: unsupported role {role!r}")
    if prob.target is None:
        raise TPTPError("no conjecture")
    return prob


def load_status(iltp_dir: Path = ILTP_DIR) -> dict[str, str]:
    with open(iltp_dir / "status.tsv", newline="") as fh:
        rows = csv.reader(fh, delimiter="\t")
        next(rows)
        return {r[0]: r[1] for r in rows if r}


def problem_files(iltp_dir: Path = ILTP_DIR, pattern: str | None = None) -> list[Path]:
    files = sorted((iltp_dir / "problems").glob("*/*.p"), key=lambda p: p.stem)
    if pattern:
        rx = re.compile(pattern)
        files = [p for p in files if rx.search(p.stem)]
    return files


# ----------------------------------------------------------------- adapters

PROVED, REFUTED, BOUND = "proved", "refuted", "bound"
WRONG, TIMEOUT, ERROR = "wrong", "timeout", "error"
VALID, CSA = "Valid", "CounterSatisfiable"


class Stopwatch:
    """Times only the prover call inside an adapter: ``with watch: ...``."""
    seconds = 0.0

    def __enter__(self):
        self._t0 = time.perf_counter()

    def __exit__(self, *exc):
        self.seconds += time.perf_counter() - self._t0


def _world_named(model, name: str):
    for w in model.worlds:
        if w.name == name:
            return w
    return None


def run_tableau(target, premises, opts, watch: Stopwatch):
    from quorvel.constructive.tableau import prove_tableau
    with watch:
        r = prove_tableau(target, premises, max_depth=opts.max_depth,
                          max_worlds=opts.max_worlds)
    if r.is_valid:
        return PROVED, "closed tableau"
    model = r.countermodel
    if model is None:
        return BOUND, "open tableau without countermodel"
    w0 = _world_named(model, "w0")
    if w0 is None:
        return BOUND, "countermodel has no world w0"
    if model.evaluate(target, w0):
        return BOUND, "countermodel forces the target at w0"
    for i, p in enumerate(premises):
        if not model.evaluate(p, w0):
            return BOUND, f"countermodel does not force premise {i + 1} at w0"
    return REFUTED, f"countermodel with {len(model.worlds)} worlds"


def run_ljt(target, premises, opts, watch: Stopwatch):
    from quorvel.constructive.ljt import prove_ljt
    with watch:
        t = prove_ljt(target, premises)
    if t is None:
        return REFUTED, "no derivation"
    if not t.is_valid():
        return ERROR, "proof tree fails is_valid()"
    return PROVED, f"derivation of size {t.size}"


def run_prefixed(target, premises, opts, watch: Stopwatch):
    from quorvel.constructive.resolution import prove_prefixed_resolution
    with watch:
        r = prove_prefixed_resolution(target, premises)
    if r is None:
        # Incomplete at a bounded multiplicity: no proof says nothing either way.
        return BOUND, "no proof up to the multiplicity bound"
    return PROVED, f"refutation of {len(r.steps)} steps at multiplicity {r.multiplicity}"


def _inner_timeout(opts) -> float:
    # The first-order prover stops itself before the child is killed.
    return max(0.1, opts.timeout * 0.9)


def _resolution_claim(r, what: str):
    from quorvel.constructive.resolution import PrefixedResolutionProofResult
    if r is None:
        # Neither method refutes: no proof says nothing either way.
        return BOUND, f"no proof ({what})"
    if isinstance(r, PrefixedResolutionProofResult):
        return PROVED, f"prefixed refutation of {len(r.steps)} steps at multiplicity {r.multiplicity}"
    return PROVED, f"first-order refutation of {len(r.proof_dag.steps)} steps"


def run_translation(target, premises, opts, watch: Stopwatch):
    from quorvel.constructive.resolution import prove_translation_resolution
    with watch:
        r = prove_translation_resolution(target, premises, timeout_sec=_inner_timeout(opts))
    return _resolution_claim(r, "first-order prover gave up")


def run_auto(target, premises, opts, watch: Stopwatch):
    from quorvel.constructive.resolution import prove_resolution
    with watch:
        r = prove_resolution(target, premises, method="auto", timeout_sec=_inner_timeout(opts))
    return _resolution_claim(r, "prefixed bound, then the first-order prover gave up")


@dataclass(frozen=True)
class Adapter:
    module: str               # imported in the parent so every child inherits it
    run: Callable             # (target, premises, opts, watch) -> (label, detail)
    describe: Callable = lambda opts: ""


ADAPTERS: dict[str, Adapter] = {
    "tableau": Adapter("quorvel.constructive.tableau", run_tableau,
                       lambda o: f"max_depth={o.max_depth}, max_worlds={o.max_worlds}"),
    "ljt": Adapter("quorvel.constructive.ljt", run_ljt),
    "prefixed": Adapter("quorvel.constructive.resolution", run_prefixed,
                        lambda o: "max_multiplicity=3, max_steps=1000"),
    "translation": Adapter("quorvel.constructive.resolution", run_translation,
                           lambda o: f"max_steps=1000, timeout_sec={_inner_timeout(o):g}"),
    "auto": Adapter("quorvel.constructive.resolution", run_auto,
                    lambda o: f"max_multiplicity=3, max_steps=1000, timeout_sec={_inner_timeout(o):g}"),
}


def grade(label: str, status: str) -> str:
    """Turn a prover's claim into the table's outcome."""
    if label == PROVED and status == CSA:
        return WRONG
    if label == REFUTED and status == VALID:
        return WRONG
    return label


# ------------------------------------------------------------------- runner

@dataclass
class Result:
    name: str
    status: str
    outcome: str = ERROR
    claim: str = ""
    seconds: float = 0.0      # prover time measured in the child
    wall: float = 0.0         # fork to verdict, as seen by the parent
    detail: str = ""


def _child(path: str, adapter_name: str, opts, conn):
    try:
        if opts.memory_mb:
            import resource
            limit = opts.memory_mb * 1024 * 1024
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        prob = parse_problem(Path(path).read_text(), Path(path).stem)
        watch = Stopwatch()
        label, detail = ADAPTERS[adapter_name].run(prob.target, prob.premises, opts, watch)
        conn.send((label, watch.seconds, detail))
    except BaseException as exc:  # report everything, MemoryError included
        tb = traceback.extract_tb(exc.__traceback__)
        where = f" at {tb[-1].filename.rsplit('/', 1)[-1]}:{tb[-1].lineno}" if tb else ""
        conn.send((ERROR, 0.0, f"{type(exc).__name__}: {exc}"[:300] + where))
    finally:
        conn.close()


def run_all(files: list[Path], status: dict, opts, on_result=None) -> list[Result]:
    ctx = multiprocessing.get_context("fork")
    pending = list(reversed(files))
    running: dict = {}  # reader connection -> (proc, Result, start)
    results: list[Result] = []
    while pending or running:
        while pending and len(running) < opts.jobs:
            path = pending.pop()
            res = Result(path.stem, status.get(path.stem, "?"))
            recv, send = ctx.Pipe(duplex=False)
            proc = ctx.Process(target=_child, args=(str(path), opts.prover, opts, send),
                               daemon=True)
            start = time.perf_counter()
            proc.start()
            send.close()
            running[recv] = (proc, res, start)
        now = time.perf_counter()
        next_deadline = min(start + opts.timeout for _, _, start in running.values())
        ready = wait(list(running), timeout=max(0.0, next_deadline - now))
        now = time.perf_counter()
        finished = []
        for conn in ready:
            proc, res, start = running[conn]
            try:
                label, secs, detail = conn.recv()
                res.claim, res.seconds, res.detail = label, secs, detail
                res.outcome = grade(label, res.status)
            except EOFError:
                proc.join()
                res.outcome, res.detail = ERROR, f"child died (exit code {proc.exitcode})"
            res.wall = now - start
            finished.append(conn)
        for conn, (proc, res, start) in running.items():
            if conn not in finished and now - start >= opts.timeout:
                proc.kill()
                res.outcome, res.seconds, res.wall = TIMEOUT, opts.timeout, now - start
                res.detail = f"killed after {opts.timeout:g} s"
                finished.append(conn)
        for conn in finished:
            proc, res, _ = running.pop(conn)
            proc.join()
            conn.close()
            results.append(res)
            if on_result:
                on_result(res)
    results.sort(key=lambda r: r.name)
    return results


def print_table(results: list[Result], opts, wall: float):
    count = {k: 0 for k in (PROVED, REFUTED, WRONG, BOUND, TIMEOUT, ERROR)}
    solved_time = 0.0
    for r in results:
        count[r.outcome] += 1
        if r.outcome in (PROVED, REFUTED):
            solved_time += r.seconds
    total_time = sum(r.seconds for r in results)
    extra = ADAPTERS[opts.prover].describe(opts)
    print()
    print(f"ILTP v1.1.2 propositional: prover {opts.prover}"
          + (f" ({extra})" if extra else "")
          + f", timeout {opts.timeout:g} s, jobs {opts.jobs}")
    rows = [
        ("solved", count[PROVED] + count[REFUTED]),
        ("  proved", count[PROVED]),
        ("  refuted", count[REFUTED]),
        ("wrong", count[WRONG]),
        ("cut by a bound", count[BOUND]),
        ("time out", count[TIMEOUT]),
        ("error", count[ERROR]),
        ("problems", len(results)),
        ("time on solved (s)", f"{solved_time:.2f}"),
        ("total time (s)", f"{total_time:.2f}"),
        ("wall clock (s)", f"{wall:.2f}"),
    ]
    width = max(len(k) for k, _ in rows)
    print("-" * (width + 12))
    for k, v in rows:
        print(f"{k:<{width}}  {v:>9}")
    print("-" * (width + 12))
    wrong = [r for r in results if r.outcome == WRONG]
    if wrong:
        print(f"!!! {len(wrong)} WRONG ANSWER(S):")
        for r in wrong:
            print(f"!!!   {r.name}: status {r.status}, prover says {r.claim} ({r.detail})")


def self_test(files: list[Path], status: dict) -> int:
    nodes = quorvel_nodes()
    totals: dict = {}
    n_prem = 0
    deepest = (0, "")
    by_status: dict = {}
    failures = 0
    for path in files:
        try:
            prob = parse_problem(path.read_text(), path.stem, nodes)
        except TPTPError as exc:
            print(f"{path.stem}: parse error: {exc}")
            failures += 1
            continue
        n_prem += len(prob.premises)
        deepest = max(deepest, (prob.depth, prob.name))
        for k, v in prob.connectives.items():
            totals[k] = totals.get(k, 0) + v
        st = status.get(path.stem, "missing from status.tsv")
        by_status[st] = by_status.get(st, 0) + 1
    print(f"parsed {len(files) - failures} of {len(files)} problems "
          f"({n_prem} premises, {len(files) - failures} conjectures)")
    for st, n in sorted(by_status.items()):
        print(f"  {st}: {n}")
    print("connectives: " + ", ".join(f"{k} {v}" for k, v in sorted(totals.items())))
    print(f"deepest formula: height {deepest[0]} in {deepest[1]}")
    missing = set(status) - {p.stem for p in files}
    if missing and len(files) == len(status):
        print(f"status.tsv lists {len(missing)} problems without a file")
    return 1 if failures else 0


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--prover", choices=sorted(ADAPTERS))
    ap.add_argument("--timeout", type=float, default=10.0, help="seconds per problem")
    ap.add_argument("--filter", metavar="REGEX", help="only problems whose name matches")
    ap.add_argument("--jobs", type=int, default=1, help="problems run at once (default 1)")
    ap.add_argument("--max-depth", type=int, default=100, help="tableau depth bound")
    ap.add_argument("--max-worlds", type=int, default=50, help="tableau world bound")
    ap.add_argument("--memory-mb", type=int, default=0,
                    help="address-space limit per child in MiB (0: none)")
    ap.add_argument("--verbose", "-v", action="store_true", help="one line per problem")
    ap.add_argument("--self-test", action="store_true", help="only parse every problem")
    ap.add_argument("--iltp-dir", type=Path, default=ILTP_DIR)
    opts = ap.parse_args(argv)

    status = load_status(opts.iltp_dir)
    files = problem_files(opts.iltp_dir, opts.filter)
    if not files:
        print("no problem matches", file=sys.stderr)
        return 2
    if opts.self_test:
        return self_test(files, status)
    if not opts.prover:
        ap.error("--prover is required (or --self-test)")
    opts.jobs = max(1, opts.jobs)

    import importlib
    importlib.import_module(ADAPTERS[opts.prover].module)
    quorvel_nodes()  # import the node modules once, before forking

    def report(r: Result):
        if opts.verbose or r.outcome == WRONG:
            flag = "  <-- WRONG" if r.outcome == WRONG else ""
            print(f"{r.name:<20} {r.status:<19} {r.outcome:<8} {r.seconds:8.3f} s  "
                  f"{r.detail}{flag}", flush=True)

    t0 = time.perf_counter()
    results = run_all(files, status, opts, report)
    print_table(results, opts, time.perf_counter() - t0)
    return 1 if any(r.outcome == WRONG for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
