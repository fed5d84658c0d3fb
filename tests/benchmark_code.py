"""The benchmarks' plain-Python peers and ILTP reader, loaded by file path so
that the tests use exactly the code the benchmarks time."""

import importlib.util
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def load(name, relative_path):
    """The module at benchmarks/<relative_path>, loaded once as `name`."""
    if name in sys.modules:
        return sys.modules[name]
    module_spec = importlib.util.spec_from_file_location(name, ROOT / "benchmarks" / relative_path)
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up
    module_spec.loader.exec_module(module)
    return module


def iltp_dir():
    """The ILTP problem folder: the reader's own ($QUORVEL_ILTP_DIR or its
    default), else shared/iltp beside the checkout; None when neither is
    there."""
    reader = load("iltp_reader", "iltp.py")
    for candidate in (Path(reader.ILTP_DIR), ROOT.parent / "shared" / "iltp"):
        if (candidate / "status.tsv").is_file():
            return candidate
    return None
