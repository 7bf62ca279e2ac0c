"""quelbrin_auto where series are short, sparse, flat or extreme, against a reference of the
same definitions in 60-digit decimal arithmetic (z, edf, RSS, ||Dz||^2 = the sum of squared
divided differences, log det A, the criteria): every returned number is accurate or NaN
with a warning, the choice is the criterion's minimum or a flagged end, and no series fails
the call."""

from __future__ import annotations

import warnings
from decimal import Decimal as Dec, localcontext

import numpy as np
import pytest

import quelbrin as qb
import quelbrin_auto as qa
from test_auto import Dense, grid, normalised, problem

CRITERIA = ["gcv", "loocv", "reml"]


class Exact:
    """One series at one lam, by the definitions, in 60-digit decimal arithmetic."""

    def __init__(self, x, y, w, lam, d, ridge=1e-10):
        with localcontext() as ctx:
            ctx.prec = 60
            t = [Dec(float(v)) for v in normalised(np.asarray(x, float))]
            T = len(t)
            obs = [bool(np.isfinite(y[i]) and w[i] > 0) for i in range(T)]
            wt = [Dec(float(w[i])) if np.isfinite(y[i]) else Dec(0) for i in range(T)]
            yv = [Dec(float(y[i])) if obs[i] else Dec(0) for i in range(T)]
            D = [[Dec(int(i == j)) for j in range(T)] for i in range(T)]
            for j in range(1, d + 1):
                D = [[(D[i + 1][k] - D[i][k]) / (t[i + j] - t[i]) for k in range(T)]
                     for i in range(len(D) - 1)]
            L, R = Dec(float(lam)), Dec(float(ridge))
            A = [[Dec(0)] * T for _ in range(T)]
            for row in D:
                nz = [k for k in range(T) if row[k] != 0]
                for a in nz:
                    for b in nz:
                        A[a][b] += L * row[a] * row[b]
            for i in range(T):
                A[i][i] += wt[i] + R
            # Gauss-Jordan on [A | I | w y]; A is positive definite, no pivoting needed.
            M = [A[i] + [Dec(int(i == k)) for k in range(T)] + [wt[i] * yv[i]] for i in range(T)]
            logdet = Dec(0)
            for c in range(T):
                logdet += M[c][c].ln()
                inv = 1 / M[c][c]
                M[c] = [v * inv for v in M[c]]
                for r in range(T):
                    if r != c and M[r][c] != 0:
                        f = M[r][c]
                        M[r] = [a - f * b for a, b in zip(M[r], M[c])]
            z = [M[i][2 * T] for i in range(T)]
            h = [wt[i] * M[i][T + i] for i in range(T)]
            r = [yv[i] - z[i] if obs[i] else Dec(0) for i in range(T)]
            m = sum(obs)
            rss = sum(wt[i] * r[i] * r[i] for i in range(T))
            pen = sum(sum(row[k] * z[k] for k in range(T)) ** 2 for row in D)
            edf = sum(h)
            Q = rss + L * pen
            self.m, self.lam, self.T, self.d = m, lam, T, d
            self.z = np.array([float(v) for v in z])
            self.edf, self.rss, self.pen = float(edf), float(rss), float(pen)
            self.sigma = float((rss / (m - edf)).sqrt()) if m - edf > 0 else np.nan
            self.scores = {
                "gcv": float(m * rss / (m - edf) ** 2) if m - edf > 0 else np.nan,
                "loocv": float(sum(wt[i] * (r[i] / (1 - h[i])) ** 2 for i in range(T) if obs[i])
                               / sum(wt[i] for i in range(T) if obs[i])) if m else np.nan,
                "reml": float((m - d) * Q.ln() + logdet - (T - d) * L.ln())
                if m > d and Q > 0 else np.nan,
            }
            self.wyy = float(sum(wt[i] * yv[i] * yv[i] for i in range(T)))
            self.F, self.R = float(rss.log10()), float(pen.log10()) if pen > 0 else -np.inf


def corpus():
    """(name, x, y (S, T), w, d): short series, few observations at either end with long
    gaps, pure noise, exact polynomials, random weights."""
    rng = np.random.default_rng(17)
    out = []
    for d in (1, 2, 3):
        for k, T in enumerate((6, 9, 14, 24)):
            x = np.cumsum(rng.uniform(0.5, 2.0, T))
            y = rng.standard_normal((3, T)) + np.sin(x / 3)
            y[1, rng.random(T) < 0.3] = np.nan
            out.append((f"short d={d} T={T}", x, y, rng.uniform(0.5, 2, (3, T)), d))
        T = 30
        x = np.arange(T, dtype=float)
        y = np.full((2 * (d + 6) + 1, T), np.nan)
        for j, m in enumerate(range(max(d - 1, 1), d + 6)):
            y[2 * j, T - m:] = np.cos(np.arange(m))   # observed at the end only
            y[2 * j + 1, :m] = rng.standard_normal(m)  # at the start only
        y[-1] = rng.standard_normal(T)                  # pure noise
        out.append((f"sparse d={d}", x, y, np.ones_like(y), d))
        t = normalised(x)
        poly = np.stack([np.polyval(rng.standard_normal(d), t) for _ in range(2)])
        out.append((f"polynomial d={d}", x, poly, np.ones_like(poly), d))
    return out


def fitted(fn, *args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = fn(*args, **kwargs)
    return r, [c for c in caught if issubclass(c.category, RuntimeWarning)]


def assert_accurate_or_nan(r, s, exact, name, m):
    """What is returned at row s against the exact values at its lam."""
    if np.isnan(r.lam[s]):
        assert np.isnan(r.z[s]).all() and np.isnan(r.edf[s]) and np.isnan(r.score[s])
        return
    if not np.isnan(r.edf[s]):
        assert 0 <= r.edf[s] <= m
        assert abs(r.edf[s] - exact.edf) <= 1e-5 * max(1.0, m)
        if m - r.edf[s] > 0 and not np.isnan(r.sigma[s]):
            np.testing.assert_allclose(r.sigma[s], exact.sigma, rtol=1e-5)
    if np.isnan(r.sigma[s]):
        # Only where sigma means nothing or its sums are rounding: nothing to choose, no
        # residual degrees of freedom, data fitted to rounding, or a lam that leaves the
        # statistics to the ridge.
        meaningful = (m > exact.d + 1 and m - exact.edf > 0.5 and r.lam[s] <= 1e7
                      and exact.rss > 1e-6 * np.sum(exact.wyy))
        assert not meaningful, (m, exact.edf, r.lam[s])
    if name in exact.scores and not np.isnan(r.score[s]):
        ref = exact.scores[name]
        tol = 1e-6 * max(1.0, abs(ref)) if name == "reml" else 1e-6 * abs(ref)
        assert abs(r.score[s] - ref) <= tol, (r.score[s], ref)


@pytest.mark.parametrize("case", corpus(), ids=lambda c: c[0])
def test_every_number_is_accurate_or_nan_and_no_call_fails(case):
    _, x, y, w, d = case
    for name in CRITERIA + ["vcurve"]:
        r, caught = fitted(qa.smooth_f64, x, y, w, lam=name, d=d)
        assert len(caught) == int(np.isnan(r.lam).any())
        for s in range(y.shape[0]):
            m = int((np.isfinite(y[s]) & (w[s] > 0)).sum())
            if np.isnan(r.lam[s]):
                assert_accurate_or_nan(r, s, None, name, m)
                continue
            assert r.at_bound[s] or m > d, "nothing to choose is flagged"
            exact = Exact(x, y[s], w[s], r.lam[s], d)
            assert_accurate_or_nan(r, s, exact, name, m)


def test_vcurve_on_a_short_series_follows_the_squared_differences():
    x = np.arange(8.0)
    y = np.array([[1.1, -0.3, 0.1, -0.8, -0.5, -0.0, -1.5, 0.3]])
    w = np.ones(8)
    r = qa.smooth_f64(x, y, lam="vcurve", d=1)
    g = grid(10)
    pts = [Exact(x, y[0], w, 10.0**e, 1) for e in g]
    F, R = np.array([p.F for p in pts]), np.array([p.R for p in pts])
    k = int(np.argmin(np.hypot(np.diff(F), np.diff(R)) / np.diff(g)))
    assert abs(np.log10(r.lam[0]) - 0.5 * (g[k] + g[k + 1])) <= 0.1 + 1e-9
    assert abs(np.log10(r.lam[0]) - np.log10(0.708)) < 0.1 and not r.at_bound[0]


@pytest.mark.parametrize("d", [1, 2])
def test_flat_criteria_on_pure_noise_end_at_a_flagged_bound(d):
    rng = np.random.default_rng(40 + d)
    y = rng.standard_normal((60, 30))
    r = qa.smooth_f64(np.arange(30.0), y, lam="gcv", d=d)
    high = r.lam > 1e7
    assert high.sum() > 10
    # No choice lands anywhere in the flat stretch: it is the bound (or the last coarse
    # point where the criterion can be evaluated), and flagged.
    assert r.at_bound[high].all()
    assert len(np.unique(r.lam[high])) <= 2


def test_long_extrapolation_keeps_edf_within_the_observations():
    x = np.arange(40.0)
    y = np.full((1, 40), np.nan)
    y[0, 36:] = np.cos(np.arange(4))
    for name in CRITERIA + ["vcurve"]:
        r = qa.smooth_f64(x, y, lam=name, d=3, return_uncertainty=True)
        exact = Exact(x, y[0], np.ones(40), r.lam[0], 3)
        # Every criterion keeps falling towards the upper bound, beyond what float64 can
        # evaluate: the choice is flagged, and what is reported is exact or NaN.
        assert r.at_bound[0] or name == "vcurve", name
        if not np.isnan(r.edf[0]):
            assert 0 <= r.edf[0] <= 4 and abs(r.edf[0] - exact.edf) <= 4e-5
        if not np.isnan(r.sigma[0]):
            np.testing.assert_allclose(r.sigma[0], exact.sigma, rtol=1e-5)
            assert np.isfinite(r.se[0]).all()
        if name != "vcurve" and not np.isnan(r.score[0]):
            ref = exact.scores[name]
            assert abs(r.score[0] - ref) <= 1e-6 * max(1.0, abs(ref))


def test_nothing_to_choose_takes_a_computable_lam_and_is_flagged():
    x = np.r_[0:10, 20:40].astype(float)
    y = np.full((3, len(x)), np.nan)
    y[0, 5] = 1.5           # one observation, d = 3
    y[1, [3, 25, 29]] = [1.0, 2.0, 0.5]  # m = d
    r = qa.smooth_f64(x, y, lam="reml", d=3)
    assert r.at_bound.all() and np.isnan(r.score).all()
    assert list(r.lam[2:]) == [1e9] and not r.z[2].any()  # nothing observed: z = 0
    for s in range(2):
        exact = Exact(x, y[s], np.ones(len(x)), r.lam[s], 3)
        m = int(np.isfinite(y[s]).sum())
        np.testing.assert_allclose(r.edf[s], m, rtol=1e-6)
        np.testing.assert_allclose(r.edf[s], exact.edf, rtol=1e-6)
        assert np.abs(r.z[s] - exact.z).max() <= 1e-4 * max(1.0, np.nanmax(np.abs(y[s])))


@pytest.mark.parametrize("dt", [np.float64, np.float32])
def test_a_series_that_cannot_be_fitted_is_nan_with_one_warning(dt):
    x, y, w = problem(9, 40, seed=31)
    x, y, w = x.astype(dt), y.astype(dt), w.astype(dt)
    fn = qa.smooth_f64 if dt == np.float64 else qa.smooth_f32
    lams = np.geomspace(1.0, 1e4, 9)
    bad = lams.copy()
    bad[[2, 6]] = 1e38  # the trust rule refuses these fits
    r, caught = fitted(fn, x, y, w, lam=bad, d=3)
    assert len(caught) == 1
    text = str(caught[0].message)
    assert "2 series" in text and "rows 2, 6" in text
    assert np.isnan(r.z[[2, 6]]).all() and np.isnan(r.lam[[2, 6]]).all()
    assert np.isnan(r.edf[[2, 6]]).all() and np.isnan(r.sigma[[2, 6]]).all()
    good = [0, 1, 3, 4, 5, 7, 8]
    ref = fn(x, y[good], w[good], lam=lams[good], d=3)
    for field in ("z", "lam", "edf", "sigma"):
        assert np.array_equal(getattr(r, field)[good], getattr(ref, field), equal_nan=True)
    # The same lam for all: the call does not fail either.
    one, caught = fitted(fn, x, y[[0, 2]], w[[0, 2]], lam=1e38, d=3)
    assert len(caught) == 1 and np.isnan(one.lam).all()


def test_negative_weights_are_refused_naming_w_base_st():
    x, y, w = problem(4, 20, seed=1)
    w[2, 5] = -0.5
    y[2, 5] = 1.0
    with pytest.raises(ValueError, match=r"w_base_st.*w_base_st\[2, 5\] = -0.5 \(1 series"):
        qa.smooth_f64(x, y, w)
    y[2, 5] = np.nan  # unobserved: its weight does not count
    qa.smooth_f64(x, y, w)


def test_float32_bounds_and_vcurve_lower_bound():
    x, y, _ = problem(2, 20, seed=2)
    x32, y32 = x.astype(np.float32), y.astype(np.float32)
    for bounds in ((1e-50, 1e9), (1e-3, 1e39)):
        with pytest.raises(ValueError, match="lam_bounds.*float32"):
            qa.smooth_f32(x32, y32, lam_bounds=bounds)
    with pytest.raises(ValueError, match="lam_bounds: the V-curve"):
        qa.smooth_f64(x, y, lam="vcurve", lam_bounds=(1e-9, 1e9))
    qa.smooth_f64(x, y, lam="vcurve", lam_bounds=(1e-9, 1e9), ridge=1e-13)


@pytest.mark.parametrize("name", CRITERIA + ["vcurve"])
def test_choice_is_invariant_to_units_and_offsets(name):
    x, y, w = problem(4, 50, seed=8)
    base = qa.smooth_f64(x, y, w, lam=name).lam
    spread = np.nanmax(y) - np.nanmin(y)
    for c, b in ((1e-6, 0.0), (1e6, 0.0), (3.7, 1e4 * spread), (1.0, 273.15), (1e-300, 0.0),
                 (1e300, 0.0), (2.0**-900, 0.0)):
        got = qa.smooth_f64(x, c * y + b * c, w, lam=name).lam
        assert np.abs(np.log10(got / base)).max() <= 1e-3, (c, b)
    for a, b in ((1e-3, 5.0), (86400.0, 1e9)):
        got = qa.smooth_f64(a * x + b, y, w, lam=name).lam
        assert np.abs(np.log10(got / base)).max() <= 1e-3, (a, b)


def test_the_search_never_loses_the_basin_to_a_rounding_tie():
    rng = np.random.default_rng(113)
    x = np.arange(100.0)
    cases = [(x, np.sin(x / 8) + 0.5 * rng.standard_normal((1, 100)), np.ones((1, 100)), "gcv", 2)]
    for seed in range(4):
        xs, ys, ws = problem(3, 60, seed=200 + seed)
        cases += [(xs, ys, ws, name, 1 + seed % 3) for name in CRITERIA]
    for xs, ys, ws, name, d in cases:
        r = qa.smooth_f64(xs, ys, ws, lam=name, d=d)
        for s in range(ys.shape[0]):
            at = Dense(xs, ys[s], ws[s], r.lam[s], d).criterion(name)
            best = min(Dense(xs, ys[s], ws[s], 10.0**g, d).criterion(name) for g in grid(20))
            assert at <= best + 1e-9 * abs(best), (name, d, s, r.lam[s])


def test_z_is_accurate_where_the_choice_is_ill_conditioned():
    # The final fits are the single-pass smoother's at the returned lam; where that lam
    # makes the system ill-conditioned, z must still be within 1e-6 x max(1, max|y|).
    x = np.arange(30.0)
    y = np.full((2, 30), np.nan)
    y[0, 26:] = np.cos(np.arange(4))
    y[1] = np.random.default_rng(5).standard_normal(30)
    for name in CRITERIA:
        r = qa.smooth_f64(x, y, lam=name, d=3)
        for s in range(2):
            exact = Exact(x, y[s], np.ones(30), r.lam[s], 3)
            if not np.isnan(r.lam[s]):
                assert np.abs(r.z[s] - exact.z).max() <= 1e-6 * max(1.0, np.nanmax(np.abs(y[s])))


@pytest.mark.parametrize("name", CRITERIA + ["vcurve"])
def test_extremes_are_the_same_serial_parallel_shuffled_or_split(name):
    x = np.arange(30.0)
    rng = np.random.default_rng(9)
    y = rng.standard_normal((24, 30)) + np.sin(x / 4)
    y[::3, 5:] = np.nan     # few observations at the start
    y[1::6, :26] = np.nan   # few at the end
    y[2::8] = np.nan        # none
    y[4, :] = np.polyval([0.5, -1.0], normalised(x))  # a straight line
    w = rng.uniform(0.5, 2.0, y.shape)
    opts = dict(lam=name, d=2)
    r = qa.smooth_f64(x, y, w, **opts)
    serial = qa.smooth_f64(x, y, w, parallel=False, **opts)
    perm = rng.permutation(24)
    shuffled = qa.smooth_f64(x, y[perm], w[perm], **opts)
    halves = [qa.smooth_f64(x, y[a:b], w[a:b], **opts) for a, b in ((0, 7), (7, 24))]
    for field in r._fields[:6]:
        got = getattr(r, field)
        assert np.array_equal(got, getattr(serial, field), equal_nan=True), field
        assert np.array_equal(got[perm], getattr(shuffled, field), equal_nan=True), field
        split = np.concatenate([getattr(h, field) for h in halves])
        assert np.array_equal(got, split, equal_nan=True), field


def test_one_series_with_nothing_to_choose_does_not_fail_the_batch():
    x = np.arange(40.0)
    y = np.full((2, 40), np.nan)
    y[0] = np.sin(x / 4)
    y[1, 7] = 1.0
    for name in CRITERIA + ["vcurve"]:
        r, caught = fitted(qa.smooth_f64, x, y, lam=name, d=3)
        alone = qa.smooth_f64(x, y[:1], lam=name, d=3)
        for field in r._fields[:6]:
            assert np.array_equal(getattr(r, field)[:1], getattr(alone, field)), field
        assert r.at_bound[1] and len(caught) == int(np.isnan(r.lam[1]))
        if not np.isnan(r.lam[1]):
            exact = Exact(x, y[1], np.ones(40), r.lam[1], 3)
            assert np.abs(r.z[1] - exact.z).max() <= 1e-4
