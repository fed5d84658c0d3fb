"""The shipped stubs agree with the compiled modules, and the examples type-check."""

from __future__ import annotations

import ast
import importlib
import importlib.machinery
import importlib.util
import inspect
import pkgutil
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

ROOT = Path(__file__).resolve().parent.parent
ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"


def extension_modules() -> list[str]:
    names = []
    for info in pkgutil.walk_packages(quorvel.__path__, "quorvel."):
        spec = importlib.util.find_spec(info.name)
        if isinstance(spec.loader, importlib.machinery.ExtensionFileLoader):
            names.append(info.name)
    return sorted(names)


def run(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Outside the checkout, so that only the installed package and its stubs are seen.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)


def test_every_extension_module_ships_a_stub():
    modules = extension_modules()
    assert "quorvel.core.ast" in modules
    missing = [name for name in modules
               if not Path(importlib.util.find_spec(name).origin).parent.joinpath(
                   name.rsplit(".", 1)[1] + ".pyi").is_file()]
    assert missing == []


def test_stubs_agree_with_the_runtime(tmp_path):
    result = run(tmp_path, "mypy.stubtest", *extension_modules(),
                 "--allowlist", str(ALLOWLIST))
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_strictly(tmp_path):
    result = run(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                 str(ROOT / "examples"))
    assert result.returncode == 0, result.stdout + result.stderr


# stubtest cannot read the signatures of nanobind functions, so their stubs
# are held against the signatures nanobind itself reports: the same parameter
# names in the same order, of the same kinds, with the same defaults.

NO_DEFAULT = object()
SOME_DEFAULT = object()  # a stub default written as ... or as a name


def parameters(node: ast.FunctionDef, default_of) -> list[tuple[str, str, object]]:
    """(name, kind, default) of each parameter of a def, in order."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    rows = [(p.arg, "positional only" if p in a.posonlyargs else "positional", d)
            for p, d in zip(positional, defaults)]
    if a.vararg:
        rows.append((a.vararg.arg, "*args", None))
    rows += [(p.arg, "keyword only", d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        rows.append((a.kwarg.arg, "**kwargs", None))
    return [(name, kind, NO_DEFAULT if d is None else default_of(d)) for name, kind, d in rows]


def stub_default(node: ast.expr) -> object:
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return SOME_DEFAULT
    return SOME_DEFAULT if value is ... else value


def nanobind_signatures(function) -> list[list[tuple[str, str, object]]]:
    """The parameters of each overload nanobind reports for a function."""
    result = []
    for text, _doc, defaults in function.__nb_signature__:
        # A default appears as \N in the text and by value beside it.
        node = ast.parse(re.sub(r"\\(\d+)", r"_default_\1", text) + ": ...").body[0]
        result.append(parameters(node, lambda d: defaults[int(d.id.removeprefix("_default_"))]
                                 if isinstance(d, ast.Name) else stub_default(d)))
    return result


def agrees(stub, runtime) -> bool:
    return len(stub) == len(runtime) and all(
        s[:2] == r[:2] and (s[2] is r[2] or s[2] is SOME_DEFAULT and r[2] is not NO_DEFAULT or s[2] == r[2])
        for s, r in zip(stub, runtime))


def stub_functions():
    """(qualified name, runtime object, stub defs) of every stub def whose
    runtime object is a nanobind function."""
    for module_name in extension_modules():
        module = importlib.import_module(module_name)
        stub = Path(module.__file__).with_name(module_name.rsplit(".", 1)[1] + ".pyi")
        tree = ast.parse(stub.read_text())
        scopes = [(module, tree.body, module_name)]
        while scopes:
            owner, body, prefix = scopes.pop()
            defs: dict[str, list[ast.FunctionDef]] = {}
            for node in body:
                if isinstance(node, ast.ClassDef) and hasattr(owner, node.name):
                    scopes.append((getattr(owner, node.name), node.body, f"{prefix}.{node.name}"))
                elif isinstance(node, ast.FunctionDef):
                    defs.setdefault(node.name, []).append(node)
            for name, nodes in defs.items():
                runtime = inspect.getattr_static(owner, name, None)
                if hasattr(runtime, "__nb_signature__"):
                    yield f"{prefix}.{name}", runtime, nodes


def test_nanobind_functions_match_their_stubs():
    checked, wrong = 0, []
    for name, runtime, nodes in stub_functions():
        checked += 1
        expected = nanobind_signatures(runtime)
        overloads = [n for n in nodes if any(ast.unparse(d).endswith("overload") for d in n.decorator_list)]
        if overloads:
            # Each overload narrows the one runtime signature: the same names in the same order.
            names = [[p[0] for p in row] for row in expected]
            wrong += [(name, ast.unparse(n.args)) for n in overloads
                      if [p[0] for p in parameters(n, stub_default)] not in names]
        elif not any(agrees(parameters(n, stub_default), row) for n in nodes for row in expected):
            wrong.append((name, [ast.unparse(n.args) for n in nodes], [s[0] for s in runtime.__nb_signature__]))
    assert checked > 20
    assert wrong == []
