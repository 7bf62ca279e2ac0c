"""Type information for quelbrin_auto (automatic choice of lam per series)."""

from typing import Any, Literal, NamedTuple, TypeAlias, overload

import numpy as np
import numpy.typing as npt

_F64: TypeAlias = npt.NDArray[np.float64]
_F32: TypeAlias = npt.NDArray[np.float32]
Criterion: TypeAlias = Literal["gcv", "loocv", "reml", "vcurve"]
Normalize: TypeAlias = Literal["mean", "median"] | str | None
_Lam: TypeAlias = Criterion | str | float | npt.NDArray[np.float64] | npt.NDArray[np.float32]
Weighting: TypeAlias = Literal["tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel"]

__all__ = ["SmoothResult", "envelope_f32", "envelope_f64", "smooth_f32", "smooth_f64"]

class SmoothResult(NamedTuple):
    z: npt.NDArray[Any]
    lam: _F64
    edf: _F64
    score: _F64
    sigma: _F64
    at_bound: npt.NDArray[np.bool_]
    leverage: npt.NDArray[Any] | None = None
    se: npt.NDArray[Any] | None = None
    weights: npt.NDArray[Any] | None = None

def smooth_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Lam = "gcv",
    d: int = 2,
    ridge: float = 1e-10,
    normalize: Normalize = "mean",
    eps: float = 1e-10,
    lam_bounds: tuple[float, float] | list[float] = (1e-3, 1e9),
    parallel: bool = True,
    return_uncertainty: bool = False,
    robust: Weighting | str | None = None,
    iterations: int = 5,
    tuning: tuple[float, float, float] | None = None,
    scale: Literal["mad", "huber"] | str = "mad",
) -> SmoothResult: ...
def smooth_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Lam = "gcv",
    d: int = 2,
    ridge: float = 1e-10,
    normalize: Normalize = "mean",
    eps: float = 1e-10,
    lam_bounds: tuple[float, float] | list[float] = (1e-3, 1e9),
    parallel: bool = True,
    return_uncertainty: bool = False,
    robust: Weighting | str | None = None,
    iterations: int = 5,
    tuning: tuple[float, float, float] | None = None,
    scale: Literal["mad", "huber"] | str = "mad",
) -> SmoothResult: ...
def envelope_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    p: float = 0.9,
    lam: _Lam = "vcurve",
    iterations: int = 10,
    d: int = 2,
    ridge: float = 1e-10,
    normalize: Normalize = "mean",
    eps: float = 1e-10,
    lam_bounds: tuple[float, float] | list[float] = (1e-3, 1e9),
    parallel: bool = True,
    return_uncertainty: bool = False,
) -> SmoothResult: ...
def envelope_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    p: float = 0.9,
    lam: _Lam = "vcurve",
    iterations: int = 10,
    d: int = 2,
    ridge: float = 1e-10,
    normalize: Normalize = "mean",
    eps: float = 1e-10,
    lam_bounds: tuple[float, float] | list[float] = (1e-3, 1e9),
    parallel: bool = True,
    return_uncertainty: bool = False,
) -> SmoothResult: ...
