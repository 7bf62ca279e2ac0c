"""Every row comes out with the same bits whether it is smoothed alone, inside a batch whose
size is no multiple of any lane width (at several positions), from a strided view, or with
parallel on or off: the lanes, remainders and tiles of the batch kernels never leak into the
numbers.  Bits are compared as integers, so -0.0 and NaN payloads count."""

import numpy as np
import pytest

import quelbrin
from conftest import FLAVOURS, same_bits as same
S = 37


def data(dt, T, seed, hostile=True):
    """Irregular x; noise with NaN, +-inf and -0.0 observations; weights with zeros, -0.0 and
    negative values; an outlier row; with `hostile`, a row all missing."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.1, 2.0, T)).astype(dt)
    y = (np.sin(x / 7.0)[None, :] + rng.normal(0.0, 0.5, (S, T))).astype(dt)
    u = rng.random((S, T))
    y[u < 0.05] = np.nan
    y[(u >= 0.05) & (u < 0.06)] = np.inf
    y[(u >= 0.06) & (u < 0.065)] = -np.inf
    y[(u >= 0.065) & (u < 0.075)] = -0.0
    y[5, ::7] = 40.0
    w = rng.uniform(0.2, 2.0, (S, T)).astype(dt)
    v = rng.random((S, T))
    w[v < 0.05] = 0.0
    w[(v >= 0.05) & (v < 0.08)] = -1e-3  # mild: the systems stay positive definite
    w[(v >= 0.08) & (v < 0.1)] = -0.0
    if hostile:
        y[3] = np.nan
    return x, y, w


def rows_agree(f, x, y, w, **kw):
    """f on all rows (parallel) against: serial, every row alone, the tail of the batch from
    several offsets, and a transposed (strided) copy of the input."""
    full = f(x, y, w, parallel=True, **kw)
    outs = full if isinstance(full, tuple) else (full,)
    serial = f(x, y, w, parallel=False, **kw)
    for a, b in zip(outs, serial if isinstance(serial, tuple) else (serial,)):
        assert same(a, b)
    for s in range(S):
        alone = f(x, y[s:s + 1], w[s:s + 1], **kw)
        for a, b in zip(outs, alone if isinstance(alone, tuple) else (alone,)):
            assert same(a[s:s + 1], b), f"row {s}"
    for lo in (1, 2, 5, 11, 30):
        part = f(x, y[lo:], w[lo:], **kw)
        for a, b in zip(outs, part if isinstance(part, tuple) else (part,)):
            assert same(a[lo:], b), f"offset {lo}"
    yt, wt = y.T.copy().T, w.T.copy().T  # same values, column-major strides
    strided = f(x, yt, wt, **kw)
    for a, b in zip(outs, strided if isinstance(strided, tuple) else (strided,)):
        assert same(a, b)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("d", [0, 1, 2, 3])
@pytest.mark.parametrize("T", [29, 150])
def test_single_pass_rows_do_not_depend_on_the_batch(suffix, dt, d, T):
    x, y, w = data(dt, T, seed=10 * d + T)
    f = getattr(quelbrin, "whittaker_solve" + suffix)
    rows_agree(f, x, y, w, d=d)
    ones = np.ones_like(w)
    rows_agree(f, x, y, ones, d=d)  # the same path as no base weights
    assert same(f(x, y, None, d=d), f(x, y, ones, d=d))


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("lam,eps", [(0.0, 1e-10), (10.0, 0.0), (10.0, 1e-45), (10.0, -1.0),
                                     (1e-30, 1e30)])
def test_single_pass_rows_agree_where_the_short_loops_do_not_apply(suffix, dt, lam, eps):
    x, y, w = data(dt, 29, seed=7)
    w = np.abs(w)  # without a floor on the pivots, a negative weight can zero one
    f = getattr(quelbrin, "whittaker_solve" + suffix)
    rows_agree(f, x, y, w, d=2, lam=lam, eps=eps, ridge=1e-10)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("d", [0, 1, 2, 3])
@pytest.mark.parametrize("weighting,scale", [("tukey", "mad"), ("huber", "huber"),
                                             ("hampel", "mad")])
def test_robust_rows_do_not_depend_on_the_batch(suffix, dt, d, weighting, scale):
    x, y, w = data(dt, 40, seed=d)
    f = getattr(quelbrin, "robust_whittaker_irls" + suffix)
    rows_agree(f, x, y, w, d=d, iterations=3, weighting=weighting, scale=scale,
               return_weights=True)


def test_robust_float64_rows_agree_with_many_steps():
    x, y, w = data(np.float64, 29, seed=3)
    f = quelbrin.robust_whittaker_irls_f64
    rows_agree(f, x, y, w, d=2, iterations=25, return_weights=True)
