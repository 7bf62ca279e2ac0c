"""Smooth a (time, y, x) data cube with Dask and xarray on a cluster of worker processes.

The cube is an ``xarray.DataArray`` backed by Dask, chunked over space only: every chunk
holds whole time series, because each series is smoothed as one system and a series cut
along time would be smoothed as two unrelated pieces.  ``quelbrin_auto.xarray.smooth``
smooths it lazily (one task per chunk) on a ``dask.distributed.LocalCluster`` of worker
processes, choosing lam per pixel (or taking the lam given), and returns a Dataset: the
smoothed cube and a (y, x) map of the lam of every pixel, with edf, sigma and at_bound.
Both are checked bit for bit against one direct quelbrin_auto call on the whole cube: each
series is computed alone, so the split into chunks cannot change a single bit.

Threads: each worker gets one Dask thread and a pool of (cores // workers) threads through
RAYON_NUM_THREADS in its environment; without that, every worker would start a pool as
large as the machine.

    python examples/dask_cube.py                      # default cube, 2 workers, REML
    python examples/dask_cube.py --ny 400 --nx 400 --lam 50 --float32
    python examples/dask_cube.py --lam vcurve --envelope 0.9   # cloudy pixels: upper envelope
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable
from typing import Any

import dask.array as da
import numpy as np
import numpy.typing as npt
import xarray as xr
from dask.distributed import Client, LocalCluster, wait

import quelbrin_auto
from quelbrin_auto.xarray import smooth, time_positions

FloatArray = npt.NDArray[np.floating[Any]]
CRITERIA = ("gcv", "loocv", "reml", "vcurve")

T0 = np.datetime64("2024-01-01T00:00", "s")


def acquisition_times(nt: int, seed: int = 11) -> npt.NDArray[np.datetime64]:
    """Irregular acquisition times: a revisit of 1 to 3 days at varying times of day."""
    rng = np.random.default_rng(seed)
    seconds = np.cumsum(rng.uniform(1.0, 3.0, nt)) * 86400.0
    return T0 + seconds.astype("timedelta64[s]")


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
    days = time_positions(times)
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


def direct(cube: xr.DataArray, **options: Any) -> quelbrin_auto.SmoothResult:
    """One quelbrin_auto call on every series of an in-memory (time, y, x) cube."""
    values = cube.values
    flat = np.ascontiguousarray(values.reshape(values.shape[0], -1).T)  # (series, time)
    days = time_positions(cube["time"].values)
    method = options.pop("method", "smooth")
    result: quelbrin_auto.SmoothResult
    if values.dtype == np.float32:
        result = getattr(quelbrin_auto, method + "_f32")(days.astype(np.float32), flat, **options)
    else:
        result = getattr(quelbrin_auto, method + "_f64")(days, flat, **options)
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


def _print_timings(n_obs: int, timings: list[tuple[str, float]]) -> None:
    for name, t in timings:
        print(f"  {name:34s} {t:7.2f} s   {t / n_obs * 1e9:7.1f} ms per million obs")


def _lam(text: str) -> str | float:
    return text if text in CRITERIA else float(text)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--nt", type=int, default=365, help="acquisitions per series")
    p.add_argument("--ny", type=int, default=300)
    p.add_argument("--nx", type=int, default=300)
    p.add_argument("--chunk", type=int, default=100, help="spatial chunk edge (pixels)")
    p.add_argument("--workers", type=int, default=2, help="worker processes")
    p.add_argument("--float32", action="store_true", help="a float32 cube (smoothed in float32)")
    p.add_argument("--lam", type=_lam, default="reml",
                   help=f"a criterion {CRITERIA} choosing lam per pixel, or one number")
    p.add_argument("--envelope", type=float, default=None, metavar="P",
                   help="fit the upper envelope (P > 0.5, series pulled down by clouds) or a "
                        "baseline (P < 0.5) instead of the plain smoother")
    args = p.parse_args(argv)
    options: dict[str, Any] = {"lam": args.lam}
    if args.envelope is not None:
        options.update(method="envelope", p=args.envelope)

    dtype = np.float32 if args.float32 else np.float64
    client = start_cluster(args.workers)
    try:
        pools = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
        cube = synthetic_cube(args.nt, args.ny, args.nx, args.chunk, dtype).persist()
        wait(cube)
        print(
            f"cube (time, y, x) = ({args.nt}, {args.ny}, {args.nx}) {np.dtype(dtype).name}: "
            f"{args.ny * args.nx:,} series, {cube.size / 1e6:.1f} M observations, "
            f"{cube.nbytes / 2**20:.0f} MiB, {cube.data.npartitions} chunks of "
            f"{min(args.chunk, args.ny)}x{min(args.chunk, args.nx)} pixels"
        )
        print(
            f"cluster: {len(pools)} worker processes x 1 Dask thread, quelbrin pool of "
            f"{'/'.join(sorted({str(v) for v in pools.values()}))} thread(s) each "
            f"(RAYON_NUM_THREADS); lam: {args.lam!r}"
            + (f"; upper envelope / baseline p = {args.envelope}" if args.envelope is not None else "")
        )
        # The timing includes gathering the Dataset into this process; every chunk is
        # smoothed once for all the Dataset's variables.
        ds, t_cluster = _timed(lambda: smooth(cube, "time", **options).compute())
        ref, t_direct = _timed(lambda: direct(cube.compute(), **options))
        _print_timings(cube.size, [
            ("quelbrin_auto.xarray.smooth (dask)", t_cluster),
            ("one direct call, client process", t_direct),
        ])
        lam_map = ds["lam"].values
        q = np.percentile(np.log10(lam_map), [5, 25, 50, 75, 95])
        print(f"  lam map {lam_map.shape[0]} x {lam_map.shape[1]}: log10 lam percentiles "
              f"5/25/50/75/95 = {' / '.join(f'{v:.2f}' for v in q)}")
        z = np.ascontiguousarray(ds["z"].values.reshape(args.nt, -1).T)
        same = _identical(z, ref.z) and _identical(lam_map.reshape(-1), ref.lam)
        print(f"  smoothed cube and lam map bit-identical to the direct call: "
              f"{'yes' if same else 'NO'}")
        return 0 if same else 1
    finally:
        stop_cluster(client)


if __name__ == "__main__":
    sys.exit(main())
