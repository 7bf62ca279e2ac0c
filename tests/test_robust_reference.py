"""The robust smoother against an independent step-by-step reference.

The reference runs the loop in NumPy: each step's solve is the single-pass smoother given
the step's total weights (the same banded solve on the same band), the residual scale is
np.median or a plain Python loop, and the weights are the formulas written out again.
Every operation is the same IEEE operation in the same order, so the results must agree
bit for bit, for every weighting and scale, with missing observations and odd base weights.
"""

import math

import numpy as np
import pytest

import quelbrin as qb

EPS = 1e-10
TUNING = {"tukey": 4.685, "huber": 1.345, "cauchy": 2.385, "fair": 1.3998, "hampel": 8.0}


def floor(v, f):
    return f if (v != v or v < f) else v


def floor_tiny(q):
    return np.where(np.isnan(q) | (q < 1e-12), 1e-12, q)


def weights(name, r, s):
    c = TUNING[name]
    with np.errstate(all="ignore"):
        v = r / s
        q = np.abs(v)
        if name == "tukey":
            R = q / c
            t = 1.0 - R * R
            return np.where(R < 1.0, t * t, 0.0)
        if name == "huber":
            return np.where(q <= c, 1.0, c / floor_tiny(q))
        if name == "cauchy":
            u = v / c
            return 1.0 / (u * u + 1.0)
        if name == "fair":
            return 1.0 / (q / c + 1.0)
        a, b = 1.5, 3.5
        fq = floor_tiny(q)
        descent = (a * (c - q)) / (fq * floor_tiny(np.float64(c - b)))
        return np.where(q <= a, 1.0, np.where(q <= b, a / fq, np.where(q <= c, descent, 0.0)))


def mad(r):
    a = np.abs(r[np.isfinite(r)])
    return EPS if a.size == 0 else floor(float(np.median(a)) * 1.4826, EPS)


def huber_scale(r):
    s = mad(r)
    kept = [float(v) for v in r if math.isfinite(v)]
    for p in range(1, 31):
        cap = (s * 1.345) * (s * 1.345)
        total = 0.0
        for v in kept:
            total = total + min(v * v, cap)
        if not kept:
            return EPS
        s_new = floor(math.sqrt(total / len(kept)), EPS)
        rel = abs(s_new - s) / floor(s, EPS)
        if rel < 1e-4 or p == 30:
            return s_new
        s = s_new


def reference(x, y, wb_given, iterations, weighting, scale, lam, d):
    finite = np.isfinite(y)
    wb = np.where(finite, wb_given, 0.0)
    wr = np.where(finite & (wb > 0), 1.0, 0.0)
    z = G = np.zeros_like(y)
    for _ in range(iterations):
        G = wb * wr
        z = qb.whittaker_solve_f64(x, y, w_base_st=G, lam=lam, d=d, ridge=1e-10, eps=EPS)
        usable = finite & (G > 0)
        r = np.where(usable, y - z, np.nan)
        for s in range(y.shape[0]):
            sc = huber_scale(r[s]) if scale == "huber" else mad(r[s])
            wr[s] = np.where(usable[s], weights(weighting, r[s], sc), 0.0)
    return z, G


def data(seed, S=5, T=57):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.3, 1.7, T))
    y = np.sin(x / 5.0)[None, :] + 0.2 * rng.standard_normal((S, T))
    y[rng.random((S, T)) < 0.1] = np.nan
    y[:, 11] += 9.0
    y[1, 30] = np.inf
    y[2, :] = np.nan  # nothing observed
    w = rng.uniform(0.2, 2.0, (S, T))
    w[0, 3], w[0, 4], w[3, 5] = 0.0, -1.0, 0.0
    w[4, 6] = 7.0  # where y is missing too
    y[4, 6] = np.nan
    return x, y, w


@pytest.mark.parametrize("weighting", sorted(TUNING))
@pytest.mark.parametrize("scale", ["mad", "huber"])
def test_steps_match_the_reference(weighting, scale):
    for seed, iterations, d, with_weights in [(0, 1, 2, False), (1, 2, 2, True), (2, 3, 1, True),
                                              (3, 5, 3, False)]:
        x, y, w = data(seed)
        lam = 10.0 ** (seed - 1)
        base = w if with_weights else np.ones_like(y)
        want_z, want_wt = reference(x, y, base, iterations, weighting, scale, lam, d)
        kw = dict(lam=lam, d=d, iterations=iterations, weighting=weighting, scale=scale,
                  return_weights=True)
        if with_weights:
            kw["w_base_st"] = w
        for parallel in (False, True):
            z, wt = qb.robust_whittaker_irls_f64(x, y, parallel=parallel, **kw)
            np.testing.assert_array_equal(z, want_z)
            np.testing.assert_array_equal(wt, want_wt)
            # Without the total weights the smoothed values are the same.
            kw_z = {k: v for k, v in kw.items() if k != "return_weights"}
            np.testing.assert_array_equal(
                qb.robust_whittaker_irls_f64(x, y, parallel=parallel, **kw_z), want_z)


def test_long_series_many_rows_match_the_reference():
    # Enough rows and length for the batched solves, several blocks and both leaves.
    x, y, _ = data(7, S=70, T=300)
    want_z, want_wt = reference(x, y, np.ones_like(y), 3, "tukey", "mad", 10.0, 2)
    z, wt = qb.robust_whittaker_irls_f64(x, y, iterations=3, return_weights=True)
    np.testing.assert_array_equal(z, want_z)
    np.testing.assert_array_equal(wt, want_wt)
