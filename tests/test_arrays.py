"""Array arguments and results: accepted types, dtypes and dimension counts, input layouts
(which never change a result) and the arrays handed back."""

import numpy as np
import pytest

import quelbrin
from conftest import assert_same_bits, noisy_series

SMOOTHERS = ["whittaker_solve_f64", "whittaker_solve_f32",
             "robust_whittaker_irls_f64", "robust_whittaker_irls_f32"]
ALL = ["build_pb_f64", "build_pb_f32"] + SMOOTHERS


def dtype_of(name):
    return np.dtype(np.float32 if name.endswith("_f32") else np.float64)


def data(name, S=4, T=12):
    rng = np.random.default_rng(0)
    dt = dtype_of(name)
    x, y = noisy_series(rng, dt, S, T, spacing=(0.5, 1.5), noise=0.3)
    return x, y, rng.uniform(0.2, 2.0, (S, T)).astype(dt)


def call(name, x, y=None, w=None):
    f = getattr(quelbrin, name)
    if name.startswith("build_pb"):
        return f(x)
    return f(x, y, w, return_weights=True) if "robust" in name else f(x, y, w)


def parts(out):
    return list(out) if isinstance(out, tuple) else [out]


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
    want = "float32" if name.endswith("_f32") else "float64"
    for value, type_name in bad:
        args[slot] = value
        with pytest.raises(TypeError) as e:
            call(name, *args)
        arg = ["x", "y_st", "w_base_st"][slot]
        # The fixed text first, then what was expected and what was given.
        expected = (f"argument '{arg}': '{type_name}' object cannot be cast as 'ndarray': "
                    f"expected a {a.ndim}-D {want} array")
        if isinstance(value, np.ndarray):
            expected += f", got {value.dtype.str if value.dtype.byteorder == '>' else value.dtype}"
            expected += f" with shape {value.shape}"
        assert str(e.value).startswith(expected), (str(e.value), expected)
        hint = str(e.value)[len(expected):]
        if isinstance(value, np.ndarray) and value.dtype.byteorder == ">":
            assert hint == f" (not in native byte order: pass a.astype(np.{want}))"
        elif isinstance(value, np.ndarray) and value.dtype == np.dtype(other):
            assert hint == f" ({np.dtype(other).name} data goes to the _{'f64' if want == 'float32' else 'f32'} functions)"
        else:
            assert hint == ""


@pytest.mark.parametrize("name", ALL)
def test_x_must_be_contiguous(name):
    x, y, w = data(name)
    spread = np.repeat(x, 2)[::2]
    with pytest.raises(TypeError) as e:
        call(name, spread, y, w)
    assert str(e.value) == ("The given array is not contiguous: argument 'x' must be contiguous, "
                            f"got strides ({spread.strides[0]},) "
                            "(pass numpy.ascontiguousarray(x))")
    assert_same_bits(call(name, np.ascontiguousarray(spread), y, w), call(name, x, y, w))
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
    assert_same_bits(got, call(name, x, np.array(yv), np.array(wv)))
    assert all(a.flags.c_contiguous for a in parts(got))


@pytest.mark.parametrize("name", ALL)
def test_x_layouts_and_memmap(name, tmp_path):
    x, y, w = data(name)
    ref = call(name, x, y, w)
    mapped = np.memmap(tmp_path / "x.bin", dtype=x.dtype, mode="w+", shape=x.shape)
    mapped[:] = x
    for xv in (unaligned(x), x.view(Tagged), mapped):
        assert_same_bits(call(name, xv, y, w), ref)
    with pytest.raises(TypeError, match=r"^argument 'x': 'memmap' object cannot be cast as"):
        call(name, mapped.astype(np.int32).view(np.memmap), y, w)


@pytest.mark.parametrize("name", SMOOTHERS)
def test_same_array_as_observations_and_weights(name):
    x, y, _ = data(name)
    pos = np.abs(y) + 0.5
    assert_same_bits(call(name, x, pos, pos), call(name, x, pos, pos.copy()))


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


# ---------------------------------------------------------------- numpy.ma.MaskedArray

def bit_same(got, ref):
    assert_same_bits(got, ref)
    for a, b in zip(parts(got), parts(ref)):
        if isinstance(b, np.ndarray):
            assert type(a) is np.ndarray and a.tobytes() == b.tobytes()


def masked_inputs(name):
    """y and w as masked arrays (a fill value of 1e6 under y's mask, a NaN under w's), and
    the plain arrays they stand for: NaN at y's masked entries, 0 at w's."""
    x, y, w = data(name, S=5, T=16)
    rng = np.random.default_rng(4)
    y_mask = rng.random(y.shape) < 0.2
    y_mask[2] = False  # a row with nothing masked
    w_mask = rng.random(w.shape) < 0.2
    y_data, w_data = y.copy(), w.copy()
    y_data[y_mask], w_data[w_mask] = 1e6, np.nan
    y_plain, w_plain = np.where(y_mask, np.nan, y).astype(y.dtype), np.where(w_mask, 0, w).astype(w.dtype)
    return x, np.ma.array(y_data, mask=y_mask), np.ma.array(w_data, mask=w_mask), y_plain, w_plain


@pytest.mark.parametrize("name", SMOOTHERS)
def test_masked_entries_are_missing_observations_and_zero_weights(name):
    x, ym, wm, y_plain, w_plain = masked_inputs(name)
    ref = call(name, x, y_plain, w_plain)
    bit_same(call(name, x, ym, wm), ref)
    # strided masked views: every other row and column of a larger masked array
    big_y = np.ma.masked_all((2 * ym.shape[0], 2 * ym.shape[1]), ym.dtype)
    big_w = np.ma.masked_all(big_y.shape, wm.dtype)
    big_y[::2, ::2], big_w[::2, ::2] = ym, wm
    bit_same(call(name, x, big_y[::2, ::2], big_w[::2, ::2]), ref)
    # only one of the two masked
    bit_same(call(name, x, ym, w_plain), ref)
    bit_same(call(name, x, y_plain, wm), ref)
    # the caller's arrays and masks are left as they were
    assert ym.data[ym.mask].min() == 1e6 and np.isnan(wm.data[wm.mask]).all()


@pytest.mark.parametrize("name", SMOOTHERS)
def test_one_masked_array_as_observations_and_weights(name):
    x, y, _, _, _ = masked_inputs(name)
    pos = np.ma.array(np.abs(y.data) + 0.5, mask=y.mask)
    plain_y = np.where(pos.mask, np.nan, pos.data).astype(pos.dtype)
    plain_w = np.where(pos.mask, 0, pos.data).astype(pos.dtype)
    bit_same(call(name, x, pos, pos), call(name, x, plain_y, plain_w))


@pytest.mark.parametrize("name", ALL)
def test_masks_without_masked_entries_change_nothing(name):
    x, y, w = data(name)
    ref = call(name, x, y, w)
    for mask in (np.ma.nomask, False):
        bit_same(call(name, np.ma.array(x, mask=mask), np.ma.array(y, mask=mask),
                      np.ma.array(w, mask=mask)), ref)


@pytest.mark.parametrize("name", ALL)
def test_masked_positions_are_refused(name):
    x, y, w = data(name)
    xm = np.ma.array(x, mask=np.arange(x.size) == 3)
    with pytest.raises(ValueError) as e:
        call(name, xm, y, w)
    assert type(e.value) is ValueError and str(e.value) == "x must not have masked entries"
    # after the conversion errors of every argument, before the value checks
    f = getattr(quelbrin, name)
    if name.startswith("build_pb"):
        with pytest.raises(TypeError):
            f(xm, normalize=1)
        with pytest.raises(ValueError, match="^x must not have masked entries$"):
            f(np.ma.array([0.0, 1.0], x.dtype, mask=[0, 1]), normalize="bad")
    else:
        with pytest.raises(TypeError):
            f(xm, y, w, parallel="yes")
        with pytest.raises(TypeError, match="^argument 'y_st'"):
            f(xm, y.astype(np.int64), w)
        with pytest.raises(ValueError, match="^x must not have masked entries$"):
            f(xm, y[:, 1:], w, lam=-1.0)


@pytest.mark.parametrize("name", SMOOTHERS)
def test_masked_arrays_of_the_wrong_dtype_are_the_usual_type_error(name):
    x, y, w = data(name)
    y_int = np.ma.array(np.zeros(y.shape, np.int64), mask=np.ones(y.shape, bool))
    with pytest.raises(TypeError) as e:
        call(name, x, y_int, w)
    want = "float32" if name.endswith("_f32") else "float64"
    assert str(e.value) == ("argument 'y_st': 'MaskedArray' object cannot be cast as 'ndarray': "
                            f"expected a 2-D {want} array (masked arrays are accepted), "
                            f"got a masked array of int64 with shape {y.shape}")
