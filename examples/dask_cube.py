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

    python examples/dask_cube.py                      # default cube, 2 workers
    python examples/dask_cube.py --ny 400 --nx 400 --workers 2 --robust 3
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

FloatArray = npt.NDArray[np.floating[Any]]

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


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--nt", type=int, default=365, help="acquisitions per series")
    p.add_argument("--ny", type=int, default=300)
    p.add_argument("--nx", type=int, default=300)
    p.add_argument("--chunk", type=int, default=100, help="spatial chunk edge (pixels)")
    p.add_argument("--workers", type=int, default=2, help="worker processes")
    p.add_argument("--robust", type=int, default=0, help="IRLS iterations (0: single-pass)")
    p.add_argument("--float32", action="store_true", help="smooth in float32")
    args = p.parse_args(argv)

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
        )

        # Both Dask timings include gathering the result into this process.
        z_ufunc, t_ufunc = _timed(lambda: smooth_dataarray(cube, **options).values)
        x = positions_of(cube["time"].values, dtype)
        z_blocks, t_blocks = _timed(lambda: smooth_dask_array(cube.data, x, **options).compute())

        values = cube.values
        flat = values.reshape(args.nt, -1).T  # (series, time), a strided view
        z_flat, t_direct = _timed(lambda: smooth_series(flat, x, **options))
        z_direct = np.ascontiguousarray(z_flat.T.reshape(values.shape))

        per_m = cube.size / 1e6
        for name, t in (
            ("xarray.apply_ufunc (dask)", t_ufunc),
            ("dask.array.map_blocks", t_blocks),
            ("one direct call, client process", t_direct),
        ):
            print(f"  {name:34s} {t:7.2f} s   {t / per_m * 1e3:7.1f} ms per million obs")
        same = _identical(z_ufunc, z_direct) and _identical(z_blocks, z_direct)
        print(f"  bit-identical to the direct call: {'yes' if same else 'NO'}")
        return 0 if same else 1
    finally:
        stop_cluster(client)


if __name__ == "__main__":
    sys.exit(main())
