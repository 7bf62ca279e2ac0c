"""Typed use of quelbrin_auto, checked with mypy --strict by tests/test_auto.py."""

import numpy as np
import numpy.typing as npt

import quelbrin_auto

x = np.arange(50.0)
y = np.random.default_rng(0).standard_normal((3, 50))
r: quelbrin_auto.SmoothResult = quelbrin_auto.smooth_f64(x, y, lam="reml", d=2)
lam: npt.NDArray[np.float64] = r.lam
at: npt.NDArray[np.bool_] = r.at_bound
again = quelbrin_auto.smooth_f64(x, y, lam=r.lam, return_uncertainty=True)
if again.se is not None:
    band = again.z + 2 * again.se
r32 = quelbrin_auto.smooth_f32(x.astype(np.float32), y.astype(np.float32), lam=10.0,
                               lam_bounds=(1e-2, 1e6), parallel=False)
env = quelbrin_auto.envelope_f64(x, y, p=0.9, lam="vcurve", iterations=10)
if env.weights is not None:
    kept: npt.NDArray[np.float64] = env.weights
base = quelbrin_auto.envelope_f32(x.astype(np.float32), y.astype(np.float32), p=0.02, lam=1e5)
rob = quelbrin_auto.smooth_f64(x, y, robust="tukey", iterations=5, scale="huber",
                               tuning=(0.0, 0.0, 4.0))
