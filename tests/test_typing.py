"""The type stub: installed where type checkers look, strict-clean on the examples, true to the module."""

from __future__ import annotations

import ast
import inspect
import re
import runpy
import subprocess
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import quelbrin
import quelbrin_auto

ROOT = Path(__file__).resolve().parents[1]
SOURCE_STUB = ROOT / "quelbrin.pyi"
INSTALLED = Path(quelbrin.__file__).parent
USAGE = ROOT / "tests" / "typing" / "usage.py"


MODULES = {"quelbrin": quelbrin, "quelbrin_auto": quelbrin_auto}


def _stub_tree(module: str = "quelbrin") -> ast.Module:
    package = INSTALLED / module / "__init__.pyi"  # quelbrin_auto is a package
    return ast.parse((package if package.is_file() else INSTALLED / f"{module}.pyi").read_text())


def _stub_functions(module: str = "quelbrin") -> dict[str, list[ast.FunctionDef]]:
    found: dict[str, list[ast.FunctionDef]] = {}
    for node in _stub_tree(module).body:
        if isinstance(node, ast.FunctionDef):
            found.setdefault(node.name, []).append(node)
    return found


def _stub_literals(alias: str) -> list[str]:
    for node in _stub_tree().body:
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", None) == alias:
            sub = node.value
            assert isinstance(sub, ast.Subscript)
            elts = sub.slice.elts if isinstance(sub.slice, ast.Tuple) else [sub.slice]
            return [ast.literal_eval(e) for e in elts]
    raise AssertionError(f"{alias} not in the stub")


@pytest.mark.parametrize("where", ["quelbrin.pyi", "quelbrin-stubs/__init__.pyi"])
def test_stub_is_installed_beside_the_module(where: str) -> None:
    # The first is what pyright and IDEs read, the second what mypy reads (it does not look
    # at a lone .pyi in site-packages).
    installed = INSTALLED / where
    assert installed.is_file()
    if SOURCE_STUB.is_file():
        assert installed.read_text() == SOURCE_STUB.read_text()


def test_mypy_strict_accepts_the_examples_and_the_typed_usage(tmp_path: Path) -> None:
    files = sorted(str(p) for p in (ROOT / "examples").glob("*.py")) + [str(USAGE)]
    # Run outside the source tree, so that the stub found is the installed one.
    # dask and distributed leave many functions unannotated; calling them is not our fault.
    cmd = [
        sys.executable, "-m", "mypy", "--strict",
        "--untyped-calls-exclude=dask", "--untyped-calls-exclude=distributed",
        "--cache-dir", str(Path(sys.prefix) / ".mypy_cache"),
        *files,
    ]
    done = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found" in done.stdout


def test_mypy_sees_the_stub_not_any(tmp_path: Path) -> None:
    # Without the stub quelbrin is Any and every call would pass: check one wrong call fails.
    probe = tmp_path / "probe.py"
    probe.write_text(
        "import numpy as np\nimport quelbrin\n"
        "z = quelbrin.whittaker_solve_f32(np.zeros(3), np.zeros((1, 3)))\n"
        "reveal_type(quelbrin.robust_whittaker_irls_f64(np.zeros(3), np.zeros((1, 3)), return_weights=True))\n"
    )
    cmd = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(Path(sys.prefix) / ".mypy_cache"), str(probe)]
    done = subprocess.run(cmd, cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert done.returncode == 1, done.stdout
    assert 'Argument 1 to "whittaker_solve_f32" has incompatible type' in done.stdout
    assert "Revealed type is \"tuple[numpy.ndarray[" in done.stdout


def test_typed_usage_runs() -> None:
    # What the stub allows must also be what the module accepts.
    runpy.run_path(str(USAGE), run_name="__main__")


def test_stub_all_matches_the_module() -> None:
    stub_all = next(
        ast.literal_eval(n.value)
        for n in _stub_tree().body
        if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", None) == "__all__"
    )
    assert stub_all == quelbrin.__all__
    assert sorted(_stub_functions()) == sorted(quelbrin.__all__)


def _runtime_params(module: str, name: str) -> list[tuple[str, Any]]:
    sig = inspect.signature(getattr(MODULES[module], name))
    return [(p.name, p.default) for p in sig.parameters.values()]


def _module_functions() -> list[tuple[str, str]]:
    return [(m, n) for m, mod in MODULES.items() for n in mod.__all__ if inspect.isroutine(getattr(mod, n))]


@pytest.mark.parametrize(("module", "name"), _module_functions())
def test_stub_signatures_match_the_module(module: str, name: str) -> None:
    # Every function of both modules: names, order and defaults as inspect.signature sees
    # them (the text signatures of the compiled functions) against the stubs.
    runtime = _runtime_params(module, name)
    stubs = _stub_functions(module)
    for overload in stubs[name]:
        a = overload.args
        names = [p.arg for p in a.args + a.kwonlyargs]
        assert names == [n for n, _ in runtime], f"{name}: parameter names or order differ"
    # The first (or only) signature carries every default the module documents.
    first = stubs[name][0].args
    defaults = [None] * (len(first.args) - len(first.defaults)) + list(first.defaults)
    for (pname, rt_default), node in zip(runtime, defaults):
        if rt_default is inspect.Parameter.empty:
            assert node is None, f"{name}({pname}) is required at run time"
        else:
            assert node is not None and ast.literal_eval(node) == rt_default, f"{name}({pname})"


def test_documented_literal_names_are_accepted() -> None:
    x = np.linspace(0.0, 10.0, 11)
    y = np.cos(x)[None, :]
    for w in _stub_literals("_Weighting"):
        quelbrin.robust_whittaker_irls_f64(x, y, weighting=w, iterations=2)
    for s in _stub_literals("_Scale"):
        quelbrin.robust_whittaker_irls_f64(x, y, scale=s, iterations=2)
    for n in _stub_literals("_Normalize"):
        quelbrin.whittaker_solve_f64(x, y, normalize=n)
        quelbrin.build_pb_f64(x, normalize=n)


@pytest.mark.parametrize(
    ("param", "alias"), [("weighting", "_Weighting"), ("scale", "_Scale"), ("normalize", "_Normalize")]
)
def test_literals_cover_the_documented_choices(param: str, alias: str) -> None:
    doc = quelbrin.robust_whittaker_irls_f64.__doc__ or ""
    line = next(ln for ln in doc.splitlines() if ln.strip().startswith(f"{param} : {{"))
    documented = set(re.findall(r'"([a-z]+)"', line.split("}")[0]))
    assert documented and documented <= set(_stub_literals(alias))


@pytest.mark.parametrize(("module", "name"), _module_functions())
def test_omitted_arguments_take_the_signature_defaults(module: str, name: str) -> None:
    # The defaults a call uses live in the cores' options structs; the text signature shows
    # them again.  Spelling every documented default out must give the same bits as omitting
    # it.  The grid is irregular with a near-duplicate pair, so that normalize, eps and
    # merge_x_tol all matter.
    f = getattr(MODULES[module], name)
    dtype = np.float32 if name.endswith("f32") else np.float64
    x = np.cumsum(np.r_[0.0, 0.004, np.linspace(0.5, 2.0, 28)]).astype(dtype)
    y = np.sin(x)[None, :].repeat(2, 0).astype(dtype)
    y[0, 3] = np.nan
    y[1, 7] += 5.0
    required = [x] if name.startswith("build_pb") else [x, y]
    explicit = {
        p.name: p.default
        for p in inspect.signature(f).parameters.values()
        if p.default is not inspect.Parameter.empty
    }
    # With more than one step the weighting, scale and tuning constants matter too.
    steps = {"iterations": 3} if "irls" in name else {}
    omitted, spelled = f(*required, **steps), f(*required, **{**explicit, **steps})
    leaves = (lambda r: list(r) if isinstance(r, tuple) else [r])
    for a, b in zip(leaves(omitted), leaves(spelled), strict=True):
        if isinstance(a, np.ndarray):
            assert a.dtype == b.dtype and a.shape == b.shape
            assert a.tobytes() == b.tobytes(), f"{name}: a default differs from its signature"
        else:
            assert a == b
