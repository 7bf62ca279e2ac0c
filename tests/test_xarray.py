"""quelbrin_auto.xarray: a labelled cube in, a Dataset out, each series the direct call's bits."""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any, NamedTuple

import numpy as np
import pytest

import quelbrin_auto

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.array")
from quelbrin_auto import xarray as qx  # noqa: E402

from conftest import same_bits  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
NT, NY, NX = 36, 4, 5
T0 = np.datetime64("2023-03-01T00:00", "s")


def raw_cube(dtype: Any = np.float32, seed: int = 0, nt: int = NT) -> Any:
    """A (time, y, x) cube on irregular acquisition times (revisits of 1 to 5 days at varying
    hours), a seasonal signal with noise and scattered gaps (NaN)."""
    rng = np.random.default_rng(seed)
    times = T0 + np.cumsum(rng.integers(86400, 5 * 86400, nt)).astype("timedelta64[s]")
    days = (times - times[0]) / np.timedelta64(1, "D")
    signal = 0.4 + 0.3 * np.sin(2 * np.pi * days / 60.0)[:, None, None]
    values = signal + rng.normal(0, 0.05, (nt, NY, NX))
    values[rng.random(values.shape) < 0.15] = np.nan
    return xr.DataArray(
        values.astype(dtype), dims=("time", "y", "x"),
        coords={"time": times, "y": np.arange(NY) * 10.0, "x": np.arange(NX) * -10.0,
                "doy": ("time", times.astype("datetime64[D]").astype(int) % 365)},
        attrs={"units": "1", "long_name": "index"}, name="ndvi")


def direct(cube: Any, **options: Any) -> quelbrin_auto.SmoothResult:
    """One quelbrin_auto call on every series of a (time, ...) cube, rows in C order."""
    values = cube.values
    flat = np.ascontiguousarray(values.reshape(values.shape[0], -1).T)
    days = (cube.time.values - cube.time.values[0]) / np.timedelta64(1, "D")
    if values.dtype == np.float32:
        return quelbrin_auto.smooth_f32(days.astype(np.float32), flat, **options)
    return quelbrin_auto.smooth_f64(days.astype(np.float64), flat.astype(np.float64), **options)


def as_rows(field: Any) -> np.ndarray:
    """A (time, y, x) or (y, x) result variable as quelbrin_auto's (S, T) or (S,) layout."""
    v = field.values
    return np.ascontiguousarray(v.reshape(v.shape[0], -1).T) if v.ndim == 3 else v.reshape(-1)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("lam", ["reml", "gcv", 30.0])
def test_every_field_is_the_direct_calls_bits(dtype: Any, lam: Any) -> None:
    cube = raw_cube(dtype)
    ds = qx.smooth(cube, "time", lam=lam, return_uncertainty=True)
    ref = direct(cube, lam=lam, return_uncertainty=True)
    assert ds.z.dtype == dtype and ds.z.dims == cube.dims
    for name in ("z", "lam", "edf", "score", "sigma", "at_bound", "leverage", "se"):
        assert same_bits(as_rows(ds[name]), getattr(ref, name)), name
    # Coordinates and attributes: the data's on z, per-series fields over (y, x).
    assert ds.lam.dims == ("y", "x") and ds.se.dims == cube.dims
    for c in ("time", "y", "x", "doy"):
        assert np.array_equal(ds.z[c].values, cube[c].values)
    assert ds.z.attrs == cube.attrs and ds.attrs["units"] == "1"
    assert "days since 2023-03" in ds.attrs["smoothed_with"]


def test_the_smoothed_dimension_may_be_anywhere_and_any_name() -> None:
    cube = raw_cube(np.float64)
    ref = qx.smooth(cube, lam="reml")
    moved = cube.rename(time="t").transpose("y", "t", "x")
    ds = qx.smooth(moved, "t", lam="reml")
    assert ds.z.dims == ("y", "t", "x") and ds.lam.dims == ("y", "x")
    assert same_bits(ds.z.transpose("t", "y", "x").values, ref.z.values)
    assert same_bits(ds.lam.values, ref.lam.values)


def test_datetimes_become_days_since_the_first_time() -> None:
    t = np.array(["2024-03-01T00:00", "2024-03-01T12:00", "2024-03-04T06:00"], "datetime64[m]")
    assert qx.time_positions(t).tolist() == [0.0, 0.5, 3.25]
    assert qx.time_positions(t, origin=np.datetime64("2024-02-29")).tolist() == [1.0, 1.5, 4.25]
    assert qx.time_positions(t - t[0]).tolist() == [0.0, 0.5, 3.25]  # timedelta64: days
    assert qx.time_positions(np.array([3, 5])).dtype == np.float64  # numbers as they are
    # The usual idiom's bits, so that hand-made positions agree; nanoseconds over a century
    # stay within a microsecond.
    t = raw_cube().time.values
    assert same_bits(qx.time_positions(t), (t - t[0]) / np.timedelta64(1, "D"))
    far = np.array(["1950-01-01", "2050-01-01T06:00:00.000001"], "datetime64[ns]")
    assert abs(qx.time_positions(far)[1] - (36525.25 + 1e-6 / 86400)) < 1e-6 / 86400
    with pytest.raises(ValueError, match="NaT"):
        qx.time_positions(np.array(["2024-01-01", "NaT"], "datetime64[D]"))
    # Any unit of fixed length; months and years have none.
    assert qx.time_positions(np.array([0, 3, 36], "datetime64[h]")).tolist() == [0.0, 0.125, 1.5]
    assert qx.time_positions(np.array([1, 3], "datetime64[W]")).tolist() == [0.0, 14.0]
    with pytest.raises(ValueError, match="no fixed length"):
        qx.time_positions(np.array([1, 3], "datetime64[M]"))


@pytest.mark.parametrize(("dtype", "work"), [
    (np.float16, np.float32), (np.float32, np.float32), (np.float64, np.float64),
    (np.longdouble, np.float64), (np.int16, np.float64), (np.uint8, np.float64),
    (np.bool_, np.float64)])
def test_precision_follows_the_data(dtype: Any, work: Any) -> None:
    assert qx.work_dtype(dtype) == work
    cube = (raw_cube(np.float64) * 100).fillna(7).astype(dtype)
    ds = qx.smooth(cube, lam=10.0)
    ref = direct(cube.astype(work), lam=10.0)
    assert ds.z.dtype == work and same_bits(as_rows(ds.z), ref.z)


def test_other_dtypes_are_refused() -> None:
    for bad in (np.complex128, np.dtype("datetime64[s]"), object):
        with pytest.raises(TypeError, match="real numbers"):
            qx.work_dtype(bad)


def test_nodata_is_missing_and_empty_pixels_come_back_nan() -> None:
    cube = raw_cube(np.float64)
    raw = (cube * 10000).fillna(-3000).astype(np.int16)  # a raw product: scaled ints, a nodata
    raw[:, 0, 0] = -3000  # never observed
    raw[:, 1, 2] = -3000
    raw[5, 1, 2] = 4000  # a single observation: a fit exists (lam at its upper bound)
    ds = qx.smooth(raw, lam="reml", nodata=-3000, return_uncertainty=True)
    expect = direct(raw.astype(np.float64).where(raw != -3000), lam="reml", return_uncertainty=True)
    empty = np.zeros((NY, NX), bool)
    empty[0, 0] = True
    for name in ("z", "lam", "edf", "score", "sigma", "leverage", "se"):
        got = as_rows(ds[name])
        assert np.isnan(got[0]).all(), name  # not 0: a valid value of most indices
        assert same_bits(got[1:], getattr(expect, name)[1:]), name
    assert not ds.at_bound.values[0, 0] and ds.at_bound.values[1, 2]
    # Without nodata=, -3000 is data (the fit is dragged to it).
    assert qx.smooth(raw, lam="reml").z.values[:, 0, 0].min() < -2000
    # The lam map, NaN where empty, given back: the same fits, no search.
    again = qx.smooth(raw, lam=ds.lam, nodata=-3000)
    assert same_bits(again.z.values, ds.z.values) and np.isnan(again.lam.values[0, 0])
    with pytest.raises(ValueError, match="lam must hold positive finite"):  # NaN where there is data
        qx.smooth(raw, lam=ds.lam * np.nan, nodata=-3000)


def test_float_nodata_and_weights() -> None:
    cube = raw_cube(np.float32).fillna(-9999.0)
    w = xr.DataArray(np.linspace(0.5, 2.0, NT), dims="time")  # one weight per time, broadcast
    ds = qx.smooth(cube, lam=20.0, nodata=-9999.0, weights=w)
    flat_w = np.ascontiguousarray(np.broadcast_to(w.values.astype(np.float32), (NY * NX, NT)))
    ref = direct(cube.where(cube != -9999.0), lam=20.0, w_base_st=flat_w)
    assert same_bits(as_rows(ds.z), ref.z)
    # One weight per pixel (no time dimension): the same at every time of that series.
    per_pixel = xr.DataArray(np.arange(1.0, 1.0 + NY * NX).reshape(NY, NX), dims=("y", "x"))
    ds = qx.smooth(cube.chunk({"x": 2}), lam=20.0, nodata=-9999.0, weights=per_pixel)
    flat_w = np.repeat(per_pixel.values.reshape(-1, 1), NT, axis=1).astype(np.float32)
    ref = direct(cube.where(cube != -9999.0), lam=20.0, w_base_st=flat_w)
    assert same_bits(as_rows(ds.z.compute()), ref.z)
    with pytest.raises(ValueError, match="does not have"):
        qx.smooth(cube, weights=xr.DataArray(np.ones(3), dims="band"))
    with pytest.raises(TypeError, match="DataArray over data's other dimensions"):
        qx.smooth(cube, lam=np.ones(NY * NX))


def test_irregular_time_axes_get_clear_errors() -> None:
    cube = raw_cube(np.float64)
    t = cube.time.values.copy()
    t[7] = t[6]
    with pytest.raises(ValueError, match=r"duplicate values .* indices 6 and 7.*groupby\(.time.\)"):
        qx.smooth(cube.assign_coords(time=t))
    with pytest.raises(ValueError, match="sortby"):
        qx.smooth(cube.isel(time=slice(None, None, -1)))
    # Two acquisitions 0.3 s apart, 100 days in: one position in float32, two in float64.
    t = cube.time.values.astype("datetime64[ms]")
    t[30] = t[29] + np.timedelta64(300, "ms")
    close = cube.assign_coords(time=t).isel(time=slice(None, 31))
    with pytest.raises(ValueError, match="same position in float32"):
        qx.smooth(close.astype(np.float32))
    qx.smooth(close)  # float64 keeps them apart
    with pytest.raises(ValueError, match="not a dimension"):
        qx.smooth(cube, "band")
    with pytest.raises(TypeError, match="DataArray"):
        qx.smooth(cube.values)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match=r"smoothers \[.*'smooth'"):
        qx.smooth(cube, method="smooth_f64")
    with pytest.raises(ValueError, match="lam_bounds"):  # the smoother's own checks, at once
        qx.smooth(cube, lam_bounds=(5.0, 1.0))


class _Weighted(NamedTuple):
    z: np.ndarray
    lam: np.ndarray
    weights: np.ndarray
    steps: np.ndarray
    note: str = "not an array: left out"


def test_method_selects_any_smoother_of_quelbrin_auto_and_forwards_its_options(
        monkeypatch: pytest.MonkeyPatch) -> None:
    # A smoother as new ones will come: more fields, options of its own.
    def flavour(base: Any) -> Any:
        def fit(x: np.ndarray, y_st: np.ndarray, w_base_st: Any = None, lam: Any = "gcv",
                d: int = 2, eps: float = 1e-10, steps: int = 1) -> _Weighted:
            r = base(x, y_st, w_base_st, lam=lam, d=d, eps=eps)
            w = np.where(np.isfinite(y_st), 0.5, 0.0)
            return _Weighted(r.z, r.lam, w, np.full(y_st.shape[0], float(steps)))
        return fit
    monkeypatch.setattr(quelbrin_auto, "__all__", [*quelbrin_auto.__all__, "fake_f32", "fake_f64"])
    monkeypatch.setattr(quelbrin_auto, "fake_f32", flavour(quelbrin_auto.smooth_f32), raising=False)
    monkeypatch.setattr(quelbrin_auto, "fake_f64", flavour(quelbrin_auto.smooth_f64), raising=False)
    cube = raw_cube(np.float32)
    ds = qx.smooth(cube.chunk({"y": 2}), method="fake", lam="reml", steps=3).compute()
    assert sorted(ds.data_vars) == ["lam", "steps", "weights", "z"]
    assert ds.weights.dims == cube.dims and ds.steps.dims == ("y", "x")
    assert (ds.steps == 3.0).all() and same_bits(ds.z.values, qx.smooth(cube, lam="reml").z.values)
    assert np.array_equal(ds.weights.values, np.where(cube.notnull(), 0.5, 0.0))
    at = cube.time.values[:5] + np.timedelta64(1, "h")
    moved = qx.smooth(cube, method="fake", lam="reml", at=at)
    assert moved.z.dims == cube.dims and moved.weights.dims == ("time_observed", "y", "x")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_the_envelope_and_robust_smoothing_run_through_the_layer(dtype: Any) -> None:
    cube = raw_cube(dtype)
    flat = np.ascontiguousarray(cube.values.reshape(cube.shape[0], -1).T)
    days = ((cube.time.values - cube.time.values[0]) / np.timedelta64(1, "D")).astype(dtype)
    f = "_f32" if dtype == np.float32 else "_f64"
    env = qx.smooth(cube.chunk({"y": 2}), method="envelope", p=0.9, lam="vcurve").compute()
    ref = getattr(quelbrin_auto, "envelope" + f)(days, flat, p=0.9, lam="vcurve")
    assert same_bits(as_rows(env.z), ref.z) and same_bits(as_rows(env.lam), ref.lam)
    assert same_bits(as_rows(env.weights), ref.weights)
    rob = qx.smooth(cube, robust="tukey", iterations=3, lam="gcv")
    ref = getattr(quelbrin_auto, "smooth" + f)(days, flat, robust="tukey", iterations=3, lam="gcv")
    assert same_bits(as_rows(rob.z), ref.z) and same_bits(as_rows(rob.weights), ref.weights)


def test_dask_chunked_over_space_is_lazy_and_bit_equal() -> None:
    cube = raw_cube(np.float32)
    ref = qx.smooth(cube, lam="vcurve", return_uncertainty=True)
    lazy = qx.smooth(cube.chunk({"y": 3, "x": 2}), lam="vcurve", return_uncertainty=True)
    assert lazy.z.chunks is not None and lazy.lam.chunks == ((3, 1), (2, 2, 1))
    done = lazy.compute()
    for name in ref.data_vars:
        assert same_bits(done[name].values, ref[name].values), name
    # A lam map given back, chunked otherwise than the cube.
    again = qx.smooth(cube.chunk({"y": 1}), lam=ref.lam.chunk({"x": 1})).compute()
    assert same_bits(again.z.values, ref.z.values)


def test_dask_chunked_along_time_is_refused_with_the_remedy() -> None:
    cube = raw_cube(np.float64).chunk({"time": 10})
    with pytest.raises(ValueError, match=re.escape("data.chunk({'time': -1})")):
        qx.smooth(cube)
    w = xr.ones_like(cube)
    with pytest.raises(ValueError, match=re.escape("weights.chunk({'time': -1})")):
        qx.smooth(cube.chunk({"time": -1}), weights=w)


# --- at=: the fit on other times ------------------------------------------------------------

def divided_differences(x: np.ndarray, d: int) -> np.ndarray:
    """Dense D of order d: rows of the recursive divided differences on positions x."""
    n = x.size
    D = np.eye(n)
    for k in range(1, d + 1):
        D = (D[1:] - D[:-1]) / (x[k:] - x[:-k])[:, None]
    return D


def extended_by_penalty(x: np.ndarray, z: np.ndarray, at: np.ndarray, d: int) -> np.ndarray:
    """Values at ``at`` minimising |D u|^2 on the union grid with u = z on x (dense)."""
    u = np.union1d(x, at)
    obs = np.isin(u, x)
    D = divided_differences(u, d)
    out = np.empty((z.shape[0], u.size))
    out[:, obs] = z
    fill, *_ = np.linalg.lstsq(D[:, ~obs], -D[:, obs] @ z.T, rcond=None)
    out[:, ~obs] = fill.T
    return out[:, np.searchsorted(u, at)]


@pytest.mark.parametrize("d", [1, 2, 3])
def test_at_extends_the_observation_grid_fit_by_its_own_penalty(d: int) -> None:
    cube = raw_cube(np.float64)
    plain = qx.smooth(cube, lam=40.0, d=d)
    t = cube.time.values
    # Daily times from before the first to after the last acquisition, plus every other
    # observed time exactly.
    daily = np.arange(t[0] - np.timedelta64(3, "D"), t[-1] + np.timedelta64(4, "D"),
                      np.timedelta64(1, "D")).astype(t.dtype)
    at = np.union1d(daily, t[::2])
    ds = qx.smooth(cube, lam=40.0, d=d, at=at)
    assert ds.z.dims == cube.dims and np.array_equal(ds.time.values, at)
    assert same_bits(ds.lam.values, plain.lam.values)
    # At observed times: the plain fit's bits (lam means what it means without at=).
    kept = np.isin(at, t)
    assert same_bits(ds.z.values[kept], plain.z.values[::2])
    days = qx.time_positions(t)
    at_days = qx.time_positions(at, origin=t[0])
    z = as_rows(plain.z)
    expect = extended_by_penalty(days, z, at_days, d)
    np.testing.assert_allclose(as_rows(ds.z), expect, rtol=1e-9, atol=1e-9)
    if d == 1:  # a gap split evenly is filled by a straight line: midpoints are averages
        mid = t[:-1] + (t[1:] - t[:-1]) // 2
        halves = qx.smooth(cube, lam=40.0, d=1, at=mid)
        even = (t[1:] - t[:-1]).astype(np.int64) % 2 == 0
        np.testing.assert_allclose(halves.z.values[even],
                                   (plain.z.values[:-1] + plain.z.values[1:])[even] / 2,
                                   rtol=1e-12, atol=1e-12)
    if d == 2:  # beyond the last acquisition: the straight line through the last two values
        after = t[-1] + np.array([1, 2, 5], "timedelta64[D]")
        ahead = qx.smooth(cube, lam=40.0, d=2, at=after).z.values
        h = days[-1] - days[-2]
        slope = (plain.z.values[-1] - plain.z.values[-2]) / h
        line = plain.z.values[-1] + np.array([1.0, 2.0, 5.0])[:, None, None] * slope
        np.testing.assert_allclose(ahead, line, rtol=1e-10, atol=1e-10)


def test_at_keeps_per_observation_fields_on_the_observation_times() -> None:
    cube = raw_cube(np.float32)
    at = cube.time.values[0] + np.arange(0, 100, 5).astype("timedelta64[D]")
    ds = qx.smooth(cube, lam="reml", at=at, return_uncertainty=True)
    plain = qx.smooth(cube, lam="reml", return_uncertainty=True)
    assert ds.z.dims == cube.dims and ds.z.sizes["time"] == at.size and ds.z.dtype == np.float32
    assert ds.se.dims == ("time_observed", "y", "x")
    assert same_bits(ds.se.values, plain.se.values)
    assert np.array_equal(ds.time_observed.values, cube.time.values)
    # An at grid with its own dimension name leaves the observation times under "time".
    grid = xr.DataArray(at, dims="time5")
    named = qx.smooth(cube.chunk({"x": 2}), lam="reml", at=grid, return_uncertainty=True)
    assert named.z.dims == ("time5", "y", "x") and named.se.dims == cube.dims
    assert same_bits(named.z.values, ds.z.values)
    with pytest.raises(ValueError, match="another dimension"):
        qx.smooth(cube, at=xr.DataArray(at, dims="x"))
    with pytest.raises(TypeError, match="both be datetimes"):
        qx.smooth(cube, at=np.arange(3.0))
    with pytest.raises(ValueError, match="at must be increasing"):
        qx.smooth(cube, at=at[::-1])


def test_at_with_too_few_positions_says_so() -> None:
    cube = raw_cube(np.float64, nt=2)
    with pytest.raises(ValueError, match="more than d positions"):
        qx.smooth(cube, lam=1.0, d=3, at=cube.time.values[:1] + np.timedelta64(1, "h"))


# --- installation -----------------------------------------------------------------------------

def test_importable_without_xarray_or_dask() -> None:
    probe = textwrap.dedent("""
        import sys
        sys.modules["xarray"] = sys.modules["dask"] = None  # as if not installed
        import numpy as np
        import quelbrin_auto.xarray as qx
        assert qx.work_dtype(np.int16) == np.float64
        try:
            qx.smooth(np.zeros((3, 4)))
        except ImportError as e:
            print(e)
    """)
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                          timeout=120, cwd="/")
    assert done.returncode == 0, done.stderr
    assert "pip install 'quelbrin[xarray]'" in done.stdout


def test_mypy_strict_reads_the_installed_types(tmp_path: Path) -> None:
    probe = tmp_path / "probe.py"
    probe.write_text(textwrap.dedent("""
        import numpy as np
        import xarray as xr
        from quelbrin_auto.xarray import smooth, time_positions
        cube = xr.DataArray(np.zeros((3, 2), np.float32), dims=("time", "y"))
        ds: xr.Dataset = smooth(cube, "time", lam="reml", nodata=-1.0, d=2)
        days = time_positions(np.arange(3)) + 1.0
        smooth(cube, method=3)
    """))
    cache = ["--cache-dir", str(Path(sys.prefix) / ".mypy_cache")]
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, str(probe)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=900)
    # Exactly the wrong call: the module is typed (not Any) and the right calls pass.
    assert done.returncode == 1 and "Found 1 error" in done.stdout, done.stdout
    assert 'Argument "method" to "smooth" has incompatible type "int"' in done.stdout
    # The module itself is strict-clean (mypy keeps quiet about installed packages, so it
    # is checked from the sources, laid out as installed: the package stub beside it).
    package = tmp_path / "src" / "quelbrin_auto"
    package.mkdir(parents=True)
    shutil.copy(ROOT / "python" / "quelbrin_auto" / "xarray.py", package)
    shutil.copy(ROOT / "quelbrin_auto.pyi", package / "__init__.pyi")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, "quelbrin_auto/xarray.py"],
                          cwd=package.parent, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout


def test_the_readme_walk_through_runs(tmp_path: Path) -> None:
    text = (ROOT / "README.md").read_text()
    section = text.split("### From a raw cube to a smoothed Dataset", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    ns: dict[str, Any] = {}
    exec(compile(code, "README.md", "exec"), ns)  # noqa: S102
    ds, lam_map, raw = ns["ds"], ns["lam_map"], ns["raw"]
    assert ds.z.dtype == np.float32 and ds.z.dims == raw.dims
    never_seen = (raw == ns["NODATA"]).all("time").values
    assert lam_map.dims == ("y", "x") and never_seen.any() and not never_seen.all()
    assert np.array_equal(np.isnan(lam_map.values), never_seen)
    assert np.isnan(ds.z.values[:, never_seen]).all() and np.isfinite(ds.z.values[:, ~never_seen]).all()
