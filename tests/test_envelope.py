"""quelbrin_auto.envelope_*: the asymmetric loop against explicit dense refits, the screen of
gross values against its rule written out in NumPy, the lam chosen on the asymmetric weights,
the contract with the single-pass smoother, the batch promises and the argument checks."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import quelbrin as qb
import quelbrin_auto as qa
from test_band import dense_penalty

RESULT_FIELDS = ("z", "lam", "edf", "score", "sigma", "at_bound", "weights")


def normalised(x):
    return (x - x[0]) / np.mean(np.diff(x))


def cloudy(rng, S, T, fraction, dtype=np.float64):
    """Seasonal curves on a daily grid with one-sided drops (clouds) at `fraction` of days."""
    x = np.arange(T, dtype=np.float64)
    phase = rng.uniform(0, 2 * np.pi, (S, 1))
    truth = 0.45 + 0.3 * np.sin(2 * np.pi * x / 365.0 + phase)
    y = truth + rng.normal(0, 0.02, (S, T))
    drop = rng.random((S, T)) < fraction
    y[drop] -= rng.uniform(0.1, 0.4, drop.sum())
    return x.astype(dtype), y.astype(dtype), truth


def dense_asymmetric(x, y, w, lam, p, iterations, d=2, ridge=1e-10):
    """Asymmetric least squares by its definition: dense solves, weights w p above the fit and
    w (1 - p) elsewhere, refitted until the weights repeat."""
    P = dense_penalty(normalised(x), d)
    obs = np.isfinite(y) & (w > 0)
    base = np.where(obs, w, 0.0)
    yv = np.where(obs, y, 0.0)
    g = base.copy()
    for k in range(iterations):
        z = np.linalg.solve(np.diag(g) + lam * P + ridge * np.eye(len(x)), g * yv)
        if k == iterations - 1:
            break
        new = base * np.where(yv > z, p, 1 - p)
        if np.array_equal(new, g):
            break
        g = new
    return z, g


def gross_reference(y, w):
    """Which counted observations the screen removes: more than 100 robust scales from the
    median (1.4826 MAD; the non-zero deviations' median when the MAD is 0)."""
    counted = np.isfinite(y) & (w > 0)
    v = y[counted].astype(np.float64)
    centre = np.median(v)
    dev = np.abs(v - centre)
    mad = np.median(dev)
    if mad == 0:
        nonzero = dev[dev > 0]
        if nonzero.size == 0:
            return np.zeros_like(counted)
        mad = np.median(nonzero)
    gross = np.zeros_like(counted)
    gross[counted] = dev > 100 * 1.4826 * mad
    return gross


@pytest.mark.parametrize("p", [0.9, 0.05])
def test_fixed_lam_matches_dense_refits(p):
    rng = np.random.default_rng(1)
    x = np.cumsum(rng.uniform(0.5, 2.0, 60))
    y = np.sin(x / 6)[None, :] + rng.normal(0, 0.1, (3, 60))
    y[0, 5] = np.nan
    w = rng.uniform(0.5, 2.0, y.shape)
    got = qa.envelope_f64(x, y, w, p=p, lam=30.0, iterations=12)
    for s in range(3):
        z, g = dense_asymmetric(x, y[s], w[s], 30.0, p, 12)
        np.testing.assert_allclose(got.z[s], z, rtol=1e-9, atol=1e-9)
        assert np.array_equal(got.weights[s], g)
    assert np.all(got.lam == 30.0) and np.all(np.isnan(got.score))


def test_envelope_rides_above_clouds_and_baseline_below_peaks():
    rng = np.random.default_rng(2)
    x, y, truth = cloudy(rng, 4, 365, 0.3)
    up = qa.envelope_f64(x, y, p=0.9)
    plain = qa.smooth_f64(x, y, lam="vcurve")
    rmse = lambda z: np.sqrt(np.mean((z - truth) ** 2))  # noqa: E731
    assert rmse(up.z) < 0.5 * rmse(plain.z)
    # A baseline (p small) stays under positive peaks.
    t = np.linspace(0, 1, 400)
    base = 1 + t**2
    peaks = 5 * np.exp(-((t - 0.3) / 0.01) ** 2) + 3 * np.exp(-((t - 0.7) / 0.02) ** 2)
    spectrum = (base + peaks + rng.normal(0, 0.01, 400))[None, :]
    low = qa.envelope_f64(t, spectrum, p=0.01, lam=1e5, iterations=30)
    assert np.max(np.abs(low.z[0] - base)) < 0.1


@pytest.mark.parametrize("criterion", ["vcurve", "gcv", "reml"])
def test_lam_is_chosen_on_the_weights_of_the_last_fit(criterion):
    # The last fit is the automatic smoother's on the asymmetric weights it reports.
    rng = np.random.default_rng(3)
    x, y, _ = cloudy(rng, 3, 200, 0.2)
    got = qa.envelope_f64(x, y, p=0.85, lam=criterion, iterations=100)
    again = qa.smooth_f64(x, y, got.weights, lam=criterion)
    assert np.array_equal(got.lam, again.lam)
    assert np.array_equal(got.z, again.z)


@pytest.mark.parametrize("flavour", ["f64", "f32"])
@pytest.mark.parametrize("lam", ["vcurve", "gcv", 50.0])
def test_contract_with_the_single_pass_smoother(flavour, lam):
    dt = np.float64 if flavour == "f64" else np.float32
    envelope = getattr(qa, "envelope_" + flavour)
    solve = getattr(qb, "whittaker_solve_" + flavour)
    rng = np.random.default_rng(4)
    x, y, _ = cloudy(rng, 5, 120, 0.3, dt)
    y[1, 10:20] = np.nan
    y[2, :] = np.nan
    w = rng.uniform(0.5, 1.5, y.shape).astype(dt)
    got = envelope(x, y, w, p=0.8, lam=lam, normalize="median")
    assert got.z.dtype == dt and got.weights.dtype == dt
    for s in range(5):
        ref = solve(x, y[s:s + 1], got.weights[s:s + 1], lam=dt(got.lam[s]),
                    normalize="median")
        assert np.array_equal(got.z[s], ref[0]), s
    assert np.all(got.weights[~np.isfinite(y)] == 0)
    assert np.all(got.weights[2] == 0) and got.at_bound[2] == isinstance(lam, str)


@pytest.mark.parametrize("flavour", ["f64", "f32"])
def test_serial_parallel_shuffled_and_split_agree(flavour):
    dt = np.float64 if flavour == "f64" else np.float32
    envelope = getattr(qa, "envelope_" + flavour)
    rng = np.random.default_rng(5)
    x, y, _ = cloudy(rng, 37, 90, 0.25, dt)
    y[3, ::3] = np.nan
    got = envelope(x, y, lam="gcv", return_uncertainty=True)
    serial = envelope(x, y, lam="gcv", return_uncertainty=True, parallel=False)
    perm = rng.permutation(37)
    shuffled = envelope(x, y[perm], lam="gcv", return_uncertainty=True)
    halves = [envelope(x, y[:11], lam="gcv", return_uncertainty=True),
              envelope(x, y[11:], lam="gcv", return_uncertainty=True)]
    for field in RESULT_FIELDS + ("leverage", "se"):
        a = getattr(got, field)
        assert np.array_equal(a, getattr(serial, field), equal_nan=True), field
        assert np.array_equal(a[perm], getattr(shuffled, field), equal_nan=True), field
        split = np.concatenate([getattr(h, field) for h in halves])
        assert np.array_equal(a, split, equal_nan=True), field


def test_uncertainty_is_that_of_the_last_fit():
    rng = np.random.default_rng(6)
    x, y, _ = cloudy(rng, 2, 80, 0.2)
    got = qa.envelope_f64(x, y, lam="gcv", return_uncertainty=True)
    P = dense_penalty(normalised(x), 2)
    for s in range(2):
        g = got.weights[s]
        Ainv = np.linalg.inv(np.diag(g) + got.lam[s] * P + 1e-10 * np.eye(80))
        np.testing.assert_allclose(got.leverage[s], g * np.diag(Ainv), rtol=1e-7, atol=1e-12)
        np.testing.assert_allclose(got.edf[s], np.sum(g * np.diag(Ainv)), rtol=1e-7)


@pytest.mark.parametrize("gross", [1e20, -3.4028235e38, 3.4028235e38])
@pytest.mark.parametrize("flavour", ["f64", "f32"])
def test_a_gross_value_is_screened_as_if_missing(flavour, gross):
    dt = np.float64 if flavour == "f64" else np.float32
    envelope = getattr(qa, "envelope_" + flavour)
    rng = np.random.default_rng(7)
    x, y, truth = cloudy(rng, 1, 365, 0.3, dt)
    bad, missing = y.copy(), y.copy()
    bad[0, 100] = dt(gross)
    missing[0, 100] = np.nan
    got = envelope(x, bad, p=0.9)
    ref = envelope(x, missing, p=0.9)
    assert got.weights[0, 100] == 0
    for field in RESULT_FIELDS:
        assert np.array_equal(getattr(got, field), getattr(ref, field)), field
    assert np.sqrt(np.mean((got.z[0] - truth[0]) ** 2)) < 0.05


def test_screen_follows_its_rule():
    rng = np.random.default_rng(8)
    y = rng.normal(0, 1, (3, 300))
    # Outliers at a range of robust scales, some inside the limit, some beyond.
    for k, scales in enumerate([30, 80, 95, 105, 130, 1e6]):
        y[0, 10 + k] = scales * 1.4826 * 0.6745
    # Most values equal (MAD 0): the non-zero deviations give the scale.
    y[1, :] = 2.0
    y[1, ::4] += rng.normal(0, 1, 75)
    y[1, 7] = 2 + 400.0
    y[1, 9] = 2 + 40.0
    y[2, :] = 5.0  # all equal: nothing is gross
    w = np.ones_like(y)
    w[0, 12] = 0  # an observation that does not count is never part of the rule
    got = qa.envelope_f64(np.arange(300.0), y, w, lam=10.0, iterations=1)
    for s in range(3):
        gross = gross_reference(y[s], w[s])
        assert np.array_equal(got.weights[s] == 0, gross | (w[s] == 0)), s
    assert got.weights[0, 14] == 0 and got.weights[0, 12] == 0 and got.weights[0, 11] == 1
    assert got.weights[1, 7] == 0 and got.weights[1, 9] == 1


def test_stops_when_the_weights_repeat_and_one_fit_is_the_smoother():
    rng = np.random.default_rng(9)
    x, y, _ = cloudy(rng, 3, 100, 0.2)
    once = qa.envelope_f64(x, y, lam="gcv", iterations=1)
    plain = qa.smooth_f64(x, y, lam="gcv")
    assert np.array_equal(once.z, plain.z) and np.array_equal(once.lam, plain.lam)
    assert np.all(once.weights == 1)
    # A fixed lam settles quickly; more iterations change nothing once it has.
    a = qa.envelope_f64(x, y, lam=100.0, iterations=50)
    b = qa.envelope_f64(x, y, lam=100.0, iterations=5000)
    assert np.array_equal(a.z, b.z) and np.array_equal(a.weights, b.weights)


def test_degenerate_series():
    x = np.arange(6.0)
    y = np.array([[np.nan] * 6, [1.0, np.nan, np.nan, np.nan, np.nan, 2.0],
                  [1.0, 2.0, 0.5, 3.0, 2.0, 1.0]])
    got = qa.envelope_f64(x, y)
    assert np.all(got.z[0] == 0) and np.all(got.weights[0] == 0)
    assert got.at_bound[0] and got.at_bound[1] and got.lam[1] == 1e9
    empty = qa.envelope_f64(x, np.zeros((0, 6)))
    assert empty.z.shape == (0, 6) and empty.weights.shape == (0, 6) and empty.lam.shape == (0,)


@pytest.mark.parametrize("p", [0.0, 1.0, -0.5, 1.5, float("nan"), float("inf")])
def test_p_outside_the_open_unit_interval_is_refused(p):
    x = np.arange(10.0)
    with pytest.raises(ValueError, match=r"^p must be between 0 and 1 \(exclusive\), got "):
        qa.envelope_f64(x, np.ones((1, 10)), p=p)


def test_argument_checks_are_those_of_smooth():
    x = np.arange(10.0)
    y = np.ones((2, 10))
    cases = [dict(lam="aic"), dict(lam=-1.0), dict(lam=np.ones(3)), dict(lam_bounds=(5, 1)),
             dict(normalize="mode"), dict(ridge=-1.0)]
    for kwargs in cases:
        with pytest.raises(ValueError) as smooth_error:
            qa.smooth_f64(x, y, **kwargs)
        with pytest.raises(ValueError) as envelope_error:
            qa.envelope_f64(x, y, **kwargs)
        assert str(envelope_error.value) == str(smooth_error.value)
    with pytest.raises(ValueError, match="^x must be strictly increasing"):
        qa.envelope_f64(x[::-1].copy(), y)
    with pytest.raises(ValueError, match="^iterations must be >= 1$"):
        qa.envelope_f64(x, y, iterations=0)
    with pytest.raises(TypeError, match="argument 'p'"):
        qa.envelope_f64(x, y, p="high")
    with pytest.raises(TypeError):
        qa.envelope_f64(x, y.astype(np.float32))


def replayed_cycling_case():
    """Cauchy noise at a fixed lam on which the asymmetric weights of some series cycle
    instead of settling (found by a search with this generator)."""
    rng = np.random.default_rng(1)
    for _ in range(2):
        T = int(rng.integers(8, 60))
        y = rng.standard_cauchy((30, T))
        p = float(rng.choice([0.5, 0.6, 0.9, 0.99, 0.3]))
        lam = float(10 ** rng.uniform(-3, 6))
    return np.arange(float(T)), y, p, lam


@pytest.mark.parametrize("robust", [False, True])
def test_weights_that_cycle_cost_only_the_fits_before_the_cycle(robust):
    x, y, p, lam = replayed_cycling_case()

    def run(n):
        if robust:
            return qa.smooth_f64(x, y, lam=lam, robust="tukey", iterations=n)
        return qa.envelope_f64(x, y, p=p, lam=lam, iterations=n)

    runs = {n: run(n) for n in range(60, 100)}
    # Per series: the period of its results over the iteration count (1 once settled; none
    # for a robust series still converging).
    huge = 2**62 + 7
    far = run(huge)  # returns at once: the cycle is found, the rest is skipped
    cycling = 0
    for s in range(len(y)):
        period = next((q for q in range(1, 20)
                       if all(np.array_equal(runs[n].z[s], runs[n + q].z[s])
                              and np.array_equal(runs[n].weights[s], runs[n + q].weights[s])
                              for n in range(60, 80))), None)
        if period is None:
            continue
        cycling += period > 1
        same = runs[60 + (huge - 60) % period]
        assert np.array_equal(far.z[s], same.z[s]) and np.array_equal(far.weights[s],
                                                                       same.weights[s])
    assert cycling > 0


@pytest.mark.parametrize("dt", [np.float64])
@pytest.mark.parametrize("method", ["envelope", "robust"])
def test_a_series_that_cannot_be_fitted_is_nan_with_one_warning(dt, method):
    rng = np.random.default_rng(31)
    x, y, _ = cloudy(rng, 6, 60, 0.2, dtype=dt)
    sfx = "_f64" if dt == np.float64 else "_f32"
    if method == "envelope":
        fn, extra = getattr(qa, "envelope" + sfx), {"p": 0.9}
    else:
        fn, extra = getattr(qa, "smooth" + sfx), {"robust": "tukey", "iterations": 3}
    lams = np.geomspace(1.0, 1e3, 6)
    bad = lams.copy()
    bad[[1, 4]] = 1e38  # fits the trust rule refuses
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        r = fn(x, y, lam=bad, d=3, **extra)
    caught = [c for c in caught if issubclass(c.category, RuntimeWarning)]
    assert len(caught) == 1 and "2 series" in str(caught[0].message)
    assert "rows 1, 4" in str(caught[0].message)
    assert np.isnan(r.z[[1, 4]]).all() and np.isnan(r.lam[[1, 4]]).all()
    good = [0, 2, 3, 5]
    ref = fn(x, y[good], lam=lams[good], d=3, **extra)
    for field in ("z", "lam", "edf", "sigma", "weights"):
        assert np.array_equal(getattr(r, field)[good], getattr(ref, field), equal_nan=True)
