"""Scale-out with Dask and xarray: the example's two ways give the direct call's bits."""

from __future__ import annotations

import os
import pickle
import sys
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pytest

import quelbrin
import quelbrin_auto

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.distributed")
import cloudpickle  # noqa: E402  (comes with distributed)

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import dask_cube  # noqa: E402

# The workers cannot import the example (it is not installed), so its functions travel by
# value; quelbrin's functions inside them still travel by reference.
cloudpickle.register_pickle_by_value(dask_cube)

NT, NY, NX, CHUNK = 40, 9, 7, 4
POOL_THREADS = 1


@pytest.fixture(scope="module")
def client() -> Iterator[object]:
    c = dask_cube.start_cluster(n_workers=2, threads_per_worker=1, pool_threads=POOL_THREADS)
    try:
        yield c
    finally:
        dask_cube.stop_cluster(c)


def _bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).view(np.uint8).tobytes()


def _direct(values: np.ndarray, x: np.ndarray, **options: object) -> np.ndarray:
    flat = values.reshape(values.shape[0], -1).T  # (series, time)
    z = dask_cube.smooth_series(flat, x, parallel=False, **options)
    return z.T.reshape(values.shape)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("robust", [0, 3])
def test_both_ways_bit_identical_to_one_direct_call(client: object, dtype: type, robust: int) -> None:
    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK, dtype).persist()
    assert cube.data.npartitions == 6  # several blocks, some of them ragged
    values = cube.values
    assert np.isnan(values).any()  # missing values travel through the chunks too
    x = dask_cube.positions_of(cube["time"].values, dtype)
    expected = _direct(values, x, robust=robust)

    via_ufunc = dask_cube.smooth_dataarray(cube, robust=robust)
    assert via_ufunc.dims == cube.dims and via_ufunc.chunks == cube.chunks
    z_ufunc = via_ufunc.values
    z_blocks = dask_cube.smooth_dask_array(cube.data, x, robust=robust).compute()

    for z in (z_ufunc, z_blocks):
        assert z.dtype == dtype and z.shape == values.shape
        assert _bits(z) == _bits(expected)
    assert np.isfinite(expected).all()


def _direct_auto(values: np.ndarray, x: np.ndarray, lam: object) -> tuple[np.ndarray, np.ndarray]:
    """One in-memory quelbrin_auto call on every series of the cube (time first)."""
    flat = np.ascontiguousarray(values.reshape(values.shape[0], -1).T)
    smooth = quelbrin_auto.smooth_f32 if values.dtype == np.float32 else quelbrin_auto.smooth_f64
    r = smooth(x, flat, lam=lam)
    return r.z.T.reshape(values.shape), r.lam.reshape(values.shape[1:])


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("criterion", ["gcv", "loocv", "reml", "vcurve"])
def test_lam_map_from_chunks_bit_identical_to_one_in_memory_call(
    client: object, dtype: type, criterion: str
) -> None:
    import dask

    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK, dtype).persist()
    assert cube.data.npartitions == 6
    values = cube.values
    x = dask_cube.positions_of(cube["time"].values, dtype)
    z_expected, lam_expected = _direct_auto(values, x, criterion)
    # Every series is judged alone: a map of one value would not show that (the V-curve
    # picks midpoints of a grid, so fewer distinct values).
    assert np.unique(lam_expected).size > 10

    z_ufunc, lam_ufunc = dask_cube.smooth_dataarray_auto(cube, lam=criterion)
    assert z_ufunc.dims == cube.dims and z_ufunc.chunks == cube.chunks
    assert lam_ufunc.dims == ("y", "x") and lam_ufunc.chunks == cube.chunks[1:]
    for dim in ("y", "x"):
        assert np.array_equal(lam_ufunc[dim].values, cube[dim].values)
    z_ufunc, lam_ufunc = dask.compute(z_ufunc, lam_ufunc)
    z_blocks, lam_blocks = dask.compute(*dask_cube.smooth_dask_array_auto(cube.data, x, lam=criterion))

    for z in (z_ufunc.values, z_blocks):
        assert z.dtype == dtype and _bits(z) == _bits(z_expected)
    for lam in (lam_ufunc.values, lam_blocks):
        assert lam.dtype == np.float64 and lam.shape == (NY, NX)
        assert _bits(lam) == _bits(lam_expected)
    if dtype == np.float32:  # float32 numbers, as quelbrin_auto.smooth_f32 returns them
        assert np.array_equal(lam_expected.astype(np.float32).astype(np.float64), lam_expected)


def test_lam_map_does_not_depend_on_layout_and_reproduces_its_fits(client: object) -> None:
    import dask

    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK).persist()
    z0, lam0 = dask.compute(*dask_cube.smooth_dataarray_auto(cube, lam="reml"))

    # Other chunks, the time axis elsewhere, the Dask-array way along axis 1.
    other = cube.chunk({"y": 5, "x": 2})
    z1, lam1 = dask.compute(*dask_cube.smooth_dataarray_auto(other, lam="reml"))
    moved = cube.transpose("y", "time", "x")
    z2, lam2 = dask.compute(*dask_cube.smooth_dataarray_auto(moved, lam="reml"))
    x = dask_cube.positions_of(cube["time"].values)
    z3, lam3 = dask.compute(*dask_cube.smooth_dask_array_auto(moved.data, x, axis=1, lam="reml"))
    assert lam2.dims == ("y", "x")
    for z, lam in ((z1.values, lam1.values), (z2.transpose(*cube.dims).values, lam2.values),
                   (np.moveaxis(z3, 1, 0), lam3)):
        assert _bits(z) == _bits(z0.values) and _bits(lam) == _bits(lam0.values)

    # The stored map, in memory, given back on differently chunked data: the same fits.
    z4, lam4 = dask.compute(*dask_cube.smooth_dataarray_auto(other, lam=lam0))
    assert _bits(z4.values) == _bits(z0.values) and _bits(lam4.values) == _bits(lam0.values)
    with pytest.raises(ValueError, match="exact"):  # a map of other pixels: refused, not cut
        dask_cube.smooth_dataarray_auto(cube, lam=lam0.isel(x=slice(1, None)))
    # One number for every pixel: the fixed-lam smoother's bits.
    z5, lam5 = dask.compute(*dask_cube.smooth_dataarray_auto(cube, lam=50.0))
    assert (lam5.values == 50.0).all()
    assert _bits(z5.values) == _bits(dask_cube.smooth_dataarray(cube, lam=50.0).values)


def test_workers_get_their_pool_size(client: object) -> None:
    env = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))  # type: ignore[attr-defined]
    assert len(env) == 2 and set(env.values()) == {str(POOL_THREADS)}
    pids = client.run(os.getpid)  # type: ignore[attr-defined]
    assert os.getpid() not in pids.values() and len(set(pids.values())) == 2


def test_time_axis_of_the_dataarray_may_be_anywhere(client: object) -> None:
    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK)
    moved = cube.transpose("y", "time", "x")
    z = dask_cube.smooth_dataarray(moved).transpose("time", "y", "x").values
    assert _bits(z) == _bits(dask_cube.smooth_dataarray(cube).values)


def test_a_cube_split_along_time_is_refused() -> None:
    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK).chunk({"time": 10})
    with pytest.raises(ValueError, match="whole series"):
        dask_cube.smooth_dataarray(cube)
    x = dask_cube.positions_of(cube["time"].values)
    with pytest.raises(ValueError, match="whole series"):
        dask_cube.smooth_dask_array(cube.data, x)
    with pytest.raises(ValueError, match="x has"):
        dask_cube.smooth_dask_array(cube.data.rechunk({0: -1}), x[:-1])
    with pytest.raises(ValueError, match="whole series"):
        dask_cube.smooth_dataarray_auto(cube)
    with pytest.raises(ValueError, match="whole series"):
        dask_cube.smooth_dask_array_auto(cube.data, x)


def test_datetime_positions_are_days_since_the_first() -> None:
    times = np.array(["2024-03-01T00:00", "2024-03-01T12:00", "2024-03-04T06:00"], dtype="datetime64[m]")
    assert dask_cube.positions_of(times).tolist() == [0.0, 0.5, 3.25]
    assert dask_cube.positions_of(times, np.float32).dtype == np.float32
    plain = np.array([3.0, 4.5])
    assert dask_cube.positions_of(plain).tolist() == [3.0, 4.5]


@pytest.mark.parametrize("name", quelbrin.__all__ if hasattr(quelbrin, "__all__") else [])
def test_module_functions_pickle_by_reference(name: str) -> None:
    fn = getattr(quelbrin, name)
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert cloudpickle.loads(cloudpickle.dumps(fn)) is fn
