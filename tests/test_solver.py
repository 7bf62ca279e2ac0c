"""The banded solver, through the single-pass smoother, against a dense solve."""

import numpy as np
import pytest

import quelbrin as qb
from test_band import dense_penalty


@pytest.mark.parametrize("fn, dt, tol", [(qb.whittaker_solve_f64, np.float64, 1e-7),
                                         (qb.whittaker_solve_f32, np.float32, 2e-3)])
@pytest.mark.parametrize("d", [0, 1, 2, 3])
def test_matches_dense_solve_with_zero_and_negative_weights(fn, dt, tol, d):
    rng = np.random.default_rng(d)
    x = np.cumsum(rng.uniform(0.2, 2.0, 40)).astype(dt).astype(float)
    y = (np.sin(x / 4.0) + 0.3 * rng.standard_normal((4, 40))).astype(dt).astype(float)
    w = rng.uniform(0.2, 2.0, (4, 40)).astype(dt).astype(float)
    w[:, ::7] = 0.0
    w[1, 5] = -0.05
    z = fn(x.astype(dt), y.astype(dt), w.astype(dt), lam=3.0, d=d, ridge=1e-6, normalize=None, eps=1e-12)
    A = 3.0 * dense_penalty(x, d) + 1e-6 * np.eye(40)
    for s in range(4):
        expect = np.linalg.solve(A + np.diag(w[s]), np.where(w[s] > 0, w[s] * y[s], 0.0))
        np.testing.assert_allclose(z[s], expect, rtol=tol, atol=tol)
