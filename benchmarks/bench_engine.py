"""The first-order prover against the eprover command on the relational
translations of the ILTP propositional problems.

    python benchmarks/bench_engine.py [--timeout 10] [--filter REGEX] [--peer-results FILE]

Each problem is normalised and translated as the translation method does it
(goal and premises at the world constant w0, with the frame axioms), handed
to TheoremProver and, written as TPTP, to eprover, each with the same
time-out. The table gives both solved counts and the time on the problems
both solve. A proof that eprover contradicts (CounterSatisfiable) counts as
wrong. Without the eprover command only TheoremProver runs.

A line per problem goes to stderr as it finishes. With --peer-results, the
peer's status and time per problem are read from FILE (JSON) where it holds
them and written there otherwise, so a change to TheoremProver can be
measured again without running the peer again.
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import iltp  # noqa: E402

from quorvel.constructive.common import normalize_formula  # noqa: E402
from quorvel.constructive.resolution import (  # noqa: E402
    _extract_predicate_names, get_frame_axioms, translate_ipc_to_fol)
from quorvel.core.ast import (  # noqa: E402
    And, Constant, Forall, Exists, Implies, Not, Or, PredicateApp, Variable)
from quorvel.core.sorts import Ind  # noqa: E402
from quorvel.prover.engine import ProofNotFoundError, TheoremProver  # noqa: E402


# Past this many nodes, counted as a tree, a problem is left out for both
# provers: its translation gives every occurrence of a shared subformula a
# copy of its own, and neither the translated formulas nor their TPTP text
# would fit in memory.
MAX_TREE_NODES = 1_000_000


def tree_size(formula, limit: int) -> int:
    """The number of nodes of the formula written out as a tree (each shared
    subformula counted once per occurrence), or limit + 1 once past it."""
    size: dict[int, int] = {}
    todo = [(formula, False)]
    while todo:
        f, expanded = todo.pop()
        if id(f) in size:
            continue
        kids = ([f.operand] if isinstance(f, Not) else [f.left, f.right] if type(f) in (And, Or, Implies)
                else [f.body] if isinstance(f, (Forall, Exists)) else [])
        if not expanded:
            todo.append((f, True))
            todo += [(k, False) for k in kids if id(k) not in size]
            continue
        size[id(f)] = min(limit + 1, 1 + sum(size[id(k)] for k in kids))
    return size[id(formula)]


def translated(problem):
    """Target and premises as the translation method hands them to the
    prover, or None for a problem past MAX_TREE_NODES."""
    target = normalize_formula(problem.target)
    premises = [normalize_formula(p) for p in problem.premises]
    if sum(tree_size(f, MAX_TREE_NODES) for f in [target, *premises]) > MAX_TREE_NODES:
        return None
    names = set(_extract_predicate_names(target))
    for p in premises:
        names |= _extract_predicate_names(p)
    w0 = Constant("w0", sort=Ind)
    axioms = get_frame_axioms(sorted(names))
    return (translate_ipc_to_fol(target, world_term=w0),
            axioms + [translate_ipc_to_fol(p, world_term=w0) for p in premises])


def tptp(formula) -> str:
    """TPTP text of a translated formula, built with an explicit stack (the
    pigeonhole problems nest thousands deep). Names keep their case, so a
    user atom r does not meet the accessibility predicate R."""
    binary = {And: "&", Or: "|", Implies: "=>"}
    out: list[str] = []
    todo = [formula]
    while todo:
        f = todo.pop()
        if isinstance(f, str):
            out.append(f)
        elif isinstance(f, PredicateApp):
            name = {"_bot": "$false", "_top": "$true"}.get(f.pred, "p_" + f.pred)
            out.append(name if not f.args else name + "(" + ",".join(term(a) for a in f.args) + ")")
        elif isinstance(f, Not):
            todo += [")", f.operand, "~("]
        elif type(f) in binary:
            todo += [")", f.right, f" {binary[type(f)]} ", f.left, "("]
        elif isinstance(f, (Forall, Exists)):
            q = "!" if isinstance(f, Forall) else "?"
            todo += [")", f.body, f"{q}[{term(f.variable)}]: ("]
        else:
            raise TypeError(f"no TPTP text for {type(f).__name__}")
    return "".join(out)


def term(t) -> str:
    if isinstance(t, Variable):
        return f"V{t.id}"
    return "c_" + t.name


def run_ours(target, premises, timeout):
    t0 = time.perf_counter()
    try:
        TheoremProver().prove(target=target, premises=premises, timeout_sec=timeout, max_steps=10**9)
        ok = True
    except (ProofNotFoundError, MemoryError):  # MemoryError: a clause set past the clausifier's budget
        ok = False
    return ok, time.perf_counter() - t0


def run_eprover(target, premises, timeout):
    lines = [f"fof(a{i}, axiom, {tptp(p)})." for i, p in enumerate(premises)]
    lines.append(f"fof(goal, conjecture, {tptp(target)}).")
    with tempfile.NamedTemporaryFile("w", suffix=".p", delete=False) as fh:
        fh.write("\n".join(lines) + "\n")
        path = fh.name
    t0 = time.perf_counter()
    try:
        done = subprocess.run(["eprover", "--auto", "--silent", f"--cpu-limit={int(max(1, timeout))}", path],
                              capture_output=True, text=True, timeout=timeout + 5)
        text = done.stdout
    except subprocess.TimeoutExpired:
        text = ""
    finally:
        Path(path).unlink()
    seconds = time.perf_counter() - t0
    m = re.search(r"SZS status (\w+)", text)
    return (m.group(1) if m else "Unknown"), seconds


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--timeout", type=float, default=10.0)
    ap.add_argument("--filter", metavar="REGEX")
    ap.add_argument("--iltp-dir", type=Path, default=iltp.ILTP_DIR)
    ap.add_argument("--peer-results", type=Path, metavar="FILE")
    opts = ap.parse_args(argv)
    cache: dict[str, list] = {}
    if opts.peer_results and opts.peer_results.exists():
        cache = json.loads(opts.peer_results.read_text())
        if cache.get("timeout") != opts.timeout:
            sys.exit(f"{opts.peer_results} holds results at another time-out")
        cache = cache["problems"]
    has_e = bool(cache) or shutil.which("eprover") is not None
    files = iltp.problem_files(opts.iltp_dir, opts.filter)
    ours_solved = e_solved = both = wrong = left_out = 0
    ours_time = e_time = 0.0
    for path in files:
        problem = iltp.parse_problem(path.read_text(), path.stem)
        question = translated(problem)
        if question is None:
            left_out += 1
            print(f"{path.stem:<16} left out: more than {MAX_TREE_NODES:,} nodes as a tree", file=sys.stderr, flush=True)
            continue
        target, premises = question
        ok, t_ours = run_ours(target, premises, opts.timeout)
        ours_solved += ok
        if not has_e:
            print(f"{path.stem:<16} ours {'proof' if ok else '-':<6}{t_ours:8.2f} s", file=sys.stderr, flush=True)
            continue
        if path.stem not in cache:
            cache[path.stem] = list(run_eprover(target, premises, opts.timeout))
            if opts.peer_results:
                opts.peer_results.write_text(json.dumps({"timeout": opts.timeout, "problems": cache}, indent=0))
        status, t_e = cache[path.stem]
        print(f"{path.stem:<16} ours {'proof' if ok else '-':<6}{t_ours:8.2f} s   eprover {status:<18}{t_e:8.2f} s",
              file=sys.stderr, flush=True)
        e_ok = status == "Theorem"
        e_solved += e_ok
        if ok and status == "CounterSatisfiable":
            wrong += 1
            print(f"{path.stem}: TheoremProver proves what eprover refutes", file=sys.stderr)
        if ok and e_ok:
            both += 1
            ours_time += t_ours
            e_time += t_e
    print(f"translated ILTP problems: {len(files)}, time-out {opts.timeout:g} s each; "
          f"left out (too large to translate): {left_out}")
    print(f"{'prover':<16}{'solved':>8}{'time on both (s)':>20}")
    print(f"{'TheoremProver':<16}{ours_solved:>8}{ours_time:>20.2f}")
    if has_e:
        print(f"{'eprover':<16}{e_solved:>8}{e_time:>20.2f}")
        print(f"solved by both: {both}; contradicted proofs: {wrong}")
        if ours_time > 0:
            print(f"ratio eprover / TheoremProver on both: {e_time / ours_time:.2f}")
    else:
        print("eprover: not installed, skipped")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
