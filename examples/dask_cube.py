"""Smooth a (time, y, x) data cube with Dask and xarray on a cluster of worker processes.

The cube is an ``xarray.DataArray`` backed by Dask, chunked over space only: every chunk
holds whole time series, because each series is smoothed as one system and a series cut
along time would be smoothed as two unrelated pieces.  It is smoothed two ways, through
``xarray.apply_ufunc(..., dask="parallelized")`` and through ``dask.array.map_blocks``,
on a ``dask.distributed.LocalCluster`` of worker processes, and both results are checked
bit for bit against one direct call on the whole cube: each series is computed alone, so
the split into chunks cannot change a single bit.

Threads: quelbrin holds the GIL for the whole of a call and runs its series on its own
pool of threads.  So within one worker process two quelbrin calls never overlap, and the
pool is the parallelism.  Each worker therefore gets one Dask thread and a pool of
(cores // workers) threads through RAYON_NUM_THREADS in its environment; without that,
every worker would start a pool as large as the machine.

Automatic lam: with --auto CRITERION every series gets its own lam from quelbrin_auto
(smooth_dataarray_auto, smooth_dask_array_auto), and besides the smoothed cube a (y, x) map
of the lam chosen per pixel comes back.  Each series is judged alone, so the map is the
same, bit for bit, however the cube is chunked; the example checks it against one direct
call.  Store the map to reproduce the fits later without searching (pass it back as lam).

    python examples/dask_cube.py                      # default cube, 2 workers
    python examples/dask_cube.py --ny 400 --nx 400 --workers 2 --robust 3
    python examples/dask_cube.py --auto reml          # lam per pixel, and its map
    python examples/dask_cube.py --auto vcurve --envelope 0.9   # cloudy pixels: upper envelope

With --envelope P the series are fitted by quelbrin_auto's envelope (weights P above the
fit, 1 - P below, lam chosen per pixel at every fit): the upper envelope of vegetation
series that clouds pull down.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Hashable, Mapping
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
import xarray as xr
from dask.distributed import Client, LocalCluster, wait

import quelbrin
import quelbrin_auto

FloatArray = npt.NDArray[np.floating[Any]]
LamArray = npt.NDArray[np.float64]
CRITERIA = ("gcv", "loocv", "reml", "vcurve")

LAM = 50.0
T0 = np.datetime64("2024-01-01T00:00", "s")


def acquisition_times(nt: int, seed: int = 11) -> npt.NDArray[np.datetime64]:
    """Irregular acquisition times: a revisit of 1 to 3 days at varying times of day."""
    rng = np.random.default_rng(seed)
    seconds = np.cumsum(rng.uniform(1.0, 3.0, nt)) * 86400.0
    return T0 + seconds.astype("timedelta64[s]")


def positions_of(times: npt.NDArray[Any], dtype: npt.DTypeLike = np.float64) -> FloatArray:
    """The positions quelbrin needs, from a time coordinate.

    Datetimes become days since the first acquisition; numbers are taken as they are.  The
    unit matters: merge_x_tol of the robust smoother (default 0.01) is in these units.
    """
    t = np.asarray(times)
    if np.issubdtype(t.dtype, np.datetime64):
        days = (t - t[0]) / np.timedelta64(1, "D")
        return np.ascontiguousarray(days, dtype=dtype)
    return np.ascontiguousarray(t, dtype=dtype)


def _cube_block(
    block_id: tuple[int, int, int],
    days: FloatArray,
    chunk_y: int,
    chunk_x: int,
    shape_yx: tuple[int, int],
    seed: int,
    out_dtype: npt.DTypeLike,
) -> FloatArray:
    """One spatial block of the synthetic cube: a seasonal cycle, noise, gaps and clouds.

    Each block draws from its own generator keyed by its position, so the cube is the same
    whatever computes it and however many workers there are.
    """
    _, by, bx = block_id
    y0, x0 = by * chunk_y, bx * chunk_x
    ny = min(chunk_y, shape_yx[0] - y0)
    nx = min(chunk_x, shape_yx[1] - x0)
    rng = np.random.default_rng([seed, by, bx])
    iy = np.arange(y0, y0 + ny, dtype=np.float64)[:, None]
    ix = np.arange(x0, x0 + nx, dtype=np.float64)[None, :]
    base = 0.25 + 0.1 * np.sin(iy / 17.0) * np.cos(ix / 23.0)
    amp = 0.3 + 0.05 * np.cos((iy + ix) / 31.0)
    phase = (iy - ix) / 50.0
    t = days[:, None, None]
    cube = base + amp * (0.5 + 0.5 * np.sin(2 * np.pi * t / 365.0 + phase))
    cube = cube + rng.normal(0.0, 0.03, cube.shape)
    cube[rng.random(cube.shape) < 0.08] = np.nan  # missing acquisitions
    clouds = rng.random(cube.shape) < 0.04  # cloud-contaminated: read far too low
    cube[clouds] -= rng.uniform(0.2, 0.5, int(clouds.sum()))
    return cube.astype(out_dtype)


def synthetic_cube(
    nt: int,
    ny: int,
    nx: int,
    chunk: int = 100,
    dtype: npt.DTypeLike = np.float64,
    seed: int = 5,
) -> xr.DataArray:
    """A lazy (time, y, x) cube with a datetime time axis, chunked over space only."""
    times = acquisition_times(nt)
    days = positions_of(times)
    cy, cx = min(chunk, ny), min(chunk, nx)
    data = da.map_blocks(
        _cube_block,
        days=days,
        chunk_y=cy,
        chunk_x=cx,
        shape_yx=(ny, nx),
        seed=seed,
        out_dtype=dtype,
        dtype=np.dtype(dtype),
        chunks=((nt,), _splits(ny, cy), _splits(nx, cx)),
        meta=np.empty((0, 0, 0), dtype=dtype),
    )
    return xr.DataArray(
        data,
        dims=("time", "y", "x"),
        coords={"time": times, "y": np.arange(ny), "x": np.arange(nx)},
        name="index",
    )


def _splits(n: int, c: int) -> tuple[int, ...]:
    return tuple(min(c, n - i) for i in range(0, n, c))


def smooth_series(
    y_st: FloatArray,
    x: FloatArray,
    *,
    robust: int = 0,
    lam: float = LAM,
    d: int = 2,
    parallel: bool = True,
) -> FloatArray:
    """Smooth the rows of an (S, T) matrix in one quelbrin call, in its own precision.

    robust = 0 runs the single-pass smoother; robust = n > 0 runs n IRLS iterations.
    """
    if y_st.dtype == np.float32:
        x32 = np.ascontiguousarray(x, dtype=np.float32)
        y32 = y_st.astype(np.float32, copy=False)
        if robust:
            return quelbrin.robust_whittaker_irls_f32(
                x32, y32, lam=lam, d=d, iterations=robust, parallel=parallel
            )
        return quelbrin.whittaker_solve_f32(x32, y32, lam=lam, d=d, parallel=parallel)
    if y_st.dtype != np.float64:
        raise TypeError(f"expected float32 or float64 data, got {y_st.dtype}")
    x64 = np.ascontiguousarray(x, dtype=np.float64)
    y64 = y_st.astype(np.float64, copy=False)
    if robust:
        return quelbrin.robust_whittaker_irls_f64(
            x64, y64, lam=lam, d=d, iterations=robust, parallel=parallel
        )
    return quelbrin.whittaker_solve_f64(x64, y64, lam=lam, d=d, parallel=parallel)


def smooth_last_axis(block: FloatArray, x: FloatArray, **options: Any) -> FloatArray:
    """A block whose last axis is time (what apply_ufunc hands over): all its series at once."""
    t = block.shape[-1]
    z = smooth_series(block.reshape(-1, t), x, **options)
    return z.reshape(block.shape)


def smooth_axis(block: FloatArray, x: FloatArray, axis: int = 0, **options: Any) -> FloatArray:
    """A block with time along ``axis``: gathered as (series, time) rows, scattered back."""
    moved = np.moveaxis(block, axis, -1)
    z = smooth_last_axis(moved, x, **options)
    return np.ascontiguousarray(np.moveaxis(z, -1, axis))


def _require_whole_series(chunks: tuple[tuple[int, ...], ...] | None, axis: int, name: str) -> None:
    if chunks is not None and len(chunks[axis]) > 1:
        raise ValueError(
            f"{name} is split into {len(chunks[axis])} chunks along time; every chunk must "
            f"hold whole series: rechunk with {{{name!r}: -1}} (chunk over space only)"
        )


def smooth_dataarray(cube: xr.DataArray, time_dim: Hashable = "time", **options: Any) -> xr.DataArray:
    """Smooth every series of ``cube`` along ``time_dim`` through xarray.apply_ufunc.

    The result has the cube's dimensions, coordinates, chunks and dtype.  options are those
    of smooth_series (robust, lam, d, parallel).
    """
    axis = cube.get_axis_num(time_dim)
    _require_whole_series(cube.chunks, axis, str(time_dim))
    x = positions_of(cube[time_dim].values, cube.dtype)
    smoothed: xr.DataArray = xr.apply_ufunc(
        smooth_last_axis,
        cube,
        input_core_dims=[[time_dim]],
        output_core_dims=[[time_dim]],
        dask="parallelized",
        output_dtypes=[cube.dtype],
        kwargs={"x": x, **options},
        keep_attrs=True,
    )
    return smoothed.transpose(*cube.dims)


def smooth_dask_array(arr: da.Array, x: FloatArray, axis: int = 0, **options: Any) -> da.Array:
    """Smooth every series of a Dask array along ``axis`` through dask.array.map_blocks."""
    _require_whole_series(arr.chunks, axis, f"axis {axis}")
    if arr.shape[axis] != x.shape[0]:
        raise ValueError(f"axis {axis} has length {arr.shape[axis]} but x has {x.shape[0]}")
    result: da.Array = da.map_blocks(
        smooth_axis,
        arr,
        x=np.ascontiguousarray(x, dtype=arr.dtype),
        axis=axis,
        dtype=arr.dtype,
        meta=np.empty((0,) * arr.ndim, dtype=arr.dtype),
        **options,
    )
    return result


def smooth_series_auto(
    y_st: FloatArray,
    x: FloatArray,
    *,
    lam: str | float | LamArray = "reml",
    d: int = 2,
    lam_bounds: tuple[float, float] = (1e-3, 1e9),
    parallel: bool = True,
    envelope: float | None = None,
) -> tuple[FloatArray, LamArray]:
    """Smooth the rows of an (S, T) matrix with lam chosen per row by quelbrin_auto.

    lam is a criterion ("gcv", "loocv", "reml", "vcurve"), or the numbers to use (one, or
    one per row, e.g. a stored map).  envelope: p of quelbrin_auto's envelope (None: the
    plain smoother).  Returns z (S, T) in the data's precision and the (S,) float64 lam of
    every row (float32 numbers for float32 data).
    """
    extra: dict[str, Any] = {} if envelope is None else {"p": envelope}
    if y_st.dtype == np.float32:
        fn32 = quelbrin_auto.smooth_f32 if envelope is None else quelbrin_auto.envelope_f32
        r = fn32(
            np.ascontiguousarray(x, dtype=np.float32), y_st.astype(np.float32, copy=False),
            lam=lam, d=d, lam_bounds=lam_bounds, parallel=parallel, **extra,
        )
    elif y_st.dtype == np.float64:
        fn64 = quelbrin_auto.smooth_f64 if envelope is None else quelbrin_auto.envelope_f64
        r = fn64(
            np.ascontiguousarray(x, dtype=np.float64), y_st.astype(np.float64, copy=False),
            lam=lam, d=d, lam_bounds=lam_bounds, parallel=parallel, **extra,
        )
    else:
        raise TypeError(f"expected float32 or float64 data, got {y_st.dtype}")
    return r.z, r.lam


def smooth_last_axis_auto(
    block: FloatArray, x: FloatArray, **options: Any
) -> tuple[FloatArray, LamArray]:
    """A block whose last axis is time: its smoothed series and its lam map (the block's
    shape without the time axis).  A lam array given in options has that shape too."""
    t = block.shape[-1]
    lam = options.get("lam")
    if isinstance(lam, np.ndarray):
        lam = np.broadcast_to(lam, block.shape[:-1])
        options = {**options, "lam": np.ascontiguousarray(lam, dtype=np.float64).reshape(-1)}
    z, lam_s = smooth_series_auto(block.reshape(-1, t), x, **options)
    return z.reshape(block.shape), lam_s.reshape(block.shape[:-1])


def _smooth_last_axis_given(
    block: FloatArray, lam: LamArray, x: FloatArray, **options: Any
) -> tuple[FloatArray, LamArray]:
    return smooth_last_axis_auto(block, x, lam=np.asarray(lam), **options)


def smooth_dataarray_auto(
    cube: xr.DataArray,
    time_dim: Hashable = "time",
    lam: str | float | xr.DataArray = "reml",
    **options: Any,
) -> tuple[xr.DataArray, xr.DataArray]:
    """Smooth every series of ``cube`` along ``time_dim`` with lam chosen per series.

    Returns the smoothed cube (the cube's dimensions, coordinates, chunks and dtype) and
    the lam map: the cube's other dimensions and their coordinates, float64.  Both stay
    lazy for a Dask-backed cube; compute them together (``dask.compute(z, lam_map)``) so
    that every chunk is smoothed once.  lam is a criterion, one number, or a stored lam
    map (a DataArray over the cube's other dimensions) to reproduce its fits without a
    search.  options are the rest of smooth_series_auto's (d, lam_bounds, parallel).
    """
    axis = cube.get_axis_num(time_dim)
    _require_whole_series(cube.chunks, axis, str(time_dim))
    x = positions_of(cube[time_dim].values, cube.dtype)
    core_out = [[time_dim], []]
    out_dtypes = [cube.dtype, np.float64]
    if isinstance(lam, xr.DataArray):
        if time_dim in lam.dims:
            raise ValueError(f"a lam map has no {time_dim!r} dimension")
        # A map of other pixels is refused, not silently cut to the common ones.
        xr.align(lam, cube.isel({time_dim: 0}, drop=True), join="exact")
        if cube.chunks is not None:  # the map's blocks must line up with the cube's
            lam = lam.chunk({dim: cube.chunksizes[dim] for dim in lam.dims})
        smoothed, lam_map = xr.apply_ufunc(
            _smooth_last_axis_given, cube, lam,
            input_core_dims=[[time_dim], []], output_core_dims=core_out,
            dask="parallelized", output_dtypes=out_dtypes, keep_attrs=True,
            kwargs={"x": x, **options},
            join="exact",
        )
        label = "given"
    else:
        smoothed, lam_map = xr.apply_ufunc(
            smooth_last_axis_auto, cube,
            input_core_dims=[[time_dim]], output_core_dims=core_out,
            dask="parallelized", output_dtypes=out_dtypes, keep_attrs=True,
            kwargs={"x": x, "lam": lam, **options},
        )
        label = f"chosen per series by {lam!r}" if isinstance(lam, str) else "given"
    lam_map.name = "lam"
    lam_map.attrs = {"long_name": f"lam of every series ({label})"}
    spatial = [dim for dim in cube.dims if dim != time_dim]
    return smoothed.transpose(*cube.dims), lam_map.transpose(*spatial)


def smooth_dask_array_auto(
    arr: da.Array, x: FloatArray, axis: int = 0, **options: Any
) -> tuple[da.Array, da.Array]:
    """Smooth every series of a Dask array along ``axis`` with lam chosen per series.

    Returns the smoothed array (same shape, chunks and dtype) and the lam map, the array's
    shape without ``axis`` (float64), chunked like the other axes.  One task per block
    yields both; compute them together (``dask.compute(z, lam_map)``).  options are those
    of smooth_series_auto; lam may be a criterion or one number.
    """
    _require_whole_series(arr.chunks, axis, f"axis {axis}")
    if arr.shape[axis] != x.shape[0]:
        raise ValueError(f"axis {axis} has length {arr.shape[axis]} but x has {x.shape[0]}")
    if isinstance(options.get("lam"), (np.ndarray, da.Array)):
        raise TypeError("smooth_dask_array_auto takes a criterion or one number as lam; "
                        "a lam map goes through smooth_dataarray_auto")
    axis = axis % arr.ndim
    z, lam_map = da.apply_gufunc(
        smooth_last_axis_auto,
        "(t)->(t),()",
        arr,
        axes=[(axis,), (axis,), ()],
        output_dtypes=(arr.dtype, np.float64),
        allow_rechunk=False,
        x=np.ascontiguousarray(x, dtype=arr.dtype),
        **options,
    )
    return z, lam_map


def start_cluster(n_workers: int = 2, threads_per_worker: int = 1, pool_threads: int | None = None) -> Client:
    """A LocalCluster of worker processes whose quelbrin pools share the machine's cores."""
    if pool_threads is None:
        pool_threads = max(1, (os.cpu_count() or 1) // n_workers)
    cluster = LocalCluster(
        n_workers=n_workers,
        threads_per_worker=threads_per_worker,
        processes=True,
        dashboard_address=":0",  # any free port: never collides with another cluster
        env={"RAYON_NUM_THREADS": str(pool_threads)},
    )
    return Client(cluster)


def stop_cluster(client: Client) -> None:
    cluster = client.cluster
    client.close()
    if cluster is not None:
        cluster.close()


def _timed(fn: Callable[[], Any]) -> tuple[Any, float]:
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def _identical(a: FloatArray, b: FloatArray) -> bool:
    """Bit for bit, NaN and the sign of zero included."""
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    return bool(np.array_equal(a.view(np.uint8), b.view(np.uint8)))


def _print_timings(n_obs: int, timings: list[tuple[str, float]]) -> None:
    for name, t in timings:
        print(f"  {name:34s} {t:7.2f} s   {t / n_obs * 1e9:7.1f} ms per million obs")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--nt", type=int, default=365, help="acquisitions per series")
    p.add_argument("--ny", type=int, default=300)
    p.add_argument("--nx", type=int, default=300)
    p.add_argument("--chunk", type=int, default=100, help="spatial chunk edge (pixels)")
    p.add_argument("--workers", type=int, default=2, help="worker processes")
    p.add_argument("--robust", type=int, default=0, help="IRLS iterations (0: single-pass)")
    p.add_argument("--float32", action="store_true", help="smooth in float32")
    p.add_argument("--auto", choices=CRITERIA, default=None,
                   help="choose lam per pixel by this criterion (quelbrin_auto) and return "
                        "a lam map too")
    p.add_argument("--envelope", type=float, default=None, metavar="P",
                   help="with --auto: the upper envelope (P > 0.5) or baseline (P < 0.5)")
    args = p.parse_args(argv)
    if args.auto and args.robust:
        p.error("--auto chooses lam for the single-pass smoother: leave out --robust")
    if args.envelope is not None and not args.auto:
        p.error("--envelope needs --auto (the criterion that chooses lam)")

    dtype = np.float32 if args.float32 else np.float64
    options: Mapping[str, Any] = {"robust": args.robust, "lam": LAM}
    client = start_cluster(args.workers)
    try:
        pools = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
        cube = synthetic_cube(args.nt, args.ny, args.nx, args.chunk, dtype).persist()
        wait(cube)
        n_series = args.ny * args.nx
        print(
            f"cube (time, y, x) = ({args.nt}, {args.ny}, {args.nx}) {np.dtype(dtype).name}: "
            f"{n_series:,} series, {cube.size / 1e6:.1f} M observations, "
            f"{cube.nbytes / 2**20:.0f} MiB, {cube.data.npartitions} chunks of "
            f"{min(args.chunk, args.ny)}x{min(args.chunk, args.nx)} pixels"
        )
        print(
            f"cluster: {len(pools)} worker processes x 1 Dask thread, quelbrin pool of "
            f"{'/'.join(sorted({str(v) for v in pools.values()}))} thread(s) each "
            f"(RAYON_NUM_THREADS); "
            f"smoother: {'robust, %d iterations' % args.robust if args.robust else 'single-pass'}"
            + (f", lam chosen per pixel by {args.auto!r}" if args.auto else "")
            + (f", envelope p = {args.envelope:g}" if args.auto and args.envelope else "")
        )
        if args.auto:
            return _main_auto(cube, args.auto, args.envelope)

        # Both Dask timings include gathering the result into this process.
        z_ufunc, t_ufunc = _timed(lambda: smooth_dataarray(cube, **options).values)
        x = positions_of(cube["time"].values, dtype)
        z_blocks, t_blocks = _timed(lambda: smooth_dask_array(cube.data, x, **options).compute())

        values = cube.values
        flat = values.reshape(args.nt, -1).T  # (series, time), a strided view
        z_flat, t_direct = _timed(lambda: smooth_series(flat, x, **options))
        z_direct = np.ascontiguousarray(z_flat.T.reshape(values.shape))

        _print_timings(cube.size, [
            ("xarray.apply_ufunc (dask)", t_ufunc),
            ("dask.array.map_blocks", t_blocks),
            ("one direct call, client process", t_direct),
        ])
        same = _identical(z_ufunc, z_direct) and _identical(z_blocks, z_direct)
        print(f"  bit-identical to the direct call: {'yes' if same else 'NO'}")
        return 0 if same else 1
    finally:
        stop_cluster(client)


def _main_auto(cube: xr.DataArray, criterion: str, envelope: float | None = None) -> int:
    """Both Dask ways with lam chosen per pixel, against one direct call: z and lam map."""
    from dask.base import compute

    nt = cube.sizes["time"]
    x = positions_of(cube["time"].values, cube.dtype)
    # Each pair is computed together, so every chunk is smoothed once; the timings include
    # gathering both results into this process.
    (z_ufunc, lam_ufunc), t_ufunc = _timed(
        lambda: compute(*smooth_dataarray_auto(cube, lam=criterion, envelope=envelope)))
    (z_blocks, lam_blocks), t_blocks = _timed(
        lambda: compute(*smooth_dask_array_auto(cube.data, x, lam=criterion, envelope=envelope)))

    values = cube.values
    flat = values.reshape(nt, -1).T  # (series, time), a strided view
    (z_flat, lam_flat), t_direct = _timed(
        lambda: smooth_series_auto(flat, x, lam=criterion, envelope=envelope))
    z_direct = np.ascontiguousarray(z_flat.T.reshape(values.shape))
    lam_direct = lam_flat.reshape(values.shape[1:])

    _print_timings(cube.size, [
        ("xarray.apply_ufunc (dask)", t_ufunc),
        ("dask.array.apply_gufunc", t_blocks),
        ("one direct call, client process", t_direct),
    ])
    q = np.percentile(np.log10(lam_direct), [5, 25, 50, 75, 95])
    print(f"  lam map {lam_direct.shape[0]} x {lam_direct.shape[1]}: log10 lam percentiles "
          f"5/25/50/75/95 = {' / '.join(f'{v:.2f}' for v in q)}")
    same = all(_identical(a, b) for a, b in (
        (z_ufunc.values, z_direct), (z_blocks, z_direct),
        (lam_ufunc.values, lam_direct), (lam_blocks, lam_direct)))
    print(f"  smoothed cube and lam map bit-identical to the direct call: "
          f"{'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
