"""quelbrin_auto: the choice of lam against a dense NumPy formulation of every criterion, the
leave-one-out residuals against explicit refits, limits and invariances, and the contract
with the single-pass smoother (bit for bit, serial or parallel, shuffled or split)."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quelbrin as qb
import quelbrin_auto as qa
from test_band import dense_penalty

CRITERIA = ["gcv", "loocv", "reml"]
BOUNDS = (1e-3, 1e9)


def normalised(x):
    return (x - x[0]) / np.mean(np.diff(x))


class Dense:
    """Every quantity of one series at one lam, by its definition, with dense matrices."""

    def __init__(self, x, y, w, lam, d, ridge=1e-10):
        T = len(x)
        finite = np.isfinite(y)
        wt = np.where(finite, w, 0.0)
        obs = finite & (wt > 0)
        yv = np.where(obs, y, 0.0)
        P = dense_penalty(normalised(x), d)
        A = np.diag(wt) + lam * P + ridge * np.eye(T)
        Ainv = np.linalg.inv(A)
        z = Ainv @ (wt * yv)
        r = np.where(obs, yv - z, 0.0)
        self.lam, self.d, self.T, self.m = lam, d, T, obs.sum()
        self.z, self.obs, self.Ainv_diag = z, obs, np.diag(Ainv)
        self.h = wt * self.Ainv_diag
        self.rss = np.sum(wt * r * r)
        self.edf = self.h.sum()
        self.Q = np.sum(wt * yv * r)
        self.logdet = np.linalg.slogdet(A)[1]
        self.loo = np.sum((wt * (r / (1 - self.h)) ** 2)[obs]) / wt[obs].sum()
        self.zpz = z @ P @ z

    def criterion(self, name):
        if name == "gcv":
            return self.m * self.rss / (self.m - self.edf) ** 2
        if name == "loocv":
            return self.loo
        if name == "reml":
            d, T = self.d, self.T
            return (self.m - d) * np.log(self.Q) + self.logdet - (T - d) * np.log(self.lam)
        raise ValueError(name)

    @property
    def sigma(self):
        return np.sqrt(self.rss / (self.m - self.edf))


def problem(S, T, seed, missing=0.1, weights=True, noise=0.3):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.3, 3.0, T))
    t = normalised(x)
    y = np.sin(t / rng.uniform(3, 12, (S, 1))) * 2 + noise * rng.standard_normal((S, T))
    y[rng.random((S, T)) < missing] = np.nan
    w = rng.uniform(0.5, 2.0, (S, T)) if weights else np.ones((S, T))
    return x, y, w


def grid(per_decade, bounds=BOUNDS):
    lo, hi = np.log10(bounds)
    return np.linspace(lo, hi, int(round(per_decade * (hi - lo))) + 1)


@pytest.mark.parametrize("d", [1, 2, 3])
@pytest.mark.parametrize("name", CRITERIA)
def test_choice_is_the_global_minimum_on_a_fine_grid(name, d):
    x, y, w = problem(3, 40, seed=d)
    r = qa.smooth_f64(x, y, w, lam=name, d=d, return_uncertainty=True)
    for s in range(3):
        at = Dense(x, y[s], w[s], r.lam[s], d)
        best = min(Dense(x, y[s], w[s], 10.0**g, d).criterion(name) for g in grid(20))
        assert at.criterion(name) <= best + 1e-6 * abs(best)
        # What the module reports at its lam, against the definitions.
        np.testing.assert_allclose(r.score[s], at.criterion(name), rtol=1e-7)
        np.testing.assert_allclose(r.edf[s], at.edf, rtol=1e-8)
        np.testing.assert_allclose(r.sigma[s], at.sigma, rtol=1e-8)
        np.testing.assert_allclose(r.leverage[s], at.h, rtol=1e-7, atol=1e-12)
        np.testing.assert_allclose(r.se[s], at.sigma * np.sqrt(at.Ainv_diag), rtol=1e-7)
        assert not r.at_bound[s]


@pytest.mark.parametrize("d", [1, 2, 3])
def test_vcurve_is_within_a_step_of_the_reference_grid_choice(d):
    x, y, w = problem(4, 40, seed=10 + d)
    r = qa.smooth_f64(x, y, w, lam="vcurve", d=d)
    g = grid(10)
    for s in range(4):
        pts = [Dense(x, y[s], w[s], 10.0**e, d) for e in g]
        F = np.log10([p.rss for p in pts])
        R = np.log10([p.zpz for p in pts])
        speed = np.hypot(np.diff(F), np.diff(R)) / np.diff(g)
        k = int(np.argmin(speed))
        assert abs(np.log10(r.lam[s]) - 0.5 * (g[k] + g[k + 1])) <= 0.1 + 1e-9
        np.testing.assert_allclose(r.edf[s], Dense(x, y[s], w[s], r.lam[s], d).edf, rtol=1e-8)


def test_reported_loocv_is_the_mean_square_of_explicit_leave_one_out_refits():
    x, y, w = problem(2, 30, seed=5)
    r = qa.smooth_f64(x, y, w, lam="loocv", return_uncertainty=True)
    for s in range(2):
        obs = np.flatnonzero(np.isfinite(y[s]))
        loo = []
        for i in obs:
            wi = w[s:s + 1].copy()
            wi[0, i] = 0.0
            zi = qb.whittaker_solve_f64(x, y[s:s + 1], wi, lam=r.lam[s])[0]
            loo.append(y[s, i] - zi[i])
        loo = np.array(loo)
        # The shortcut residual r / (1 - h) is the refit's residual ...
        shortcut = (y[s, obs] - r.z[s, obs]) / (1 - r.leverage[s, obs])
        np.testing.assert_allclose(shortcut, loo, rtol=1e-6, atol=1e-9)
        # ... and the criterion their weighted mean square.
        np.testing.assert_allclose(r.score[s], np.sum(w[s, obs] * loo**2) / w[s, obs].sum(),
                                   rtol=1e-6)


@pytest.mark.parametrize("d", [1, 2, 3])
def test_edf_runs_from_m_to_d(d):
    x, y, w = problem(2, 20, seed=7)
    m = np.isfinite(y).sum(axis=1)
    small = qa.smooth_f64(x, y, w, lam=1e-7, d=d)
    # Beyond, A's conditioning takes over (and edf is NaN where it cannot be vouched for).
    large = qa.smooth_f64(x, y, w, lam=1e8, d=d)
    np.testing.assert_allclose(small.edf, m, rtol=1e-4)
    np.testing.assert_allclose(large.edf, d, rtol=5e-3)
    assert (large.edf >= d).all()
    assert np.isnan(small.score).all() and not small.at_bound.any()


@pytest.mark.parametrize("name", CRITERIA + ["vcurve"])
def test_scaling_the_data_leaves_the_choice_unchanged(name):
    x, y, w = problem(4, 60, seed=3)
    base = qa.smooth_f64(x, y, w, lam=name)
    # A power of two scales every quantity exactly: the same lam, bit for bit.
    assert np.array_equal(qa.smooth_f64(x, 4.0 * y, w, lam=name).lam, base.lam)
    np.testing.assert_allclose(qa.smooth_f64(x, 3.7 * y, w, lam=name).lam, base.lam, rtol=1e-3)


@pytest.mark.parametrize("name", CRITERIA + ["vcurve"])
@pytest.mark.parametrize("dt", [np.float64, np.float32])
def test_each_row_is_the_single_pass_fit_at_its_lam(name, dt):
    x, y, w = problem(37, 80, seed=11, missing=0.2)
    x, y, w = x.astype(dt), y.astype(dt), w.astype(dt)
    auto, solve = (qa.smooth_f64, qb.whittaker_solve_f64) if dt == np.float64 else (
        qa.smooth_f32, qb.whittaker_solve_f32)
    opts = dict(lam=name, d=2, ridge=1e-8, normalize="median", eps=1e-9)
    r = auto(x, y, w, **opts)
    assert r.z.dtype == dt and r.lam.dtype == np.float64
    if dt == np.float32:
        assert np.array_equal(r.lam.astype(np.float32).astype(np.float64), r.lam)
    fixed = {k: v for k, v in opts.items() if k != "lam"}
    for s in range(37):
        expect = solve(x, y[s:s + 1], w[s:s + 1], lam=r.lam[s], **fixed)[0]
        assert np.array_equal(r.z[s].view(np.uint8), expect.view(np.uint8)), s
    # Serial, shuffled and split calls give the same bits for every output.
    serial = auto(x, y, w, parallel=False, **opts)
    perm = np.random.default_rng(0).permutation(37)
    shuffled = auto(x, y[perm], w[perm], **opts)
    halves = [auto(x, y[a:b], w[a:b], **opts) for a, b in ((0, 13), (13, 37))]
    for i, field in enumerate(r._fields[:6]):
        got = getattr(r, field)
        assert np.array_equal(got, getattr(serial, field), equal_nan=True), field
        assert np.array_equal(got[perm], getattr(shuffled, field), equal_nan=True), field
        split = np.concatenate([getattr(h, field) for h in halves])
        assert np.array_equal(got, split, equal_nan=True), field


@pytest.mark.parametrize("dt", [np.float64, np.float32])
def test_given_lam_fits_like_the_single_pass_smoother(dt):
    x, y, w = problem(9, 50, seed=2)
    x, y, w = x.astype(dt), y.astype(dt), w.astype(dt)
    auto, solve = (qa.smooth_f64, qb.whittaker_solve_f64) if dt == np.float64 else (
        qa.smooth_f32, qb.whittaker_solve_f32)
    one = auto(x, y, w, lam=12.5)
    assert np.array_equal(one.z, solve(x, y, w, lam=12.5))
    assert np.isnan(one.score).all() and not one.at_bound.any()
    assert (one.lam == float(dt(12.5))).all()
    lams = np.geomspace(0.1, 1e4, 9)
    each = auto(x, y, w, lam=lams.astype(dt))
    for s in range(9):
        assert np.array_equal(each.z[s], solve(x, y[s:s + 1], w[s:s + 1], lam=lams[s])[0])
    assert np.array_equal(each.lam, lams.astype(dt).astype(np.float64))
    # The stored lam of an earlier choice reproduces it.
    chosen = auto(x, y, w, lam="reml")
    again = auto(x, y, w, lam=chosen.lam)
    assert np.array_equal(again.z, chosen.z) and np.array_equal(again.edf, chosen.edf)


def test_too_few_observations_take_a_computable_lam():
    x, y, w = problem(4, 20, seed=4)
    y[0, 1:] = np.nan  # one observation, d = 2
    y[0, 0] = 0.3
    y[1, :] = np.nan
    y[3, 3:] = np.nan  # observed at 0 and 2: m = d
    y[3, :3] = [1.0, np.nan, 2.0]
    r = qa.smooth_f64(x, y, lam="gcv", lam_bounds=(0.5, 5e3))
    # Nothing observed: z = 0 at any lam, the upper bound.  m <= d: the largest lam whose
    # fit is well determined (a straight line through two points is; through one point it
    # is left to the ridge, better conditioned the smaller lam).
    assert r.lam[1] == 5e3 and not r.z[1].any()
    assert 0.5 <= r.lam[0] <= r.lam[3] <= 5e3 and list(r.at_bound) == [True, True, False, True]
    assert np.isnan(r.score[[0, 1, 3]]).all() and np.isnan(r.sigma[[0, 1, 3]]).all()
    for s in (0, 3):
        assert np.array_equal(r.z[s], qb.whittaker_solve_f64(x, y[s:s + 1], lam=r.lam[s])[0])
        exact = Dense(x, y[s], np.ones(20), r.lam[s], 2)
        if not np.isnan(r.edf[s]):  # NaN where the solve cannot vouch for it
            np.testing.assert_allclose(r.edf[s], exact.edf, rtol=1e-5)
        np.testing.assert_allclose(r.z[s], exact.z, atol=1e-4)
    assert not np.isnan(r.edf[3])


def test_a_monotone_criterion_ends_at_a_bound():
    # Pure noise: the smoothest fit wins, at the upper bound exactly.
    rng = np.random.default_rng(8)
    x = np.arange(60.0)
    y = rng.standard_normal((1, 60))
    r = qa.smooth_f64(x, y, lam="reml", lam_bounds=(1e-2, 10.0))
    assert r.lam[0] == 10.0 and r.at_bound[0]


def test_empty_inputs():
    r = qa.smooth_f64(np.arange(5.0), np.zeros((0, 5)), return_uncertainty=True)
    assert r.z.shape == (0, 5) and r.lam.shape == (0,) and r.se.shape == (0, 5)
    r = qa.smooth_f64(np.zeros(0), np.zeros((3, 0)))
    assert r.z.shape == (3, 0) and list(r.lam) == [1e9] * 3 and r.at_bound.all()


def _message(fn, *args, **kwargs):
    with pytest.raises(Exception) as e:
        fn(*args, **kwargs)
    return type(e.value), str(e.value)


@pytest.mark.parametrize("args", [
    (np.array([0.0, 2.0, 1.0]), np.zeros((1, 3)), None),
    (np.arange(3.0), np.zeros((1, 4)), None),
    (np.arange(3.0), np.zeros((2, 3)), np.ones((1, 3))),
    (np.arange(6.0)[::2], np.zeros((1, 3)), None),
    (np.arange(3.0), [[0.0, 1.0, 2.0]], None),
    (np.arange(3.0, dtype=np.float32), np.zeros((1, 3)), None),
])
def test_shared_arguments_fail_exactly_like_the_single_pass_smoother(args):
    assert _message(qa.smooth_f64, *args) == _message(qb.whittaker_solve_f64, *args)
    assert _message(qa.smooth_f64, *args, d=1, ridge=2.0) == _message(
        qb.whittaker_solve_f64, *args, d=1, ridge=2.0)


@pytest.mark.parametrize("lam, kind, text", [
    ("GCV", ValueError, "'gcv', 'loocv', 'reml' or 'vcurve'"),
    ("aic", ValueError, "Unknown criterion for lam: 'aic'"),
    (-1.0, ValueError, "lam must be a positive finite number"),
    (0, ValueError, "lam must be a positive finite number"),
    (float("nan"), ValueError, "lam must be a positive finite number"),
    (np.array([1.0, 2.0]), ValueError, "one value per series: shape (3,), got (2,)"),
    (np.array([1.0, np.inf, 2.0]), ValueError, "lam[1] = inf"),
    (np.array([[1.0, 2.0, 3.0]]), TypeError, "argument 'lam'"),
    ([1.0, 2.0, 3.0], TypeError, "argument 'lam'"),
])
def test_lam_is_a_name_a_positive_number_or_one_per_series(lam, kind, text):
    x, y, _ = problem(3, 10, seed=0)
    with pytest.raises(kind) as e:
        qa.smooth_f64(x, y, lam=lam)
    assert text in str(e.value)


def test_float32_rounding_of_lam_is_checked():
    x, y, _ = problem(2, 10, seed=0)
    with pytest.raises(ValueError, match="positive finite"):
        qa.smooth_f32(x.astype(np.float32), y.astype(np.float32), lam=np.array([1.0, 1e-60]))


@pytest.mark.parametrize("bounds, kind", [
    ((1.0, 1.0), ValueError), ((10.0, 1.0), ValueError), ((0.0, 1.0), ValueError),
    ((1.0, np.inf), ValueError), ((1.0,), ValueError), ((1.0, 2.0, 3.0), ValueError),
    ("ab", TypeError), ((1.0, "b"), TypeError),
])
def test_lam_bounds_are_two_increasing_positive_numbers(bounds, kind):
    x, y, _ = problem(2, 10, seed=0)
    with pytest.raises(kind) as e:
        qa.smooth_f64(x, y, lam_bounds=bounds)
    assert "lam_bounds" in str(e.value)


def test_surface():
    assert sorted(qb.__all__) == sorted([
        "build_pb_f32", "build_pb_f64", "robust_whittaker_irls_f32", "robust_whittaker_irls_f64",
        "whittaker_solve_f32", "whittaker_solve_f64"])
    assert qa.__all__ == ["SmoothResult", "envelope_f32", "envelope_f64", "smooth_f32",
                          "smooth_f64"]
    import inspect
    params = inspect.signature(qa.smooth_f64).parameters
    assert list(params) == ["x", "y_st", "w_base_st", "lam", "d", "ridge", "normalize", "eps",
                            "lam_bounds", "parallel", "return_uncertainty", "robust",
                            "iterations", "tuning", "scale"]
    assert params["lam"].default == "gcv" and params["lam_bounds"].default == (1e-3, 1e9)
    r = qa.smooth_f64(np.arange(10.0), np.zeros((2, 10)))
    assert repr(r).startswith("SmoothResult(z=<2x10 float64>, lam=<2 float64")
    assert r.leverage is None and r.se is None and r.weights is None


def test_stub_is_installed_and_passes_mypy_strict(tmp_path: Path) -> None:
    root = Path(__file__).resolve().parents[1]
    # A typed package (py.typed): its stub is the package's __init__.pyi.
    installed = Path(qa.__file__).parent
    assert installed.name == "quelbrin_auto" and (installed / "py.typed").is_file()
    assert (installed / "__init__.pyi").read_text() == (root / "quelbrin_auto.pyi").read_text()
    usage = Path(__file__).parent / "typing" / "usage_auto.py"
    probe = tmp_path / "probe.py"  # a wrong call: the stub is read, not Any
    probe.write_text("import numpy as np\nimport quelbrin_auto\n"
                     "quelbrin_auto.smooth_f64(np.zeros(3), np.zeros((1, 3)), lam_bounds=1.0)\n")
    cache = ["--cache-dir", str(Path(sys.prefix) / ".mypy_cache")]
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, str(usage)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stdout + done.stderr
    wrong = subprocess.run([sys.executable, "-m", "mypy", "--strict", *cache, str(probe)],
                           cwd=tmp_path, capture_output=True, text=True, timeout=900)
    assert wrong.returncode == 1 and "lam_bounds" in wrong.stdout, wrong.stdout


@pytest.mark.parametrize("lam", ["gcv", "vcurve", 5.0])
def test_a_result_the_single_pass_smoother_refuses_is_refused_alike(lam):
    x = np.arange(20.0)
    y = np.random.default_rng(0).standard_normal((3, 20))
    w = np.ones((3, 20))
    w[1, 3] = np.nan  # a NaN weight at an observation: that series is not finite
    expect = _message(qb.whittaker_solve_f64, x, y, w, lam=5.0)
    assert _message(qa.smooth_f64, x, y, w, lam=lam) == expect


@pytest.mark.parametrize("d", [1, 2, 3])
@pytest.mark.parametrize("layout", ["contiguous", "strided"])
def test_batched_fits_at_per_series_lam_match_one_row_solves(d, layout):
    # float64 fits run in batches with one lam per lane; every row must still be the
    # one-row solve at its own lam, whichever block (wide, native, single lane) it lands in,
    # including lam so small that pb * lam underflows (the lane leaves the guarded kernel).
    S, T = 45, 60
    x, y, w = problem(S, T, seed=20 + d, missing=0.15)
    w[3, ::7] = 0.0
    w[5] = 0.0  # nothing observed
    y[6, :] = np.nan
    rng = np.random.default_rng(d)
    lams = 10.0 ** rng.uniform(-4, 9, S)
    lams[:4] = [1e-320, 5e-310, 1e-300, 1e12]
    if layout == "strided":
        y = np.repeat(y, 2, axis=1)[:, ::2]
        w = np.asfortranarray(w)
    opts = dict(d=d, ridge=1e-9, normalize="mean", eps=1e-10)
    expect = np.stack([qb.whittaker_solve_f64(x, y[s:s + 1], w[s:s + 1], lam=lams[s], **opts)[0]
                       for s in range(S)])
    for parallel in (True, False):
        got = qa.smooth_f64(x, y, w, lam=lams, parallel=parallel, **opts)
        assert np.array_equal(got.z.view(np.uint64), expect.view(np.uint64)), parallel
