"""Array arguments and results: accepted types, dtypes and dimension counts, input layouts
(which never change a result) and the arrays handed back."""

import numpy as np
import pytest

import quelbrin

SMOOTHERS = ["whittaker_solve_f64", "whittaker_solve_f32",
             "robust_whittaker_irls_f64", "robust_whittaker_irls_f32"]
ALL = ["build_pb_f64", "build_pb_f32"] + SMOOTHERS


def dtype_of(name):
    return np.dtype(np.float32 if name.endswith("_f32") else np.float64)


def data(name, S=4, T=12):
    rng = np.random.default_rng(0)
    dt = dtype_of(name)
    x = np.cumsum(rng.uniform(0.5, 1.5, T)).astype(dt)
    y = (np.sin(x)[None, :] + rng.normal(0, 0.3, (S, T))).astype(dt)
    return x, y, rng.uniform(0.2, 2.0, (S, T)).astype(dt)


def call(name, x, y=None, w=None):
    f = getattr(quelbrin, name)
    if name.startswith("build_pb"):
        return f(x)
    return f(x, y, w, return_weights=True) if "robust" in name else f(x, y, w)


def parts(out):
    return list(out) if isinstance(out, tuple) else [out]


def assert_same(got, ref):
    for a, b in zip(parts(got), parts(ref), strict=True):
        assert type(a) is type(b)
        if isinstance(b, np.ndarray):
            assert a.dtype == b.dtype
            np.testing.assert_array_equal(a, b)
        else:
            assert a == b


@pytest.mark.parametrize("name,slot", [(n, s) for n in ALL for s in range(1 if "pb" in n else 3)])
def test_wrong_arrays(name, slot):
    args = list(data(name))
    a = args[slot]
    other = np.float64 if name.endswith("_f32") else np.float32
    bad = [(a.astype(other), "ndarray"), (a.astype(np.int64), "ndarray"),
           (a.astype(a.dtype.newbyteorder()), "ndarray"), (a[None], "ndarray"),
           (np.asarray(a[0]), "ndarray"), (a.tolist(), "list")]
    if slot < 2:
        bad.append((None, "NoneType"))  # None only means "absent" for w_base_st
    for value, type_name in bad:
        args[slot] = value
        with pytest.raises(TypeError) as e:
            call(name, *args)
        arg = ["x", "y_st", "w_base_st"][slot]
        assert str(e.value) == f"argument '{arg}': '{type_name}' object cannot be cast as 'ndarray'"


@pytest.mark.parametrize("name", ALL)
def test_x_must_be_contiguous(name):
    x, y, w = data(name)
    spread = np.repeat(x, 2)[::2]
    with pytest.raises(TypeError) as e:
        call(name, spread, y, w)
    assert str(e.value) == "The given array is not contiguous"
    assert_same(call(name, np.ascontiguousarray(spread), y, w), call(name, x, y, w))
    one = np.arange(3, dtype=x.dtype)[::2][:1]  # strided, but one element is contiguous
    if name.startswith("whittaker"):
        assert call(name, one, y[:, :1], w[:, :1]).shape == (y.shape[0], 1)
    else:
        with pytest.raises(ValueError, match="^x must have length >=2"):
            call(name, one, y[:, :1], w[:, :1])


def unaligned(a):
    raw = bytearray(1) + np.ascontiguousarray(a).tobytes()
    return np.frombuffer(raw, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)


class Tagged(np.ndarray):
    pass


def layouts(a):
    """Views with the values of `a` (or of its first row) and some other layout."""
    S, T = a.shape
    big = np.zeros((2 * S, 3 * T), a.dtype)
    big[::2, ::3] = a
    return {
        "strided": big[::2, ::3],
        "reversed": np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
        "fortran": np.asfortranarray(a),
        "broadcast": np.broadcast_to(a[:1], a.shape),
        "unaligned": unaligned(a),
        "subclass": a.view(Tagged),
    }


@pytest.mark.parametrize("name", SMOOTHERS)
@pytest.mark.parametrize("layout", list(layouts(np.zeros((1, 1)))))
def test_matrix_layout_does_not_change_the_result(name, layout):
    x, y, w = data(name)
    yv, wv = layouts(y)[layout], layouts(w)[layout]
    got = call(name, x, yv, wv)
    assert_same(got, call(name, x, np.array(yv), np.array(wv)))
    assert all(a.flags.c_contiguous for a in parts(got))


@pytest.mark.parametrize("name", ALL)
def test_x_layouts_and_memmap(name, tmp_path):
    x, y, w = data(name)
    ref = call(name, x, y, w)
    mapped = np.memmap(tmp_path / "x.bin", dtype=x.dtype, mode="w+", shape=x.shape)
    mapped[:] = x
    for xv in (unaligned(x), x.view(Tagged), mapped):
        assert_same(call(name, xv, y, w), ref)
    with pytest.raises(TypeError, match=r"^argument 'x': 'memmap' object cannot be cast as"):
        call(name, mapped.astype(np.int32).view(np.memmap), y, w)


@pytest.mark.parametrize("name", SMOOTHERS)
def test_same_array_as_observations_and_weights(name):
    x, y, _ = data(name)
    pos = np.abs(y) + 0.5
    assert_same(call(name, x, pos, pos), call(name, x, pos, pos.copy()))


@pytest.mark.parametrize("name", ALL)
def test_results_are_fresh_owned_c_arrays(name):
    x, y, w = data(name)
    for a in (x, y, w):
        a.flags.writeable = False
    before = [a.copy() for a in (x, y, w)]
    arrays = [o for o in parts(call(name, x, y, w)) if isinstance(o, np.ndarray)]
    assert arrays
    for a in arrays:
        assert type(a) is np.ndarray and a.dtype == dtype_of(name) and a.ndim == 2
        assert a.base is None and a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
        a[...] = 12345
    for b, a in zip(before, (x, y, w)):
        np.testing.assert_array_equal(a, b)
