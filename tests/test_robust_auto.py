"""quelbrin_auto.smooth_*(robust=...): the reweighting loop against explicit dense refits,
gross values that cannot take the fit (the reproducer that wrecks a plain robust call), the
contract with the single-pass smoother, the batch promises and the argument checks."""

from __future__ import annotations

import numpy as np
import pytest

import quelbrin as qb
import quelbrin_auto as qa
from test_band import dense_penalty
from test_robust_reference import weights as robust_weights


def normalised(x):
    return (x - x[0]) / np.mean(np.diff(x))


def dense_robust(x, y, lam, iterations, weighting="tukey", d=2, ridge=1e-10):
    """The loop by its definition: dense solves at lam, residuals divided by sqrt(1 - h)
    (h the leverage), their MAD about zero, the weighting's formula; until the weights
    repeat."""
    P = dense_penalty(normalised(x), d)
    obs = np.isfinite(y)
    yv = np.where(obs, y, 0.0)
    g = obs.astype(np.float64)
    for k in range(iterations):
        A = np.diag(g) + lam * P + ridge * np.eye(len(x))
        z = np.linalg.solve(A, g * yv)
        if k == iterations - 1:
            break
        usable = obs & (g > 0)
        h = g * np.diag(np.linalg.inv(A))
        r = np.where(usable, (yv - z) / np.sqrt(np.maximum(1 - h, 1e-12)), np.nan)
        scale = max(1.4826 * np.median(np.abs(r[usable])), 1e-10)
        new = np.where(usable, robust_weights(weighting, np.where(usable, r, 0.0), scale), 0.0)
        if np.array_equal(new, g):
            break
        g = new
    return z, g


def outlying(rng, S, T, fraction=0.05, size=3.0):
    """A smooth truth, normal noise, and symmetric outliers of about `size`."""
    x = np.arange(T, dtype=np.float64)
    truth = np.sin(2 * np.pi * x / T * 2 + rng.uniform(0, 6, (S, 1)))
    y = truth + rng.normal(0, 0.1, (S, T))
    hit = rng.random((S, T)) < fraction
    y[hit] += rng.choice([-1, 1], hit.sum()) * rng.uniform(0.5 * size, size, hit.sum())
    return x, y, truth, hit


@pytest.mark.parametrize("weighting", ["tukey", "huber", "cauchy"])
def test_fixed_lam_matches_dense_refits(weighting):
    rng = np.random.default_rng(11)
    x, y, _, _ = outlying(rng, 3, 80)
    y[1, 4] = np.nan
    got = qa.smooth_f64(x, y, lam=40.0, robust=weighting, iterations=6)
    for s in range(3):
        z, g = dense_robust(x, y[s], 40.0, 6, weighting)
        np.testing.assert_allclose(got.z[s], z, rtol=1e-8, atol=1e-8)
        np.testing.assert_allclose(got.weights[s], g, rtol=1e-7, atol=1e-9)
        assert np.array_equal(got.weights[s] == 0, g == 0)


@pytest.mark.parametrize("flavour", ["f64", "f32"])
@pytest.mark.parametrize("lam", ["gcv", "reml", 25.0])
def test_contract_with_the_single_pass_smoother(flavour, lam):
    dt = np.float64 if flavour == "f64" else np.float32
    smooth = getattr(qa, "smooth_" + flavour)
    solve = getattr(qb, "whittaker_solve_" + flavour)
    rng = np.random.default_rng(12)
    x, y, _, _ = outlying(rng, 4, 100)
    y[2, 30:40] = np.nan
    x, y = x.astype(dt), y.astype(dt)
    got = smooth(x, y, lam=lam, robust="tukey", scale="huber")
    assert got.weights.dtype == dt
    for s in range(4):
        ref = solve(x, y[s:s + 1], got.weights[s:s + 1], lam=dt(got.lam[s]))
        assert np.array_equal(got.z[s], ref[0]), s
    # The statistics are those of the automatic smoother on the last weights.
    again = smooth(x, y, got.weights, lam=lam)
    if isinstance(lam, str):
        assert np.array_equal(again.lam, got.lam)
    assert np.array_equal(again.z, got.z) and np.array_equal(again.edf, got.edf)


def test_serial_parallel_shuffled_and_split_agree():
    rng = np.random.default_rng(13)
    x, y, _, _ = outlying(rng, 29, 70)
    opts = dict(robust="hampel", iterations=8, return_uncertainty=True)
    got = qa.smooth_f64(x, y, **opts)
    serial = qa.smooth_f64(x, y, parallel=False, **opts)
    perm = rng.permutation(29)
    shuffled = qa.smooth_f64(x, y[perm], **opts)
    halves = [qa.smooth_f64(x, y[:9], **opts), qa.smooth_f64(x, y[9:], **opts)]
    for field in ("z", "lam", "edf", "score", "sigma", "weights", "leverage", "se"):
        a = getattr(got, field)
        assert np.array_equal(a, getattr(serial, field), equal_nan=True), field
        assert np.array_equal(a[perm], getattr(shuffled, field), equal_nan=True), field
        split = np.concatenate([getattr(h, field) for h in halves])
        assert np.array_equal(a, split, equal_nan=True), field


@pytest.mark.parametrize("gross", [1e20, -3.4028235e38, 3.4028235e38])
@pytest.mark.parametrize("flavour", ["f64", "f32"])
def test_one_gross_value_rejects_no_good_observation(flavour, gross):
    dt = np.float64 if flavour == "f64" else np.float32
    smooth = getattr(qa, "smooth_" + flavour)
    rng = np.random.default_rng(14)
    x = np.arange(365, dtype=dt)
    truth = 0.5 + 0.3 * np.sin(2 * np.pi * np.arange(365) / 365)
    y = (truth + rng.normal(0, 0.03, 365))[None, :].astype(dt)
    bad, missing = y.copy(), y.copy()
    bad[0, 200] = dt(gross)
    missing[0, 200] = np.nan
    got = smooth(x, bad, robust="tukey")
    ref = smooth(x, missing, robust="tukey")
    assert got.weights[0, 200] == 0
    for field in ("z", "lam", "weights"):
        assert np.array_equal(getattr(got, field), getattr(ref, field)), field
    good = np.arange(365) != 200
    assert np.count_nonzero(got.weights[0, good] == 0) <= 2
    assert np.sqrt(np.mean((got.z[0] - truth) ** 2)) < 0.01
    # The plain robust smoother at a fixed lam loses many good observations to it.
    if flavour == "f32" or abs(gross) < 1e300:
        _, w = qb.__dict__["robust_whittaker_irls_" + flavour](
            x, bad, lam=1000.0, iterations=3, return_weights=True)
        assert np.count_nonzero(w[0, good] == 0) > 50


def test_a_moderate_outlier_chased_by_a_small_lam_is_still_rejected():
    # GCV on the first (unweighted) fit may follow a large outlier; its leverage exposes it.
    rng = np.random.default_rng(15)
    x, y, truth, hit = outlying(rng, 20, 150, fraction=0.03, size=8.0)
    got = qa.smooth_f64(x, y, robust="tukey")
    assert np.all(got.weights[hit] == 0)
    assert np.mean(got.weights[~hit] == 0) < 0.01
    plain = qa.smooth_f64(x, y)
    rmse = lambda z: np.sqrt(np.mean((z - truth) ** 2))  # noqa: E731
    assert rmse(got.z) < 0.5 * rmse(plain.z)


def test_without_robust_it_is_the_plain_smoother():
    rng = np.random.default_rng(16)
    x, y, _, _ = outlying(rng, 3, 50)
    plain = qa.smooth_f64(x, y, lam="loocv")
    for same in (qa.smooth_f64(x, y, lam="loocv", robust=None),
                 qa.smooth_f64(x, y, lam="loocv", robust=None, iterations=4)):
        for field in ("z", "lam", "edf", "score", "sigma", "at_bound"):
            assert np.array_equal(getattr(same, field), getattr(plain, field), equal_nan=True)
        assert same.weights is None and plain.weights is None
    one = qa.smooth_f64(x, y, lam="loocv", robust="tukey", iterations=1)
    assert np.array_equal(one.z, plain.z) and np.all(one.weights == 1)


def test_argument_checks():
    x = np.arange(10.0)
    y = np.ones((1, 10))
    with pytest.raises(ValueError, match="^Unknown weighting: Gauss$"):
        qa.smooth_f64(x, y, robust="Gauss")
    with pytest.raises(ValueError, match="^iterations must be >= 1$"):
        qa.smooth_f64(x, y, robust="tukey", iterations=0)
    with pytest.raises(ValueError, match='^scale must be "mad" or "huber"'):
        qa.smooth_f64(x, y, robust="tukey", scale="iqr")
    with pytest.raises(ValueError, match="^tuning constants used by the weighting"):
        qa.smooth_f64(x, y, robust="hampel", tuning=(1.0, -2.0, 8.0))
    with pytest.raises(ValueError, match="^Unknown criterion for lam: 'aic'"):
        qa.smooth_f64(x, y, lam="aic", robust="tukey")
    with pytest.raises(TypeError, match="argument 'robust'"):
        qa.smooth_f64(x, y, robust=3)
    # Accepted as robust_whittaker_irls_* accepts them.
    qa.smooth_f64(x, y, robust="BiSquare", scale="HUBER", tuning=(0, 0, 3.0))
