"""The wheel: built from a clean copy of the tree, installed into a fresh venv, usable there."""

from __future__ import annotations

import shutil
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
BUILD_OUTPUT = ("build", "dist", ".venv", ".mypy_cache", ".pytest_cache", "__pycache__")


def _clean_copy(dest: Path) -> None:
    """What a fresh clone holds: the tracked files plus new ones not ignored, nothing built."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, capture_output=True, check=False,
    )
    if listed.returncode == 0:
        for rel in filter(None, listed.stdout.decode().split("\0")):
            src = ROOT / rel
            if src.is_file():  # a tracked file may be deleted in the work tree
                (dest / rel).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(src, dest / rel)
        return
    shutil.copytree(
        ROOT, dest, dirs_exist_ok=True,
        ignore=lambda _d, names: [n for n in names if n.startswith(BUILD_OUTPUT)],
    )


@pytest.fixture(scope="module")
def wheel(tmp_path_factory: pytest.TempPathFactory) -> Path:
    tmp = tmp_path_factory.mktemp("wheel")
    src, dist = tmp / "src", tmp / "dist"
    src.mkdir()
    _clean_copy(src)
    # The test venv already has the build requirements: skip the isolated build env.
    cmd = [sys.executable, "-m", "pip", "wheel", str(src), "-w", str(dist),
           "--no-build-isolation", "--no-deps", "-q"]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, done.stdout + done.stderr
    wheels = list(dist.glob("quelbrin-*.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def test_wheel_holds_the_module_the_stubs_and_metadata(wheel: Path) -> None:
    names = zipfile.ZipFile(wheel).namelist()
    modules = [n for n in names if n.startswith("quelbrin.") and n.endswith(".so")]
    assert len(modules) == 1 and "/" not in modules[0]
    assert "quelbrin.pyi" in names and "quelbrin-stubs/__init__.pyi" in names
    meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
    text = zipfile.ZipFile(wheel).read(meta).decode()
    assert "Requires-Dist: numpy>=2.0" in text and "Requires-Python: >=3.13" in text
    # quelbrin_auto is a typed package; xarray and Dask are an extra, never required.
    for name in ("__init__.py", "__init__.pyi", "py.typed", "xarray.py"):
        assert f"quelbrin_auto/{name}" in names, name
    requires = [ln for ln in text.splitlines() if ln.startswith("Requires-Dist:")]
    assert "Provides-Extra: xarray" in text
    assert all("extra ==" in ln for ln in requires if "xarray" in ln or "dask" in ln)
    # The README is the package's long description: the manual travels with the wheel.
    assert "## Set-up" in text


def test_wheel_installs_and_works_in_a_fresh_venv(wheel: Path, tmp_path: Path) -> None:
    env_dir = tmp_path / "venv"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    done = subprocess.run(
        [str(py), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)],
        capture_output=True, text=True, timeout=900,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    probe = (
        "import pathlib, numpy as np, quelbrin\n"
        "here = pathlib.Path(quelbrin.__file__).parent\n"
        "assert (here / 'quelbrin.pyi').is_file() and (here / 'quelbrin-stubs' / '__init__.pyi').is_file()\n"
        "x = np.arange(6.0); y = np.array([[0.0, 1, 0, 1, 0, 1]])\n"
        "z = quelbrin.whittaker_solve_f64(x, y, lam=0.0, ridge=0.0)\n"
        "assert np.array_equal(z, y), z\n"
        "import quelbrin_auto.xarray as qx\n"  # importable without xarray and Dask
        "assert qx.work_dtype(np.int16) == np.float64\n"
        "print(quelbrin.__file__)\n"
    )
    # Run from an empty directory so that nothing of the source tree can be imported.
    ran = subprocess.run([str(py), "-c", probe], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stdout + ran.stderr
    assert str(env_dir) in ran.stdout
