"""Type information for the compiled module ``quelbrin``.

The module is exactly six functions. Arrays are NumPy arrays of one element type per
function: float64 for the ``_f64`` flavours, float32 for the ``_f32`` flavours; no
conversion is made, so an array of the other type is a ``TypeError`` at run time.

``numpy.ma.MaskedArray`` arguments (as netCDF4 and rasterio return them) are read through
their masks: a masked entry of ``y_st`` is a missing observation (like NaN), a masked entry
of ``w_base_st`` a weight of 0, and a masked entry of ``x`` a ``ValueError``.  A masked
array without masked entries is read like the plain array it holds.

Argument values are checked before any work, each failure a ``ValueError`` naming the
argument: ``x`` strictly increasing and finite; ``lam`` and ``ridge`` finite and >= 0 and
``eps`` finite, all three as the flavour's element type (so ``lam=1e39`` is infinite, and
refused, in the ``_f32`` functions; zero and negative ``eps`` keep their meaning);
``normalize`` exactly "mean", "median" or None; ``w_base_st`` finite wherever ``y_st`` is
observed (at missing observations it is never read); and for the robust smoother
``iterations >= 1``, ``scale`` "mad" or "huber" in any letter case, and the ``tuning``
constants the weighting reads (hampel: a, b and c; the others: c) finite and > 0.

No result is handed out that the module cannot vouch for.  A smoothed series with a
non-finite value, or one beyond 1e6 x max(1, its largest |observation|), raises
``ValueError`` ("the smoothed result is not finite or exceeds 1e6 x max(1, max|y|): ...";
causes: positions closer than ``eps`` allows, an extreme ``lam`` or weights).  The ``_f32``
smoothers check each series against the float64 system (one step of mixed-precision
refinement); a series whose error estimate exceeds 1e-4 x its largest |observation| is
smoothed again exactly as the ``_f64`` flavour smooths its inputs promoted to float64 and
rounded back, so every float32 series is within 1e-3 x its largest |observation| of the
float64 answer.  Each series is judged on its own: batching never changes a row.  The pool:
if its threads cannot be started, a call runs on the calling thread (same numbers) and the
next one tries again.
"""

from typing import Literal, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt

__all__ = [
    "build_pb_f64",
    "build_pb_f32",
    "whittaker_solve_f64",
    "whittaker_solve_f32",
    "robust_whittaker_irls_f64",
    "robust_whittaker_irls_f32",
]

_F64: TypeAlias = npt.NDArray[np.float64]
_F32: TypeAlias = npt.NDArray[np.float32]

# Scalars go through Python's float conversion: ints, floats, NumPy scalars, anything with
# __float__ or __index__.  Orders and counts take anything with __index__ (not floats).
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Count: TypeAlias = SupportsIndex
# Only Python bools and NumPy bool scalars are accepted, not 0 or 1.
_Flag: TypeAlias = bool | np.bool_

# The names the functions document.  Weighting and scale names are matched in any letter
# case, so those parameters also take str: the literals are there for completion and
# documentation, not to reject valid calls.  normalize takes these two exact names (or None)
# and nothing else.
_Weighting: TypeAlias = Literal["tukey", "bisquare", "huber", "cauchy", "welsch", "fair", "hampel"]
_Scale: TypeAlias = Literal["mad", "huber"]
_Normalize: TypeAlias = Literal["mean", "median"]
_Tuning: TypeAlias = tuple[_Float, _Float, _Float]

def build_pb_f64(
    x: _F64,
    d: _Count = 2,
    normalize: _Normalize | None = None,
    eps: _Float | None = None,
) -> tuple[_F64, int]: ...
def build_pb_f32(
    x: _F32,
    d: _Count = 2,
    normalize: _Normalize | None = None,
    eps: _Float | None = None,
) -> tuple[_F32, int]: ...
def whittaker_solve_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
) -> _F64: ...
def whittaker_solve_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
) -> _F32: ...

# return_weights picks the result: omitted or False gives z_st alone, True gives the pair
# (z_st, w_total_st), a bool known only at run time gives either.
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: Literal[False] = False,
    merge_x_tol: _Float | None = 1e-2,
) -> _F64: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None,
    lam: _Float,
    d: _Count,
    iterations: _Count,
    weighting: _Weighting | str,
    scale: _Scale | str,
    ridge: _Float,
    normalize: _Normalize | None,
    eps: _Float,
    parallel: _Flag,
    tuning: _Tuning | None,
    return_weights: Literal[True],
    merge_x_tol: _Float | None = 1e-2,
) -> tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    *,
    return_weights: Literal[True],
    merge_x_tol: _Float | None = 1e-2,
) -> tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f64(
    x: _F64,
    y_st: _F64,
    w_base_st: _F64 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: _Flag = False,
    merge_x_tol: _Float | None = 1e-2,
) -> _F64 | tuple[_F64, _F64]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: Literal[False] = False,
    merge_x_tol: _Float | None = 1e-2,
) -> _F32: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None,
    lam: _Float,
    d: _Count,
    iterations: _Count,
    weighting: _Weighting | str,
    scale: _Scale | str,
    ridge: _Float,
    normalize: _Normalize | None,
    eps: _Float,
    parallel: _Flag,
    tuning: _Tuning | None,
    return_weights: Literal[True],
    merge_x_tol: _Float | None = 1e-2,
) -> tuple[_F32, _F32]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    *,
    return_weights: Literal[True],
    merge_x_tol: _Float | None = 1e-2,
) -> tuple[_F32, _F32]: ...
@overload
def robust_whittaker_irls_f32(
    x: _F32,
    y_st: _F32,
    w_base_st: _F32 | None = None,
    lam: _Float = 10.0,
    d: _Count = 2,
    iterations: _Count = 1,
    weighting: _Weighting | str = "tukey",
    scale: _Scale | str = "mad",
    ridge: _Float = 1e-10,
    normalize: _Normalize | None = "mean",
    eps: _Float = 1e-10,
    parallel: _Flag = True,
    tuning: _Tuning | None = None,
    return_weights: _Flag = False,
    merge_x_tol: _Float | None = 1e-2,
) -> _F32 | tuple[_F32, _F32]: ...
