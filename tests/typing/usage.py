"""Typed use of quelbrin, checked by mypy --strict against the installed stub and also run.

Everything outside the TYPE_CHECKING block is a call the module accepts at run time, so
running this file proves that what the stub allows really works; the lines inside the
block are mistakes the stub must reject (strict mode reports a stale ignore comment).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import numpy as np
import numpy.typing as npt

import quelbrin

F64 = npt.NDArray[np.float64]
F32 = npt.NDArray[np.float32]


def smooth_pair(x: F64, y: F64, robust: bool) -> F64 | tuple[F64, F64]:
    # A flag known only at run time gives either result.
    return quelbrin.robust_whittaker_irls_f64(x, y, return_weights=robust)


def main() -> None:
    x = np.linspace(0.0, 30.0, 31)
    y = np.sin(x / 4.0)[None, :] + np.zeros((3, 1))
    y[1, 5] = np.nan
    x32 = x.astype(np.float32)
    y32 = y.astype(np.float32)

    pb, k = quelbrin.build_pb_f64(x)
    assert_type(pb, F64)
    assert_type(k, int)
    pb32, k32 = quelbrin.build_pb_f32(x32, d=1, normalize="median", eps=None)
    assert_type(pb32, F32)
    assert pb.shape == (k + 1, x.size) and k32 == 2

    z = quelbrin.whittaker_solve_f64(x, y, lam=np.float32(5.0), d=np.int64(2), parallel=np.True_)
    assert_type(z, F64)
    z32 = quelbrin.whittaker_solve_f32(x32, y32, None, 3, 1, 0.0, None, 1e-6, False)
    assert_type(z32, F32)

    zr = quelbrin.robust_whittaker_irls_f64(x, y, iterations=3, weighting="TUKEY", scale="Huber")
    assert_type(zr, F64)
    zt, wt = quelbrin.robust_whittaker_irls_f64(x, y, tuning=(1, 2, 3.5), return_weights=True)
    assert_type(zt, F64)
    assert_type(wt, F64)
    # Every argument given by position, return_weights among them.
    zp, wp = quelbrin.robust_whittaker_irls_f32(
        x32, y32, None, 10.0, 2, 2, "hampel", "mad", 1e-10, "mean", 1e-10, True, None, True, None
    )
    assert_type(zp, F32)
    assert_type(wp, F32)
    zf = quelbrin.robust_whittaker_irls_f32(x32, y32, return_weights=False, merge_x_tol=0.0)
    assert_type(zf, F32)
    assert zt.shape == wt.shape == zp.shape == zf.shape == y.shape

    either = smooth_pair(x, y, robust=True)
    assert isinstance(either, tuple)


if TYPE_CHECKING:
    _x = np.zeros(4)
    _y = np.zeros((1, 4))
    quelbrin.whittaker_solve_f64(_x.tolist(), _y)  # type: ignore[arg-type]
    quelbrin.whittaker_solve_f64(_x, _y, lam="5")  # type: ignore[arg-type]
    quelbrin.whittaker_solve_f64(_x, _y, d=2.0)  # type: ignore[arg-type]
    quelbrin.whittaker_solve_f64(_x, _y, parallel=1)  # type: ignore[arg-type]
    quelbrin.robust_whittaker_irls_f64(_x, _y, tuning=[1.0, 2.0, 3.0])  # type: ignore[call-overload]
    quelbrin.robust_whittaker_irls_f64(_x, _y, weighting=None)  # type: ignore[call-overload]
    quelbrin.build_pb_f64(_x, lam=1.0)  # type: ignore[call-arg]
    _z: F64 = quelbrin.robust_whittaker_irls_f64(_x, _y, return_weights=True)  # type: ignore[assignment]


if __name__ == "__main__":
    main()
    print("typed usage ran")
