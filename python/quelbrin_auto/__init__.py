"""Whittaker smoothing with the smoothing weight ``lam`` chosen for every series.

``smooth_f64`` / ``smooth_f32`` choose ``lam`` per series by a criterion (``"gcv"``,
``"loocv"``, ``"reml"``, ``"vcurve"``) within ``lam_bounds``, or take it as given (one
number, or one per series), and return a :class:`SmoothResult`.  For every series ``s``,
``z[s]`` equals, bit for bit, ``quelbrin.whittaker_solve_f64(x, y_st[s:s+1],
w_base_st[s:s+1], lam=lam[s], d=d, ridge=ridge, normalize=normalize, eps=eps)[0]``
(``whittaker_solve_f32`` for ``smooth_f32``, whose ``lam`` values are float32 numbers).

The numerical work runs without the GIL: other Python threads go on, and calls from several
threads overlap (with a fixed ``lam`` this is the thread-friendly form of
``whittaker_solve_*``).  Ctrl-C interrupts a call.
``smooth_*(..., robust="tukey")`` re-chooses lam on robust weights after every fit, and
``envelope_f64`` / ``envelope_f32`` fit an upper envelope (``p > 0.5``: series pulled down
by clouds) or a baseline (``p < 0.5``: spectra with peaks), lam chosen as the weights change.
Both return the ``weights`` of their last fit, and ``z[s]`` is then, bit for bit,
``quelbrin.whittaker_solve_f64(x, y_st[s:s+1], weights[s:s+1], lam=lam[s], ...)[0]``.
"""

from __future__ import annotations

import inspect
from importlib import metadata as _metadata
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

import _quelbrin_auto

__all__ = ["SmoothResult", "envelope_f32", "envelope_f64", "smooth_f32", "smooth_f64"]

try:  # the version of the installed wheel (both modules ship in it)
    __version__: str = _metadata.version("quelbrin")
except _metadata.PackageNotFoundError:  # run from a build tree, not installed
    __version__ = "0+unknown"


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
    weights: npt.NDArray[Any] | None = None
    """(S, T) the weights of the last fit (envelope, robust), 0 where not counted."""

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


def _result(raw: tuple[Any, ...]) -> SmoothResult:
    z, stats, leverage, se = raw[:4]
    weights = raw[4] if len(raw) > 4 else None
    lam, edf, score, sigma, at_bound = (np.array(row) for row in stats)
    return SmoothResult(z, lam, edf, score, sigma, at_bound.astype(np.bool_), leverage, se,
                        weights)


def _lam_argument(lam: Any) -> Any:
    # A float32 array of per-series values (a stored smooth_f32 result) is widened exactly.
    if isinstance(lam, np.ndarray) and lam.dtype == np.float32:
        return lam.astype(np.float64)
    return lam


# Arguments that only the robust form of smooth_* takes (after return_uncertainty).
_ROBUST_ONLY = ("robust", "iterations", "tuning", "scale")
_SMOOTH_POSITIONAL = 11


def _wrap(core: Any, robust_core: Any | None = None, lam_at: int = 3) -> Any:
    def smooth(*args: Any, **kwargs: Any) -> SmoothResult:
        if len(args) > lam_at:
            args = (*args[:lam_at], _lam_argument(args[lam_at]), *args[lam_at + 1:])
        elif "lam" in kwargs:
            kwargs["lam"] = _lam_argument(kwargs["lam"])
        chosen = core
        if robust_core is not None and (len(args) > _SMOOTH_POSITIONAL
                                        or any(k in kwargs for k in _ROBUST_ONLY)):
            chosen = robust_core
        return _result(chosen(*args, **kwargs))

    smooth.__name__ = smooth.__qualname__ = core.__name__
    return smooth


smooth_f64 = _wrap(_quelbrin_auto.smooth_f64, _quelbrin_auto.smooth_robust_f64)
smooth_f32 = _wrap(_quelbrin_auto.smooth_f32, _quelbrin_auto.smooth_robust_f32)
envelope_f64 = _wrap(_quelbrin_auto.envelope_f64, lam_at=4)
envelope_f32 = _wrap(_quelbrin_auto.envelope_f32, lam_at=4)


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
robust : None or "tukey", "huber", "cauchy", "welsch", "fair", "hampel"
    Robust smoothing: after every fit the observations are re-weighted as
    quelbrin.robust_whittaker_irls_{sfx} does (same weighting, tuning and scale rules), the
    residuals first divided by sqrt(1 - leverage), and lam is chosen again on the new
    weights, at most `iterations` fits (default 5; fewer when the weights repeat).
    Gross values (more than 100 robust scales from the series' median, such as an unmasked
    nodata of -3.4e38) get weight 0 before the first fit.
iterations, tuning, scale : used with robust only (tuning None: the weighting's defaults;
    scale "mad" or "huber").

Returns
-------
SmoothResult(z, lam, edf, score, sigma, at_bound, leverage, se, weights)
    z[s] is, bit for bit, quelbrin.whittaker_solve_{sfx}(x, y_st[s:s+1], w_base_st[s:s+1],
    lam=lam[s], d=d, ridge=ridge, normalize=normalize, eps=eps)[0]; with robust, weights
    is the (S, T) weights of the last fit and takes the place of w_base_st there.  A series
    whose fit fails the smoother's trust rule is NaN throughout (z, lam and the statistics)
    and the call emits one RuntimeWarning naming how many and the first rows.

Raises
------
ValueError
    As quelbrin.whittaker_solve_{sfx}; also for a base weight that is negative or not
    finite where y_st is observed, lam_bounds that are not two increasing positive numbers
    (float32 numbers for smooth_f32), and a V-curve lower bound not above 100 x ridge.
"""

_ENVELOPE_DOC = """Asymmetric Whittaker smoother with lam chosen at every fit ({kind}).

The upper envelope of series pulled down by clouds (p > 0.5), or the baseline under the
peaks of spectra (p < 0.5): after every fit the weights become w * p where y > z and
w * (1 - p) elsewhere (w: the base weight).  A criterion chooses lam on the base weights
for the first fit, and again on the asymmetric weights whenever they have settled at the
current lam; a series is done when the lam chosen on its settled weights is the one they
settled at, or after `iterations` fits.  Gross values (more than 100
robust scales from the series' median: 1.4826 times the median absolute deviation, or of
the non-zero deviations when most values equal the median), such as an unmasked nodata of
-3.4e38 or a 1e20, get weight 0 before the first fit.

Parameters
----------
x : ndarray[{dt}], shape (T,), strictly increasing, contiguous
y_st : ndarray[{dt}], shape (S, T); NaN/inf = missing
w_base_st : ndarray[{dt}], shape (S, T) or None
p : float in (0, 1), default 0.9
lam : "vcurve" (default), "gcv", "loocv", "reml", a positive number, or an (S,) array
    A criterion chooses lam per series as above, judged on the asymmetric weights.
iterations : int >= 1, default 10
d, ridge, normalize, eps, parallel : as in quelbrin.whittaker_solve_{sfx}
lam_bounds : (lower, upper), default (1e-3, 1e9)
return_uncertainty : bool, default False

Returns
-------
SmoothResult(z, lam, edf, score, sigma, at_bound, leverage, se, weights)
    weights (S, T): the weights of the last fit (0 where missing or gross); z[s] is, bit
    for bit, quelbrin.whittaker_solve_{sfx}(x, y_st[s:s+1], weights[s:s+1], lam=lam[s],
    d=d, ridge=ridge, normalize=normalize, eps=eps)[0].
"""

for _fn, _core, _doc, _kind, _dt, _sfx in (
    (smooth_f64, _quelbrin_auto.smooth_robust_f64, _DOC, "float64", "float64", "f64"),
    (smooth_f32, _quelbrin_auto.smooth_robust_f32, _DOC, "float32 data, float32 lam", "float32",
     "f32"),
    (envelope_f64, _quelbrin_auto.envelope_f64, _ENVELOPE_DOC, "float64", "float64", "f64"),
    (envelope_f32, _quelbrin_auto.envelope_f32, _ENVELOPE_DOC, "float32 data, float32 lam",
     "float32", "f32"),
):
    _fn.__doc__ = _doc.format(kind=_kind, dt=_dt, sfx=_sfx)
    # The compiled function's parameters (names and defaults live there only).
    _fn.__signature__ = inspect.signature(_core).replace(  # type: ignore[attr-defined]
        return_annotation=SmoothResult)
