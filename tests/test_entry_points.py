"""The entry points: build_pb's own checks and result, how absent, None and given arguments
reach the cores, error values as ValueError, and band sizes that cannot exist."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelbrin
from conftest import FLAVOURS, noisy_series


def fn(base, suffix):
    return getattr(quelbrin, base + suffix)


def series(dt, S=3, T=15):
    x, y = noisy_series(np.random.default_rng(1), dt, S, T, spacing=(0.2, 3.0), wave=np.cos,
                        period=3)
    y[0, 4] = 25.0  # an outlier
    return x, y


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_build_pb_result(suffix, dt):
    f = fn("build_pb", suffix)
    pb, k = f(np.arange(5, dtype=dt))
    assert type(k) is int and k == 4 and pb.dtype == dt
    expected = [[0.25, 1.25, 1.5, 1.25, 0.25], [0, -0.5, -1, -1, -0.5], [0, 0, 0.25, 0.25, 0.25]]
    np.testing.assert_array_equal(pb, np.array(expected + [[0] * 5] * 2, dt))
    pb, k = f(np.array([3.0, 7.5, 9.0], dt), d=0)
    assert k == 0
    np.testing.assert_array_equal(pb, np.ones((1, 3), dt))
    # d >= T: no difference row of order d, so an all-zero band of the full shape.
    for T, d in [(2, 2), (3, 7)]:
        pb, k = f(np.arange(T, dtype=dt), d=d)
        assert k == 2 * d and pb.shape == (2 * d + 1, T) and not pb.any()


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_build_pb_validation(suffix, dt):
    f = fn("build_pb", suffix)
    for bad in ([1.0], [], [np.nan]):
        with pytest.raises(ValueError, match="^x must have length >=2$"):
            f(np.array(bad, dt))
    for bad in ([0, 1, 1, 2], [0, np.nan, 2], [np.nan, 1, 2], [3, 2, 1]):
        with pytest.raises(ValueError, match="^x must be strictly increasing: x\\[[12]\\] = "):
            f(np.array(bad, dt))
    for bad in ([-np.inf, 0, 1], [0, 1, np.inf]):
        with pytest.raises(ValueError, match="^x must hold only finite values$"):
            f(np.array(bad, dt), d=0)


@pytest.mark.parametrize("suffix,dt,default,smaller", [("_f64", np.float64, 1e-12, 1e-14),
                                                       ("_f32", np.float32, 1e-6, 1e-8)])
def test_build_pb_floor_and_normalize(suffix, dt, default, smaller):
    f = fn("build_pb", suffix)
    x = np.array([0.0, default / 10, 1.0, 2.0], dt)  # one spacing below the default floor
    band = f(x, d=1)[0]
    for same in (f(x, d=1, eps=None)[0], f(x, d=1, eps=default)[0]):
        np.testing.assert_array_equal(same, band)
    assert not np.array_equal(f(x, d=1, eps=smaller)[0], band)

    x = np.array([10.0, 12.0, 14.0, 20.0, 22.0], dt)
    raw = f(x)[0]
    np.testing.assert_array_equal(f(x, normalize=None)[0], raw)
    with pytest.raises(ValueError, match='^normalize must be "mean", "median" or None$'):
        f(x, normalize="Mean")
    np.testing.assert_array_equal(f(x, normalize="median")[0], f((x - x[0]) / dt(2))[0])
    np.testing.assert_array_equal(x, [10.0, 12.0, 14.0, 20.0, 22.0])


# A child with a capped address space cannot even start under ASan (its shadow memory),
# and ASan aborts on a failed operator new instead of throwing.
needs_plain_allocator = pytest.mark.skipif(os.environ.get("QUELBRIN_SANITIZED") == "1",
                                           reason="not under ASan")


def run_limited(code):
    """Runs `code` in a child whose address space is capped, so that a huge allocation
    fails at once instead of being granted lazily."""
    prelude = "import resource; resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
    r = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert "panicked" not in r.stderr
    return r.stdout.split()


@needs_plain_allocator
@pytest.mark.parametrize("d,expected", [("2**63", {"MemoryError"}),
                                        ("2**62", {"MemoryError"}),
                                        ("2**61", {"MemoryError", "ValueError"})])
def test_impossible_band_sizes_fail_cleanly(d, expected):
    outcome, after = run_limited(f"""
        import numpy as np, quelbrin
        x = np.arange(5.0)
        try:
            quelbrin.build_pb_f64(x, d={d})
        except BaseException as e:
            print(type(e).__name__)
        print(quelbrin.build_pb_f64(x)[1])
    """)
    assert outcome in expected and after == "4"


@needs_plain_allocator
def test_outputs_too_big_to_allocate_are_memory_errors():
    out = run_limited("""
        import numpy as np, quelbrin
        for f in (quelbrin.whittaker_solve_f64, quelbrin.robust_whittaker_irls_f32):
            dt = np.float32 if f.__name__.endswith("f32") else np.float64
            x = np.arange(5, dtype=dt)
            try:
                f(x, np.broadcast_to(np.ones(5, dt), (2**40, 5)))  # a view of one row
            except BaseException as e:
                print(type(e).__name__)
            print(f(x, np.ones((2, 5), dt)).shape == (2, 5))
    """)
    assert out == ["MemoryError", "True"] * 2


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_solve_defaults_and_errors(suffix, dt):
    f = fn("whittaker_solve", suffix)
    x, y = series(dt)
    base = f(x, y)
    assert base.shape == y.shape and base.dtype == dt
    for same in (f(x, y, None, 10.0, 2, 1e-10, "mean", 1e-10, True),
                 f(x, y, w_base_st=None, parallel=False), f(x, y, np.ones_like(y)),
                 f(x, y, lam=float(dt(10.0)), eps=float(dt(1e-10)), ridge=float(dt(1e-10)))):
        np.testing.assert_array_equal(same, base)
    assert not np.array_equal(f(x, y, normalize=None), base)
    np.testing.assert_array_equal(f(x, y, lam=7.3), f(x, y, lam=float(dt(7.3))))
    with pytest.raises(ValueError, match=r"^y_st shape must be \(S,T\) with T=len\(x\)$"):
        f(x, np.ones((2, len(x) + 1), dt))
    with pytest.raises(ValueError, match="^x must be strictly increasing: x\\[1\\] = "):
        f(x[::-1].copy(), y)
    with pytest.raises(ValueError, match="^w_base_st must match y_st shape$"):
        f(x, y, np.ones((y.shape[0] + 1, y.shape[1]), dt))
    np.testing.assert_array_equal(f(x, y), base)  # nothing left behind by the failures


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_robust_defaults_and_none(suffix, dt):
    f = fn("robust_whittaker_irls", suffix)
    x, y = series(dt)
    base = f(x, y)
    assert isinstance(base, np.ndarray) and base.shape == y.shape and base.dtype == dt
    for same in (f(x, y, None, 10.0, 2, 1, "tukey", "mad", 1e-10, "mean", 1e-10, True, None,
                   False, 1e-2),
                 f(x, y, tuning=None, merge_x_tol=0.01), f(x, y, weighting="TUKEY", scale="MAD")):
        np.testing.assert_array_equal(same, base)
    assert not np.array_equal(f(x, y, iterations=3), base)
    np.testing.assert_array_equal(f(x, y, tuning=(1, 2, 3)), f(x, y, tuning=(1.0, 2.0, 3.0)))

    z, w = f(x, y, return_weights=True)
    np.testing.assert_array_equal(z, base)
    assert w.shape == y.shape and w.dtype == dt
    np.testing.assert_array_equal(w, np.ones_like(y))  # one step: the base weights
    w3 = f(x, y, iterations=3, return_weights=True)[1]
    assert w3[0, 4] < 0.5 < w3[1, 4]


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_robust_merge_tolerance(suffix, dt):
    f = fn("robust_whittaker_irls", suffix)
    x, y = series(dt)
    x[6] = x[5] + dt(0.005)  # merges under the default tolerance
    unmerged = f(x, y, merge_x_tol=None)
    np.testing.assert_array_equal(f(x, y, merge_x_tol=0.0), unmerged)
    merged = f(x, y)
    assert not np.array_equal(merged, unmerged)
    np.testing.assert_array_equal(merged, f(x, y, merge_x_tol=0.01))
    np.testing.assert_array_equal(merged[:, 5], merged[:, 6])


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_robust_error_values(suffix, dt):
    f = fn("robust_whittaker_irls", suffix)
    x, y = series(dt)
    with pytest.raises(ValueError) as e:
        f(x, y, np.ones((1, 2), dt), weighting="Foo Bar")  # before the base-weight shape
    assert str(e.value) == "Unknown weighting: Foo Bar"
    with pytest.raises(ValueError, match="^x must have length > d after merging$"):
        f(x[:2].copy(), y[:, :2].copy())
    np.testing.assert_array_equal(f(x, y), f(x, y))
