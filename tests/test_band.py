"""The penalty band against a dense D built from the divided-difference definition."""

import numpy as np
import pytest

import quelbrin as qb


def dense_penalty(x, d):
    D = np.eye(len(x))
    for j in range(1, d + 1):
        D = (D[1:] - D[:-1]) / (x[j:] - x[:-j])[:, None]
    return D.T @ D


@pytest.mark.parametrize("d", [0, 1, 2, 3])
@pytest.mark.parametrize("T, seed", [(5, 0), (30, 1)])
def test_band_matches_dense_definition(d, T, seed):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.05, 3.0, T)) - 20.0
    P = dense_penalty(x, d)
    expect = np.zeros((2 * d + 1, T))
    for j in range(min(2 * d, T - 1) + 1):
        expect[j, j:] = np.diagonal(P, -j)
    pb, k = qb.build_pb_f64(x, d=d)
    assert k == 2 * d and pb.shape == expect.shape
    np.testing.assert_allclose(pb, expect, rtol=1e-10, atol=1e-12 * np.abs(P).max())
    pb32, _ = qb.build_pb_f32(x.astype(np.float32), d=d)
    np.testing.assert_allclose(pb32, expect, rtol=1e-3, atol=1e-5 * np.abs(P).max())


@pytest.mark.parametrize("T, d", [(2, 2), (2, 5), (4, 1000)])
def test_too_few_positions_give_a_zero_band(T, d):
    pb, k = qb.build_pb_f64(np.arange(T, dtype=np.float64), d=d)
    assert k == 2 * d and pb.shape == (2 * d + 1, T) and not pb.any()
