"""Scale-out: quelbrin_auto.xarray on a cluster of worker processes gives the direct call's bits."""

from __future__ import annotations

import os
import pickle
import sys
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import quelbrin
import quelbrin_auto

xr = pytest.importorskip("xarray")
pytest.importorskip("dask.distributed")
import cloudpickle  # noqa: E402  (comes with distributed)

from quelbrin_auto.xarray import smooth  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import dask_cube  # noqa: E402

# The workers cannot import the example (it is not installed), so its functions travel by
# value; quelbrin_auto's, installed, travel by reference.
cloudpickle.register_pickle_by_value(dask_cube)

NT, NY, NX, CHUNK = 40, 9, 7, 4
POOL_THREADS = 1


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    try:
        c = dask_cube.start_cluster(n_workers=2, threads_per_worker=1, pool_threads=POOL_THREADS)
    except Exception as e:  # no processes or sockets here: nothing to test against
        pytest.skip(f"a LocalCluster of processes cannot start here: {e!r}")
    try:
        yield c
    finally:
        dask_cube.stop_cluster(c)


def _bits(a: np.ndarray) -> bytes:
    return np.ascontiguousarray(a).view(np.uint8).tobytes()


def _rows(v: np.ndarray) -> np.ndarray:
    """(time, y, x) -> (series, time); (y, x) -> (series,): quelbrin_auto's layout."""
    return np.ascontiguousarray(v.reshape(v.shape[0], -1).T) if v.ndim == 3 else v.reshape(-1)


@pytest.mark.parametrize(("dtype", "lam"), [
    (np.float64, "reml"), (np.float32, "reml"), (np.float64, "gcv"), (np.float32, "vcurve"),
    (np.float64, 50.0), (np.float32, 50.0)])
def test_on_worker_processes_every_field_is_the_direct_calls_bits(
        client: Any, dtype: Any, lam: Any) -> None:
    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK, dtype).persist()
    assert cube.data.npartitions == 6  # several blocks, some of them ragged
    ref = dask_cube.direct(cube.compute(), lam=lam, return_uncertainty=True)
    assert np.isnan(cube.values).any()  # missing values travel through the chunks too
    if isinstance(lam, str):  # every series judged alone: a map of one value shows nothing
        assert np.unique(ref.lam).size > 10 or lam == "vcurve"

    lazy = smooth(cube, "time", lam=lam, return_uncertainty=True)
    assert lazy.z.chunks == cube.chunks and lazy.lam.chunks == cube.chunks[1:]
    ds = lazy.compute()  # on the cluster: one task per chunk for every variable
    for name in ("z", "lam", "edf", "score", "sigma", "at_bound", "leverage", "se"):
        assert _bits(_rows(ds[name].values)) == _bits(getattr(ref, name)), name
    assert ds.z.dtype == dtype and np.isfinite(ds.z.values).all()


def test_the_lam_map_does_not_depend_on_layout_and_reproduces_its_fits(client: Any) -> None:
    cube = dask_cube.synthetic_cube(NT, NY, NX, CHUNK).persist()
    first = smooth(cube, lam="reml").compute()
    other = smooth(cube.chunk({"y": 5, "x": 2}).transpose("y", "time", "x"), lam="reml").compute()
    assert _bits(other.lam.values) == _bits(first.lam.values)
    assert _bits(other.z.transpose(*cube.dims).values) == _bits(first.z.values)
    # The stored map given back (lazy, chunked otherwise): the same fits, no search.
    again = smooth(cube, lam=first.lam.chunk({"x": 3})).compute()
    assert _bits(again.z.values) == _bits(first.z.values)
    with pytest.raises(ValueError, match="exact"):  # a map of other pixels: refused, not cut
        smooth(cube, lam=first.lam.isel(x=slice(1, None)))


def test_workers_get_their_pool_size(client: Any) -> None:
    env = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert len(env) == 2 and set(env.values()) == {str(POOL_THREADS)}
    pids = client.run(os.getpid)
    assert os.getpid() not in pids.values() and len(set(pids.values())) == 2


def test_the_example_runs_and_checks_its_bits() -> None:
    argv = ["--nt", "30", "--ny", "8", "--nx", "6", "--chunk", "4", "--float32", "--lam", "gcv"]
    try:
        code = dask_cube.main(argv)
    except OSError as e:
        pytest.skip(f"a LocalCluster of processes cannot start here: {e!r}")
    assert code == 0


@pytest.mark.parametrize("module", [quelbrin, quelbrin_auto])
def test_module_functions_pickle_by_reference(module: Any) -> None:
    for name in module.__all__:
        fn = getattr(module, name)
        if callable(fn):
            assert pickle.loads(pickle.dumps(fn)) is fn
            assert cloudpickle.loads(cloudpickle.dumps(fn)) is fn
