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
