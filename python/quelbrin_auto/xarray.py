"""quelbrin_auto for labelled cubes: smooth an ``xarray.DataArray`` along a named dimension.

``smooth(data, "time", lam="reml")`` smooths every series of ``data`` along ``time`` with
one of quelbrin_auto's smoothers and returns an ``xarray.Dataset``: the smoothed values and,
per series, the lam used and what it gave, with the data's coordinates and attributes.  A
Dask-backed ``data`` stays lazy (one task per chunk, each chunk holding whole series).

This module imports xarray only when it is called (``pip install quelbrin[xarray]``); it
never imports Dask itself (xarray drives a Dask-backed array).
"""

from __future__ import annotations

import inspect
from collections.abc import Callable, Hashable, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import numpy as np
import numpy.typing as npt

import quelbrin
import quelbrin_auto

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["smooth", "time_positions", "work_dtype"]

_F64 = npt.NDArray[np.float64]
_AT = "__quelbrin_at__"  # the output grid of at=, renamed once the result is built


def _xarray() -> Any:
    try:
        import xarray
    except ImportError as e:  # pragma: no cover - exercised in a venv without xarray
        raise ImportError(
            "quelbrin_auto.xarray needs xarray: pip install 'quelbrin[xarray]'") from e
    return xarray


def work_dtype(dtype: npt.DTypeLike) -> np.dtype[Any]:
    """The precision data of ``dtype`` is smoothed in.

    float32 and float16 -> float32 (the ``_f32`` smoother); float64 (and wider floats),
    integers and booleans -> float64 (integers up to 2**53 are exact there).  Anything else is a TypeError.
    """
    dt = np.dtype(dtype)
    if dt in (np.float32, np.float16):
        return np.dtype(np.float32)
    if dt.kind in "iubf":
        return np.dtype(np.float64)
    raise TypeError(f"expected real numbers (float, int or bool data), got {dt}")


def time_positions(values: npt.ArrayLike, origin: Any = None) -> _F64:
    """Positions (float64) from a coordinate: datetime64 and timedelta64 become days.

    A datetime64 coordinate becomes days (of 86,400 s) since ``origin``, by default its own
    first value, as ``(t - origin) / np.timedelta64(1, "D")`` computes it; a timedelta64
    coordinate becomes days; numbers are taken as they are.  Months and years have no fixed
    length: such units are refused.
    """
    v = np.asarray(values)
    if v.dtype.kind in "mM" and np.isnat(v).any():
        raise ValueError("the time coordinate holds NaT")
    if v.dtype.kind == "M":
        if v.size == 0:
            return np.zeros(0)
        return _days(v - (v.flat[0] if origin is None else np.datetime64(origin)))
    if v.dtype.kind == "m":
        return _days(v)
    if v.dtype.kind not in "iuf":
        raise TypeError(f"a coordinate to smooth along must be numbers or datetimes, got {v.dtype}")
    return np.asarray(v, dtype=np.float64)


def _days(delta: npt.NDArray[np.timedelta64]) -> _F64:
    unit, _ = np.datetime_data(delta.dtype)
    if unit in ("Y", "M"):
        raise ValueError(f"times in units of {unit!r} have no fixed length in days")
    # The usual idiom, so that positions made by hand this way are the same bits.
    return np.asarray(delta / np.timedelta64(1, "D"), dtype=np.float64)


def _increasing(x: _F64, values: npt.NDArray[Any], what: str, merge: str, order: str) -> None:
    """A clear error for positions the smoother would refuse, naming the first culprit and
    the remedy."""
    if not np.isfinite(x).all():
        raise ValueError(f"{what} must hold only finite values")
    step = np.diff(x)
    if (step > 0).all():
        return
    i = int(np.argmax(step <= 0))
    if step[i] == 0:
        raise ValueError(f"{what} has duplicate values ({values[i]} at indices {i} and {i + 1}): "
                         f"merge them first, e.g. {merge}")
    raise ValueError(f"{what} must be increasing (index {i + 1} is before index {i}): "
                     f"sort it first, e.g. {order}")


class _Smoother(NamedTuple):
    name: str
    f32: Callable[..., Any]
    f64: Callable[..., Any]


def _smoother(method: str) -> _Smoother:
    """quelbrin_auto's public smoother ``method``, in both precisions."""
    public = set(quelbrin_auto.__all__)
    names = sorted(n[:-4] for n in public if n.endswith("_f64") and n[:-4] + "_f32" in public)
    if method not in names:
        raise ValueError(f"method must be one of quelbrin_auto's smoothers {names}, got {method!r}")
    return _Smoother(method, getattr(quelbrin_auto, method + "_f32"),
                     getattr(quelbrin_auto, method + "_f64"))


class _Interpolation(NamedTuple):
    """The fit on the observation grid extended to other positions (see ``smooth``'s at=).

    The values at new positions minimise the penalty of the union grid (observation and
    new positions together) with the fitted values held fixed: ``z_new = -P_NN^-1 P_NO z``.
    P_NN is banded (bandwidth d) in the order of the new positions; its Cholesky factor is
    computed once and shared by every series.
    """

    take: npt.NDArray[np.intp]  # for each output position, its index on the union grid
    observed: npt.NDArray[np.intp]  # union indices of the observation positions
    new: npt.NDArray[np.intp]  # union indices of the new positions
    band: _F64  # pb of the union grid: band[j, i] = P[i, i - j]
    factor: _F64  # lower band of the Cholesky factor of P_NN: factor[j, a] = L[a, a - j]
    d: int

    def __call__(self, z: npt.NDArray[Any]) -> npt.NDArray[Any]:
        s, n = z.shape[0], self.band.shape[1]
        u = np.zeros((n, s))  # union grid, series along columns
        u[self.observed] = z.T
        if self.new.size:
            u[self.new] = self._solve(-self._penalty_rows(u))
        return np.ascontiguousarray(u[self.take].T, dtype=z.dtype)

    def _penalty_rows(self, u: _F64) -> _F64:
        """(P u) at the new positions (u is zero there)."""
        pb, rows = self.band, self.new
        n = pb.shape[1]
        out = pb[0, rows, None] * u[rows]
        for j in range(1, self.d + 1):
            below, above = rows - j, rows + j
            lo, hi = below >= 0, above < n
            out[lo] += pb[j, rows[lo], None] * u[below[lo]]
            out[hi] += pb[j, above[hi], None] * u[above[hi]]
        return out

    def _solve(self, r: _F64) -> _F64:
        """P_NN^-1 r by forward and back substitution with the banded factor."""
        f, m = self.factor, r.shape[0]
        y = r.copy()
        for a in range(m):
            for j in range(1, min(self.d, a) + 1):
                y[a] -= f[j, a] * y[a - j]
            y[a] /= f[0, a]
        for a in range(m - 1, -1, -1):
            for j in range(1, min(self.d, m - 1 - a) + 1):
                y[a] -= f[j, a + j] * y[a + j]
            y[a] /= f[0, a]
        return y


def _interpolation(x: _F64, at: _F64, d: int, eps: float) -> _Interpolation:
    union = np.union1d(x, at)
    observed = np.searchsorted(union, x)
    new = np.setdiff1d(np.arange(union.size), observed)
    pb, _ = quelbrin.build_pb_f64(union, d=d, normalize="mean", eps=eps)
    # The lower band of P_NN: P[new[a], new[a - j]], zero where the two are more than d
    # apart on the union grid.
    a_band = np.zeros((d + 1, new.size))
    for j in range(min(d, new.size - 1) + 1):
        gap = new[j:] - new[: new.size - j]
        near = gap <= d
        a_band[j, j:][near] = pb[gap[near], new[j:][near]]
    return _Interpolation(np.searchsorted(union, at), observed, new, pb,
                          _cholesky_band(a_band, d), d)


def _cholesky_band(a: _F64, d: int) -> _F64:
    """The lower band of L with L L' = A, from A's lower band (a[j, i] = A[i, i - j])."""
    f = np.zeros_like(a)
    for i in range(a.shape[1]):
        for j in range(min(d, i), -1, -1):
            col = i - j
            s = a[j, i] - sum(f[p, i] * f[p - j, col] for p in range(j + 1, min(d, i) + 1))
            if j:
                f[j, i] = s / f[0, col]
            elif s > 0.0:
                f[0, i] = np.sqrt(s)
            else:
                raise ValueError("at= needs more than d positions on the observation axis")
    return f


def _whole_series(arr: Any, dim: Hashable, what: str) -> None:
    """Every chunk of a Dask-backed array must hold whole series along ``dim``."""
    chunks = arr.chunksizes.get(dim) if arr.chunks is not None else None
    if chunks is not None and len(chunks) > 1:
        raise ValueError(
            f"{what} is split into {len(chunks)} chunks along {dim!r}; every chunk must hold "
            f"whole series: rechunk it with {what}.chunk({{{dim!r}: -1}}) (chunk over the "
            f"other dimensions only)")


def _observed(y: npt.NDArray[Any], nodata: Any, dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """y in the smoother's precision, C-ordered, with ``nodata`` (compared in y's own dtype)
    turned into NaN, i.e. missing."""
    out = np.array(y, dtype=dtype, order="C")
    if nodata is not None:
        out[y == nodata] = np.nan
    return out


def _blank(v: npt.NDArray[Any], empty: npt.NDArray[np.bool_]) -> npt.NDArray[Any]:
    """A series with nothing observed: NaN (False for flags), never a made-up fit."""
    if empty.any():
        v = np.array(v)
        v[empty] = False if v.dtype == np.bool_ else np.nan
    return v


def _smooth_block(
    y: npt.NDArray[Any],
    *maps: npt.NDArray[Any],
    fn: Callable[..., Any],
    x: npt.NDArray[Any],
    nodata: Any,
    weighted: bool,
    lam_map: bool,
    options: Mapping[str, Any],
    fields: tuple[str, ...],
    fill: _Interpolation | None,
) -> tuple[npt.NDArray[Any], ...]:
    """One block whose last axis is the smoothed dimension: all its series in one call."""
    lead, t = y.shape[:-1], y.shape[-1]
    y_st = _observed(y.reshape(-1, t), nodata, x.dtype)
    w_st = None
    counted = np.isfinite(y_st)  # the smoother's rule: finite and of positive weight
    if weighted:
        w_st = np.ascontiguousarray(np.broadcast_to(maps[0], y.shape).reshape(-1, t), x.dtype)
        counted &= w_st > 0
    empty = ~counted.any(axis=1)
    kwargs = dict(options)
    if lam_map:
        lam = np.broadcast_to(maps[-1], lead).reshape(-1).astype(np.float64)
        # A stored map holds NaN where a series had nothing to fit; any lam does there.
        kwargs["lam"] = np.where(empty & np.isnan(lam), 1.0, lam)
    if w_st is not None:
        kwargs["w_base_st"] = w_st
    result = fn(x, y_st, **kwargs)
    out = []
    for name in fields:
        v = _blank(getattr(result, name), empty)
        if fill is not None and name == "z":
            v = fill(v)
        out.append(v.reshape(lead + v.shape[1:]))
    return tuple(out)


_LONG_NAMES = {
    "lam": "lam of every series",
    "edf": "effective degrees of freedom",
    "score": "criterion at lam",
    "sigma": "residual scale",
    "at_bound": "lam at an end of lam_bounds",
    "leverage": "leverage (diagonal of the smoother matrix)",
    "se": "pointwise standard error of the fit",
}


def smooth(
    data: xr.DataArray,
    dim: Hashable = "time",
    *,
    lam: str | float | xr.DataArray | None = None,
    weights: xr.DataArray | None = None,
    nodata: Any = None,
    at: npt.ArrayLike | xr.DataArray | None = None,
    method: str = "smooth",
    **options: Any,
) -> xr.Dataset:
    """Smooth every series of ``data`` along ``dim``, choosing lam per series.

    Parameters
    ----------
    data : xarray.DataArray, NumPy- or Dask-backed
        float32 and float16 data are smoothed by the ``_f32`` smoother; float64, integers
        and booleans by the ``_f64`` one.  NaN and +-inf are missing.  A Dask-backed array
        must hold ``dim`` in one chunk (chunk over the other dimensions); the result is
        then lazy, one task per chunk.
    dim : the dimension to smooth along
        Its coordinate gives the positions: datetime64 becomes days (86,400 s) since its
        first value, timedelta64 days, numbers stay as they are.  It must be strictly
        increasing: duplicates (a ValueError naming the first) must be merged first.
    lam : a criterion name, a number, or a lam map; None: the smoother's default
        A map is a DataArray over (some of) data's other dimensions, e.g. the ``lam`` of an
        earlier result (its NaN, at series with nothing observed, are accepted).
    weights : DataArray broadcastable to data, optional
        Base weight of every observation (``w_base_st``).
    nodata : a value of data that marks a missing observation (compared in data's dtype)
    at : 1-D positions, optional
        Times (of the coordinate's kind) to evaluate the fit at, instead of the observation
        times.  The fit is made on the observation grid, so lam keeps its meaning there and
        the values at observed times are the plain fit's bits.  A new time gets the value
        the smoother gives a missing acquisition: with the new times inserted into the grid
        and the fitted values at the observation times held fixed, the values that make the
        penalty (the divided differences of order d over the union of both grids) smallest.
        A gap split evenly is thus filled by a straight line for d = 1, and by a smooth
        curve through the neighbouring fitted values for d = 2, 3; beyond the observed
        range it continues along the polynomial of degree d - 1 through the nearest fitted
        values (a straight line for d = 2).  ``z`` is given along ``at``'s dimension (``dim`` for a plain array); the other per-observation fields (``se``,
        ``leverage``...) stay on the observation times, under ``dim`` or, when ``at`` takes
        that name, ``<dim>_observed``.
    method : the name of one of quelbrin_auto's smoothers, without ``_f32``/``_f64``
    **options : passed to the smoother (d, lam_bounds, normalize, return_uncertainty, ...)

    Returns
    -------
    xarray.Dataset
        One variable per field of the smoother's result: ``z`` (the smoothed values, in
        data's precision, with data's attributes), ``lam``, ``edf``, ``score``, ``sigma``,
        ``at_bound`` over the other dimensions, and ``leverage``/``se`` when asked for.
        A series with nothing observed gets NaN throughout (``at_bound`` False).  Each
        series equals, bit for bit, quelbrin_auto's smoother called on it alone.
    """
    xr_mod = _xarray()
    if not isinstance(data, xr_mod.DataArray):
        raise TypeError(f"data must be an xarray.DataArray, got {type(data).__name__}")
    if dim not in data.dims:
        raise ValueError(f"{dim!r} is not a dimension of data {tuple(data.dims)}")
    dtype = work_dtype(data.dtype)
    smoother = _smoother(method)
    fn = smoother.f32 if dtype == np.float32 else smoother.f64
    _whole_series(data, dim, "data")

    coord = data[dim].values
    x64 = time_positions(coord)
    _increasing(x64, coord, f"the {dim!r} coordinate",
                f"data.groupby({dim!r}).mean() or data.drop_duplicates({dim!r})",
                f"data.sortby({dim!r})")
    x = x64.astype(dtype)
    if dtype == np.float32 and not (np.diff(x) > 0).all():
        i = int(np.argmax(np.diff(x) <= 0))
        raise ValueError(
            f"the {dim!r} coordinate: {coord[i]} and {coord[i + 1]} are the same position in "
            f"float32; smooth in float64 (data.astype('float64')) or merge them")

    inputs, core_in = [data], [[dim]]
    other = [d for d in data.dims if d != dim]
    if weights is not None:
        if not isinstance(weights, xr_mod.DataArray):
            raise TypeError(f"weights must be an xarray.DataArray, got {type(weights).__name__}")
        _within(weights, data.dims, "weights")
        _whole_series(weights, dim, "weights")
        if dim not in weights.dims:  # one weight per series: the same at every time
            weights = weights.expand_dims({dim: data.sizes[dim]})
        inputs.append(weights)
        core_in.append([dim])
    lam_map = isinstance(lam, xr_mod.DataArray)
    if isinstance(lam, np.ndarray) and lam.ndim:
        raise TypeError("a lam per series is given as a DataArray over data's other "
                        "dimensions (such as the lam of an earlier result)")
    if lam_map:
        _within(lam, other, "a lam map")
        inputs.append(lam)
        core_in.append([])
    lam_arg = {} if lam is None else {"lam": np.empty(0) if lam_map else lam}

    # The smoother called on no series: its options are checked at once (also for a lazy
    # cube), and its result tells which fields come back, with their dtypes.
    probe = fn(x, np.empty((0, x.size), dtype), **lam_arg, **options)
    if not hasattr(probe, "_asdict"):
        raise TypeError(f"quelbrin_auto.{fn.__name__} does not return a named result")
    fields = tuple(n for n, v in probe._asdict().items() if isinstance(v, np.ndarray))
    per_time = {n for n in fields if getattr(probe, n).ndim == 2}
    if not lam_map and lam is not None:
        options = {**options, "lam": lam}

    fill, at_values, sizes = None, None, {}
    out_dim = obs_dim = dim
    if at is not None:
        at_values = np.asarray(at.values if isinstance(at, xr_mod.DataArray) else at)
        if at_values.ndim != 1:
            raise ValueError(f"at must be one-dimensional, got shape {at_values.shape}")
        if (at_values.dtype.kind == "M") != (coord.dtype.kind == "M"):
            raise TypeError(f"at ({at_values.dtype}) and the {dim!r} coordinate "
                            f"({coord.dtype}) must both be datetimes or both not")
        at64 = time_positions(at_values, coord[0] if coord.dtype.kind == "M" else None)
        _increasing(at64, at_values, "at", "numpy.unique(at)", "numpy.sort(at)")
        fill = _interpolation(x64, at64, int(_option(fn, options, "d")),
                              float(_option(fn, options, "eps")))
        out_dim = at.dims[0] if isinstance(at, xr_mod.DataArray) else dim
        if out_dim in other:
            raise ValueError(f"at runs along {out_dim!r}, another dimension of data")
        obs_dim = dim if out_dim != dim else f"{dim}_observed"
        sizes = {_AT: at_values.size}

    def core(name: str) -> list[Hashable]:
        if name not in per_time:
            return []
        return [_AT] if fill is not None and name == "z" else [dim]

    outputs = xr_mod.apply_ufunc(
        _smooth_block, *inputs,
        input_core_dims=core_in, output_core_dims=[core(n) for n in fields],
        dask="parallelized",
        output_dtypes=[getattr(probe, n).dtype for n in fields],
        dask_gufunc_kwargs={"output_sizes": sizes},
        kwargs={"fn": fn, "x": x, "nodata": nodata, "weighted": weights is not None,
                "lam_map": lam_map, "options": options, "fields": fields, "fill": fill},
        join="exact",
    )
    outputs = outputs if isinstance(outputs, tuple) else (outputs,)
    # Back in data's order of dimensions (apply_ufunc puts the smoothed one last).
    ds = xr_mod.Dataset({
        n: v.transpose(*[core(n)[0] if d == dim else d for d in data.dims] if core(n) else other)
        for n, v in zip(fields, outputs)})
    if fill is not None:
        if obs_dim != dim and dim in ds.dims:
            ds = ds.rename({dim: obs_dim})
        ds = ds.rename({_AT: out_dim}).assign_coords({out_dim: at_values})
    for n in fields:
        ds[n].attrs = dict(data.attrs) if n == "z" else {"long_name": _LONG_NAMES.get(n, n)}
    units = (f"days since {np.datetime_as_string(coord[0])}" if coord.dtype.kind == "M"
             else "days" if coord.dtype.kind == "m" else "the coordinate's values")
    given = "the smoother's default" if lam is None else "a map" if lam_map else repr(lam)
    ds.attrs = {**data.attrs, "smoothed_with": f"quelbrin_auto.{fn.__name__} along {dim!r} "
                                               f"(positions: {units}), lam: {given}"}
    return cast("xr.Dataset", ds)


def _option(fn: Callable[..., Any], options: Mapping[str, Any], name: str) -> Any:
    """The value of option ``name`` in this call: given, or the smoother's default."""
    if name in options:
        return options[name]
    param = inspect.signature(fn).parameters.get(name)
    if param is None or param.default is inspect.Parameter.empty:
        raise TypeError(f"at= needs {name}, which quelbrin_auto.{fn.__name__} does not declare")
    return param.default


def _within(arr: Any, dims: Any, what: str) -> None:
    extra = [d for d in arr.dims if d not in dims]
    if extra:
        raise ValueError(f"{what} has dimensions {extra} that data does not have to match")
