"""Hostile numbers: extreme lam, eps, ridge and d, degenerate spacings, infinities, empty and
one-column inputs, grids that merge away, huge iteration counts.  None of them may crash;
each gives its documented result or error."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelbrin
from conftest import FLAVOURS, bits, noisy_series
INSTABILITY = ("Numerical instability in f32 solver; try robust_whittaker_irls_f64 or "
               "increase eps/ridge")
UNTRUSTED = "^the smoothed result is not finite or exceeds 1e6 x max"


def fns(suffix):
    return (getattr(quelbrin, "whittaker_solve" + suffix),
            getattr(quelbrin, "robust_whittaker_irls" + suffix))


def data(dt, S=3, T=12, seed=5):
    x, y = noisy_series(np.random.default_rng(seed), dt, S, T, period=2, noise=0.1)
    y[0, 3] = 40.0
    return x, y


def smooth_or_instability(f, *args, **kw):
    """A robust float32 call either returns finite output or raises the instability error
    (its fallback could not cure the result); float64 returns whatever it computes."""
    try:
        return f(*args, **kw)
    except ValueError as e:
        assert f.__name__.endswith("_f32") and str(e) == INSTABILITY
        return None


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("d", [0, 1, 2, 5, 10])
def test_no_penalty_and_no_ridge_return_the_data(suffix, dt, d):
    # Every pivot is 1 and every coupling 0, so the output is the input exactly, any d.
    x, y = data(dt)
    for f in fns(suffix):
        np.testing.assert_array_equal(f(x, y, lam=0.0, ridge=0.0, d=d), y)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("lam", [1e300, 1e-300])
def test_extreme_lam_does_not_fail(suffix, dt, lam):
    # Accepted by the argument checks; the smoothers either return a result or find the
    # system too ill-conditioned (a ValueError of its own), the same with parallel on or off.
    lam = min(lam, float(np.finfo(dt).max))  # the largest lam the flavour accepts
    x, y = data(dt)
    solve, robust = fns(suffix)

    def outcome(f, **kw):
        try:
            return bits(f(x, y, lam=lam, **kw))
        except ValueError as e:
            assert not str(e).startswith("lam ")
            return str(e)

    for f, kw in ((solve, {}), (robust, {"iterations": 3})):
        assert outcome(f, parallel=True, **kw) == outcome(f, parallel=False, **kw)
    z = outcome(solve)
    assert isinstance(z, str) or z[:2] == (np.dtype(dt), y.shape)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_non_finite_eps_is_refused(suffix, dt):
    x, y = data(dt)
    build = getattr(quelbrin, "build_pb" + suffix)
    for eps in (np.nan, np.inf, -np.inf):
        for call in (lambda: build(x, eps=eps), *(lambda f=f: f(x, y, eps=eps) for f in fns(suffix))):
            with pytest.raises(ValueError, match="^eps must be finite$"):
                call()


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_zero_eps_on_zero_weights(suffix, dt):
    # No observation, no penalty, no ridge, no floor: 0/0.  No NaN is handed out: float64
    # refuses its result, and float32 solves again as float64 would, with the same outcome.
    x, _ = data(dt)
    y = np.full((2, len(x)), np.nan, dt)
    solve, _ = fns(suffix)
    with pytest.raises(ValueError, match=UNTRUSTED):
        solve(x, y, lam=0.0, ridge=0.0, eps=0.0)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_zero_eps_with_exact_fit_zeroes_the_robust_weights(suffix, dt):
    # lam = ridge = 0 reproduces the data, so every residual is 0 and, with eps = 0, so is
    # the scale: 0/0 gives tukey weight 0 everywhere, and the second solve has no weights,
    # so its 0/0 result is refused (float32: its float64 refit is no better).
    x = np.arange(5, dtype=dt)
    y = np.array([[1, 2, 3, 4, 5]], dt)
    _, robust = fns(suffix)
    with pytest.raises(ValueError, match=UNTRUSTED if dt == np.float64 else INSTABILITY):
        robust(x, y, lam=0, ridge=0, eps=0, iterations=2, return_weights=True)
    z, w = robust(x, y, lam=0, ridge=0, eps=0, iterations=1, return_weights=True)
    assert bits(z) == bits(y) and bits(w) == bits(np.ones_like(y))


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_missing_series_give_zero_rows(suffix, dt):
    x, y = data(dt)
    y[1] = np.nan
    w = np.ones_like(y)
    w[2] = 0.0
    solve, robust = fns(suffix)
    for ridge in (1e-10, 0.0):
        z = solve(x, y, w, ridge=ridge)
        assert not z[1].any() and not z[2].any() and np.isfinite(z[0]).all()
    z, wt = robust(x, y, w, iterations=4, return_weights=True)
    for s in (1, 2):
        assert not z[s].any() and not wt[s].any()
    assert np.isfinite(z[0]).all() and wt[0, 3] == 0 and (np.delete(wt[0], 3) > 0.5).all()


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_polynomials_below_the_order_pass_unchanged(suffix, dt):
    # The penalty vanishes on polynomials of degree < d, so they come back (to rounding).
    T = 14
    x = np.linspace(-1.0, 1.0, T).astype(dt)
    solve, robust = fns(suffix)
    tol = 1e-8 if dt == np.float64 else 2e-3
    for d in (1, 2, 3, 4):
        y = np.polynomial.polynomial.polyval(x, np.arange(1.0, d + 1)).astype(dt)[None, :]
        for f in (solve, robust):
            np.testing.assert_allclose(f(x, y, d=d, lam=1e3, ridge=0.0), y, rtol=0, atol=tol)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("d", [10**12, 2**63, 2**64 - 1])
def test_huge_d(suffix, dt, d):
    x, y = data(dt)
    build = getattr(quelbrin, "build_pb" + suffix)
    with pytest.raises(MemoryError, match="."):
        build(x, d=d)  # a (2d+1, T) band cannot exist
    solve, robust = fns(suffix)
    # More positions than the order: no difference row, no penalty, so lam plays no part.
    assert bits(solve(x, y, d=d)) == bits(solve(x, y, d=d, lam=0.0))
    with pytest.raises(ValueError, match="^x must have length > d after merging$"):
        robust(x, y, d=d)
    assert build(x)[1] == 4  # and the next call is fine


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_d_up_to_ten_against_a_dense_solve(suffix, dt):
    x, y = data(np.float64, S=2, T=16)
    solve, _ = fns(suffix)
    for d in range(11):
        pb, k = quelbrin.build_pb_f64(x, d=d, normalize="mean", eps=1e-10)
        T = len(x)
        P = np.zeros((T, T))
        for j in range(k + 1):
            for i in range(j, T):
                P[i, i - j] = P[i - j, i] = pb[j, i]
        lam = 0.5
        ref = np.linalg.solve(np.eye(T) + lam * P + 1e-10 * np.eye(T), y.T).T
        z = solve(x.astype(dt), y.astype(dt), lam=lam, d=d)
        scale = np.abs(ref).max()
        tol = 1e-7 if dt == np.float64 else 5e-3
        np.testing.assert_allclose(z, ref, rtol=0, atol=tol * scale, err_msg=f"d={d}")


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_tiny_spacings_are_floored_by_eps(suffix, dt):
    # Without normalisation every spacing below eps counts as eps, so positions 1e-300
    # apart smooth like positions eps apart; with normalisation they are a unit grid.
    tiny = 1e-300 if dt == np.float64 else 1e-40
    eps = 1e-3
    T = 8
    x = (np.arange(T) * tiny).astype(dt)
    assert (np.diff(x) > 0).all()
    _, y = data(dt, T=T)
    solve, robust = fns(suffix)
    floored = solve(np.arange(T, dtype=dt) * dt(eps / 4), y, normalize=None, eps=eps)
    np.testing.assert_array_equal(solve(x, y, normalize=None, eps=eps), floored)
    unit = np.arange(T, dtype=dt)
    np.testing.assert_allclose(solve(x, y), solve(unit, y), rtol=1e-4, atol=1e-4)
    np.testing.assert_allclose(robust(x, y, merge_x_tol=None), robust(unit, y), rtol=1e-4,
                               atol=1e-4)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_huge_spacings(suffix, dt):
    big = 1e300 if dt == np.float64 else 1e37
    T = 8
    x = (np.arange(T) * big - big).astype(dt)
    _, y = data(dt, T=T)
    solve, robust = fns(suffix)
    unit = np.arange(T, dtype=dt)
    for f in (solve, robust):
        np.testing.assert_allclose(f(x, y), f(unit, y), rtol=1e-4, atol=1e-4)
    # Raw spacings of 1e300: the divided differences underflow, the penalty all but vanishes.
    np.testing.assert_allclose(solve(x, y, normalize=None), y, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("normalize", ["mean", "median", None])
def test_infinite_positions(suffix, dt, normalize):
    # Strictly increasing with an infinite end is refused by every function.
    solve, robust = fns(suffix)
    build = getattr(quelbrin, "build_pb" + suffix)
    for ends in ((-np.inf, np.inf), (-np.inf, 9), (-1, np.inf)):
        x = np.array([ends[0], 0, 1, 2, 3, 5, ends[1]], dt)
        _, y = data(dt, T=len(x))
        for call in (lambda: build(x, normalize=normalize),
                     lambda: solve(x, y, normalize=normalize),
                     lambda: robust(x, y, normalize=normalize, iterations=3)):
            with pytest.raises(ValueError, match="^x must hold only finite values$"):
                call()


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_empty_and_single_column(suffix, dt):
    solve, robust = fns(suffix)
    build = getattr(quelbrin, "build_pb" + suffix)
    x, y = data(dt)
    none = y[:0]
    assert solve(x, none).shape == (0, len(x))
    z, w = robust(x, none, return_weights=True)
    assert z.shape == w.shape == (0, len(x)) and z.dtype == w.dtype == dt
    # T = 0 and T = 1
    for T in (0, 1):
        xs, ys = x[:T].copy(), y[:, :T].copy()
        with pytest.raises(ValueError, match="^x must have length >=2$"):
            build(xs)
        with pytest.raises(ValueError, match="^x must have length >=2 after merging$"):
            robust(xs, ys)
        assert solve(xs, ys).shape == (3, T)
    # One column, no penalty: each value solved on its own, (w*y/sqrt(a))/sqrt(a).
    xs, ys = x[:1].copy(), y[:, :1].copy()
    a = dt(1) + dt(1e-10)
    expect = (ys / np.sqrt(a)) / np.sqrt(a)
    for d in (0, 1, 2, 7):
        np.testing.assert_array_equal(solve(xs, ys, d=d, lam=0.0 if d == 0 else 10.0), expect)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("tol", [1e300, np.inf, 100.0])
def test_merge_tolerance_that_merges_everything(suffix, dt, tol):
    x, y = data(dt)
    _, robust = fns(suffix)
    with pytest.raises(ValueError, match="^x must have length >=2 after merging$"):
        robust(x, y, merge_x_tol=tol)
    # NaN and negative tolerances disable merging.
    for off in (np.nan, -1.0):
        assert bits(robust(x, y, merge_x_tol=off)) == bits(robust(x, y, merge_x_tol=None))


def test_byte_swapped_arrays_are_refused_not_misread():
    x = np.arange(6.0)
    y = np.ones((2, 6))
    for args in ((x.astype(">f8"), y), (x, y.astype(">f8")), (x, y, y.astype(">f8"))):
        with pytest.raises(TypeError, match="cannot be cast as 'ndarray'"):
            quelbrin.whittaker_solve_f64(*args)


def run_with_timeout(code, timeout=60):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == 0, r.stderr
    return r.stdout


@pytest.mark.parametrize("suffix", ["_f64", "_f32"])
def test_huge_iteration_counts_end_once_weights_repeat(suffix):
    # At the level of rounding the robust weights of ordinary data end in a cycle (often of
    # period 1, often longer).  Each series' cycle is found here by brute force from the
    # total weights of runs of n = 1, 2, ... steps; 2**64-1 steps must then return at once,
    # every row equal to the run whose count lands on the same point of that cycle.  In a
    # child: a hang fails by its timeout.
    out = run_with_timeout(f"""
        import numpy as np, quelbrin
        f = quelbrin.robust_whittaker_irls{suffix}
        dt = np.float64 if "{suffix}" == "_f64" else np.float32
        rng = np.random.default_rng(3)
        x = np.cumsum(rng.uniform(0.5, 1.5, 40)).astype(dt)
        y = (np.sin(x / 4)[None, :] + rng.normal(0, 0.2, (5, 40))).astype(dt)
        y[:, 7] += 30
        y[2, 20:30] = np.nan
        N = 2**64 - 1
        for weighting in ("huber", "hampel"):
            runs = [f(x, y, iterations=n, weighting=weighting, return_weights=True)
                    for n in range(1, 300)]
            huge = f(x, y, iterations=N, weighting=weighting, return_weights=True)
            for s in range(y.shape[0]):
                seen = {{}}
                for i, (_, w) in enumerate(runs):
                    j = seen.setdefault(w[s].tobytes(), i)
                    if j != i:
                        break
                else:
                    raise AssertionError("no repeat within 300 steps")
                n = j + 1 + (N - (j + 1)) % (i - j)  # steps, on the same point of the cycle
                z_n, w_n = runs[n - 1]
                assert huge[0][s].tobytes() == z_n[s].tobytes(), (weighting, s)
                assert huge[1][s].tobytes() == w_n[s].tobytes(), (weighting, s)
        print("ok")
    """)
    assert out.split() == ["ok"]


@pytest.mark.skipif(os.environ.get("QUELBRIN_BIG_PROBE") != "1",
                    reason="needs ~9 GB of memory: QUELBRIN_BIG_PROBE=1 to run")
def test_offsets_past_two_to_the_31():
    # More than 2**31 output elements from a broadcast input (one row of real memory): every
    # offset must be computed in 64 bits, on the pool's threads too.  Rows on both sides of
    # the 2**31 boundary and a sample of all rows must equal the smoothed row.
    T = 1000
    S = 2**31 // T + 50_000
    x = np.arange(T, dtype=np.float32)
    row = np.sin(x / 30) + np.float32(0.5)
    y = np.broadcast_to(row, (S, T))
    w = np.broadcast_to(np.linspace(0.5, 1.5, T, dtype=np.float32)[:, None], (T, S)).T
    for weights in (None, w):
        z = quelbrin.whittaker_solve_f32(x, y, weights, parallel=True)
        assert z.shape == (S, T)
        expect = quelbrin.whittaker_solve_f32(x, y[:1], None if weights is None else w[:1])[0]
        edge = 2**31 // T
        rows = [0, 1, edge - 1, edge, edge + 1, S - 1]
        rows += list(np.random.default_rng(0).integers(0, S, 2000))
        for s in rows:
            assert z[s].tobytes() == expect.tobytes(), s
        del z
