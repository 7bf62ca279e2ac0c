"""The single-pass smoother: missing data, layouts, validation, degenerate lengths."""

import subprocess
import sys

import numpy as np
import pytest

import quelbrin as qb
from conftest import FLAVOURS
from test_band import dense_penalty

SOLVERS = [(f.solve, f.dtype) for f in FLAVOURS]


def data(S, T, dt=np.float64, seed=0):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.1, 2.5, T))
    return x.astype(dt), (np.sin(x / 5.0) + 0.2 * rng.standard_normal((S, T))).astype(dt)


@pytest.mark.parametrize("d", [1, 2, 3])
def test_non_finite_observations_are_missing(d):
    x, y = data(4, 50, seed=d)
    y[0, 3], y[1, 10:20], y[2, ::5], y[3] = np.nan, np.inf, -np.inf, np.nan
    z = qb.whittaker_solve_f64(x, y, lam=4.0, d=d, ridge=1e-8, normalize=None, eps=1e-12)
    for s in range(3):
        w = np.isfinite(y[s]).astype(float)
        expect = np.linalg.solve(np.diag(w + 1e-8) + 4.0 * dense_penalty(x, d), np.where(w > 0, y[s], 0))
        np.testing.assert_allclose(z[s], expect, rtol=1e-7, atol=1e-8)
    assert not z[3].any()  # all missing: zeros, not NaN


@pytest.mark.parametrize("fn, dt", SOLVERS)
def test_any_layout_gives_the_contiguous_bits(fn, dt):
    x, y = data(5, 30, dt)
    y[2, 7] = np.nan
    w = np.random.default_rng(1).uniform(0.1, 2.0, y.shape).astype(dt)
    big = np.zeros((10, 90), dt)
    big[::2, ::3] = y
    expect = fn(x, y, w, lam=3.0, d=3).tobytes()
    for yv in (big[::2, ::3], np.ascontiguousarray(y[::-1])[::-1], np.asfortranarray(y)):
        assert fn(x, yv, np.asfortranarray(w), lam=3.0, d=3).tobytes() == expect
    assert fn(x, y, w, lam=3.0, d=3, parallel=False).tobytes() == expect


@pytest.mark.parametrize("x, y, w, message", [
    (np.array([0.0, 2.0, 1.0]), np.zeros((1, 4)), np.zeros((3, 3)), "y_st shape must be (S,T) with T=len(x)"),
    (np.array([np.nan, 1.0, 2.0]), np.zeros((1, 3)), np.zeros((3, 3)), "x must be strictly increasing"),
    (np.arange(3.0), np.zeros((2, 3)), np.zeros((2, 4)), "w_base_st must match y_st shape"),
])
def test_validation_order(x, y, w, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        qb.whittaker_solve_f64(x, y, w)


@pytest.mark.parametrize("fn, dt", SOLVERS)
@pytest.mark.parametrize("S", [0, 3])
def test_empty_positions_give_an_empty_result(fn, dt, S):
    z = fn(np.zeros(0, dt), np.zeros((S, 0), dt))
    assert z.shape == (S, 0) and z.dtype == dt


@pytest.mark.parametrize("fn, dt", SOLVERS)
@pytest.mark.parametrize("T, d", [(1, 2), (2, 2), (4, 60)])
def test_short_series_have_no_penalty(fn, dt, T, d):
    x, y = data(3, T, dt, seed=T)
    y[1, 0] = np.nan
    w = np.random.default_rng(d).uniform(0.5, 2.0, (3, T)).astype(dt)
    z = fn(x, y, w, lam=50.0, d=d, ridge=0.25)
    assert z.tobytes() == fn(x, y, w, lam=0.0, d=0, ridge=0.25).tobytes()
    ws = np.where(np.isfinite(y), w, 0).astype(dt)
    np.testing.assert_allclose(z, ws * np.nan_to_num(y) / (ws + dt(0.25)), rtol=1e-5)


def test_huge_order_on_short_series_is_quick_and_exact():
    code = (
        "import numpy as np, quelbrin as qb\n"
        "y = np.array([[1.0, 2.0, 4.0]])\n"
        "for d in (10**12, 2**63, 2**64 - 1):\n"
        "    assert qb.whittaker_solve_f64(np.arange(3.0), y, d=d, ridge=0.0).tobytes() == y.tobytes()\n"
        "    assert qb.whittaker_solve_f32(np.arange(3, dtype='f4'), y.astype('f4'), d=d, ridge=0.0)[0, 2] == 4\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr


def test_mean_normalisation_ignores_grid_scale():
    x, y = data(2, 40)
    z = qb.whittaker_solve_f64(x, y)
    np.testing.assert_allclose(qb.whittaker_solve_f64(x * 1e3 + 5.0, y), z, rtol=1e-8, atol=1e-10)
    assert np.abs(qb.whittaker_solve_f64(x * 10.0, y, normalize=None) - z).max() > 1e-3
