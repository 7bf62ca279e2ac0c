"""Whittaker smoothing with the smoothing weight ``lam`` chosen for every series.

``smooth_f64`` / ``smooth_f32`` choose ``lam`` per series by a criterion (``"gcv"``,
``"loocv"``, ``"reml"``, ``"vcurve"``) within ``lam_bounds``, or take it as given (one
number, or one per series), and return a :class:`SmoothResult`.  For every series ``s``,
``z[s]`` equals, bit for bit, ``quelbrin.whittaker_solve_f64(x, y_st[s:s+1],
w_base_st[s:s+1], lam=lam[s], d=d, ridge=ridge, normalize=normalize, eps=eps)[0]``
(``whittaker_solve_f32`` for ``smooth_f32``, whose ``lam`` values are float32 numbers).
"""

from __future__ import annotations

import inspect
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _quelbrin_auto

__all__ = ["SmoothResult", "smooth_f32", "smooth_f64"]


class SmoothResult(NamedTuple):
    """The smoothed series and, per series, the lam used and what it gave."""

    z: npt.NDArray[Any]
    """(S, T) the smoothed series (the dtype of the input)."""
    lam: npt.NDArray[np.float64]
    """(S,) the lam of each series (float32 numbers for smooth_f32)."""
    edf: npt.NDArray[np.float64]
    """(S,) effective degrees of freedom, the trace of the smoother matrix, in [0, m]
    (NaN where it cannot be computed accurately at lam)."""
    score: npt.NDArray[np.float64]
    """(S,) the criterion at lam (NaN when lam was given, or where it means nothing or
    cannot be evaluated accurately)."""
    sigma: npt.NDArray[np.float64]
    """(S,) residual scale sqrt(RSS / (m - edf)) (NaN where m - edf is not positive,
    m <= d, or RSS cannot be evaluated accurately)."""
    at_bound: npt.NDArray[np.bool_]
    """(S,) the choice sits at an end of lam_bounds or of the range where the series'
    criterion can be evaluated (also: nothing to choose, m <= d)."""
    leverage: npt.NDArray[Any] | None = None
    """(S, T) the diagonal of the smoother matrix (0 where unobserved), if asked for."""
    se: npt.NDArray[Any] | None = None
    """(S, T) pointwise standard error sigma * sqrt(diag(A^-1)), if asked for."""

    def __repr__(self) -> str:
        def show(a: npt.NDArray[Any] | None) -> str:
            if a is None:
                return "None"
            shape = "x".join(str(n) for n in a.shape)
            if a.ndim == 1 and a.dtype != np.bool_ and a.size:
                finite = a[np.isfinite(a)]
                if finite.size:
                    return (f"<{shape} {a.dtype}: median {np.median(finite):.4g}, "
                            f"range {finite.min():.4g} .. {finite.max():.4g}>")
            if a.dtype == np.bool_:
                return f"<{shape} bool: {int(a.sum())} true>"
            return f"<{shape} {a.dtype}>"

        fields = ", ".join(f"{name}={show(getattr(self, name))}" for name in self._fields)
        return f"SmoothResult({fields})"


def _result(raw: tuple[Any, Any, Any, Any]) -> SmoothResult:
    z, stats, leverage, se = raw
    lam, edf, score, sigma, at_bound = (np.array(row) for row in stats)
    return SmoothResult(z, lam, edf, score, sigma, at_bound.astype(np.bool_), leverage, se)


def _lam_argument(lam: Any) -> Any:
    # A float32 array of per-series values (a stored smooth_f32 result) is widened exactly.
    if isinstance(lam, np.ndarray) and lam.dtype == np.float32:
        return lam.astype(np.float64)
    return lam


def _wrap(core: Any) -> Any:
    def smooth(*args: Any, **kwargs: Any) -> SmoothResult:
        if len(args) > 3:
            args = (*args[:3], _lam_argument(args[3]), *args[4:])
        elif "lam" in kwargs:
            kwargs["lam"] = _lam_argument(kwargs["lam"])
        return _result(core(*args, **kwargs))

    smooth.__name__ = smooth.__qualname__ = core.__name__
    return smooth


smooth_f64 = _wrap(_quelbrin_auto.smooth_f64)
smooth_f32 = _wrap(_quelbrin_auto.smooth_f32)


_DOC = """Whittaker smoother with lam chosen for every series ({kind}).

Parameters
----------
x : ndarray[{dt}], shape (T,), strictly increasing, contiguous
y_st : ndarray[{dt}], shape (S, T); NaN/inf = missing
w_base_st : ndarray[{dt}], shape (S, T) or None
lam : "gcv", "loocv", "reml", "vcurve", a positive number, or an (S,) float64 array
    A criterion chooses lam per series within lam_bounds; a number (or one per series)
    is used as given.  lam acts on the normalised grid, as in quelbrin.
d, ridge, normalize, eps, parallel : as in quelbrin.whittaker_solve_{sfx}
lam_bounds : (lower, upper), default (1e-3, 1e9)
return_uncertainty : bool, default False
    Also return leverage and se, (S, T).

Returns
-------
SmoothResult(z, lam, edf, score, sigma, at_bound, leverage, se)
    z[s] is, bit for bit, quelbrin.whittaker_solve_{sfx}(x, y_st[s:s+1], w_base_st[s:s+1],
    lam=lam[s], d=d, ridge=ridge, normalize=normalize, eps=eps)[0].  A series whose fit
    fails the smoother's trust rule is NaN throughout (z, lam and the statistics) and the
    call emits one RuntimeWarning naming how many and the first rows.

Raises
------
ValueError
    As quelbrin.whittaker_solve_{sfx}; also for a base weight that is negative or not
    finite where y_st is observed, lam_bounds that are not two increasing positive numbers
    (float32 numbers for smooth_f32), and a V-curve lower bound not above 100 x ridge.
"""

for _fn, _core, _kind, _dt, _sfx in (
    (smooth_f64, _quelbrin_auto.smooth_f64, "float64", "float64", "f64"),
    (smooth_f32, _quelbrin_auto.smooth_f32, "float32 data, float32 lam", "float32", "f32"),
):
    _fn.__doc__ = _DOC.format(kind=_kind, dt=_dt, sfx=_sfx)
    # The compiled function's parameters (names and defaults live there only).
    _fn.__signature__ = inspect.signature(_core).replace(  # type: ignore[attr-defined]
        return_annotation=SmoothResult)
