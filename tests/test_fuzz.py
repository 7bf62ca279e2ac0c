"""Property-based fuzzing of the whole module surface.

Every call, whatever its arguments, must either return a result of the documented shape and
dtype or raise TypeError, ValueError, OverflowError or MemoryError with a message; nothing
else (no PanicException, no crash, no hang), and the caller's arrays must be unchanged
byte for byte.  A successful call must also give the same bits when repeated, with
`parallel` flipped, and with every array argument replaced by a plain contiguous copy.

Each function is explored by hypothesis in a child process, so that a crash is reported
with the call that caused it instead of taking pytest down.  Before every call the child
writes the call's repr to a breadcrumb file.

Profiles (environment variable QUELBRIN_FUZZ_PROFILE): "quick" (the default, a few hundred
examples per function, used by `make test`) and "long" (`make fuzz`, 20,000 per function).
Running this file as a script fuzzes all six functions and prints the example counts.
"""

import fractions
import decimal
import operator
import os
import subprocess
import sys
import tempfile

import numpy as np
import pytest

PROFILES = {"quick": 300, "long": 20_000}
CHILD_TIMEOUT = {"quick": 900, "long": 6 * 3600}
NAMES = ["build_pb_f64", "build_pb_f32", "whittaker_solve_f64", "whittaker_solve_f32",
         "robust_whittaker_irls_f64", "robust_whittaker_irls_f32"]
PARAMS = {
    "build_pb": ["x", "d", "normalize", "eps"],
    "whittaker_solve": ["x", "y_st", "w_base_st", "lam", "d", "ridge", "normalize", "eps",
                        "parallel"],
    "robust_whittaker_irls": ["x", "y_st", "w_base_st", "lam", "d", "iterations", "weighting",
                              "scale", "ridge", "normalize", "eps", "parallel", "tuning",
                              "return_weights", "merge_x_tol"],
}
REQUIRED = {"build_pb": 1, "whittaker_solve": 2, "robust_whittaker_irls": 2}
# Under ASan a failed C++ allocation aborts instead of throwing: no impossible sizes then.
SANITIZED = os.environ.get("QUELBRIN_SANITIZED") == "1"


def profile():
    name = os.environ.get("QUELBRIN_FUZZ_PROFILE", "quick")
    if name not in PROFILES:
        raise SystemExit(f"QUELBRIN_FUZZ_PROFILE must be one of {sorted(PROFILES)}")
    return name


# --------------------------------------------------------------------------------------
# The parent side: one child per function.

def run_child(name, prof):
    with tempfile.TemporaryDirectory() as tmp:
        crumb = os.path.join(tmp, "last_call")
        env = {**os.environ, "QUELBRIN_FUZZ_PROFILE": prof}
        try:
            r = subprocess.run([sys.executable, __file__, "--child", name, crumb, tmp],
                               capture_output=True, text=True, env=env,
                               timeout=CHILD_TIMEOUT[prof])
        except subprocess.TimeoutExpired:
            pytest.fail(f"{name}: hang; last call:\n{read(crumb)}")
        if r.returncode != 0:
            how = f"signal {-r.returncode}" if r.returncode < 0 else f"exit {r.returncode}"
            pytest.fail(f"{name}: child ended with {how}; last call:\n{read(crumb)}\n"
                        f"--- stdout\n{r.stdout[-6000:]}\n--- stderr\n{r.stderr[-6000:]}")
    lines = [line for line in r.stdout.splitlines() if line.startswith("fuzzed ")]
    assert len(lines) == 1, r.stdout
    return int(lines[0].split()[2]), lines[0]


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return "<none>"


@pytest.mark.parametrize("name", NAMES)
def test_fuzz_surface(name):
    assert run_child(name, profile())[0] >= PROFILES[profile()]


# --------------------------------------------------------------------------------------
# The child side: strategies and the property.

class Deliberate(Exception):
    """Raised by hostile argument objects; the module must let it through unchanged."""


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v

    def __repr__(self):
        return f"IndexLike({self.v!r})"


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v

    def __repr__(self):
        return f"FloatLike({self.v!r})"


class Raising:
    """Fails in every conversion the module may attempt."""

    def __index__(self):
        raise Deliberate("__index__")

    def __float__(self):
        raise Deliberate("__float__")

    def __bool__(self):
        raise Deliberate("__bool__")

    def __len__(self):
        raise Deliberate("__len__")

    def __repr__(self):
        return "Raising()"


class WrongTypes:
    """Conversions that return objects of the wrong type."""

    def __index__(self):
        return 2.5

    def __float__(self):
        return "1.0"

    def __repr__(self):
        return "WrongTypes()"


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class TupleSub(tuple):
    pass


class UserArray(np.ndarray):
    """A user subclass with its own attribute, to be read like any ndarray."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "user")


ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, Deliberate)


def strategies(tmpdir):
    import hypothesis.strategies as st

    memmaps = {}
    for dt in (np.float64, np.float32):
        path = os.path.join(tmpdir, f"mm_{np.dtype(dt).name}")
        memmaps[dt] = np.memmap(path, dtype=dt, mode="w+", shape=(4096,))

    special = [0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300,
               1e300, -1e300, 3.4e38, 1e-45, float("nan"), float("inf"), float("-inf")]
    floats = st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                       st.sampled_from(special), st.floats(-100, 100))
    finite_floats = st.one_of(st.floats(-100, 100), st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e-300]))
    ints = st.one_of(st.integers(-10, 16), st.integers(-2**70, 2**70),
                     st.sampled_from([2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
                                      -2**63, 10**12, -1]))
    names = ["", "mean", "Mean", "MEAN", "median", "Median", "tukey", "TUKEY", "Tukey",
             "bisquare", "BiSquare", "huber", "HUBER", "Huber", "cauchy", "welsch", "fair",
             "hampel", "HAMPEL", "gauss", "mad", "MAD", "xyz", " tukey", "tukey ", "huber ",
             "\ud800", "x\udfff", "t\u00fckey", "\u212aey", "TU\u212aEY", "\u0130", "\x00",
             "mean\x00", "\U0001f600"]
    text = st.one_of(st.sampled_from(names), st.text(max_size=8),
                     st.sampled_from(names).map(StrSub))
    np_scalars = st.sampled_from([
        np.float32(1.5), np.float64(np.nan), np.float64(-0.0), np.float16(2), np.int64(-3),
        np.int8(-1), np.uint8(3), np.uint64(2**64 - 1), np.int64(2), np.bool_(True),
        np.bool_(False), np.complex128(1j), np.longdouble(3), np.datetime64("2020-01-01"),
        np.str_("tukey"), np.bytes_(b"mean")])
    objects = st.sampled_from([
        object(), b"mean", bytearray(b"tukey"), decimal.Decimal("1.5"), fractions.Fraction(1, 3),
        IndexLike(3), IndexLike(-1), IndexLike(2**64), FloatLike(2.5), FloatLike(float("nan")),
        Raising(), WrongTypes(), IntSub(2), FloatSub(0.5), 1j, Ellipsis, NotImplemented,
        {"a": 1}, {1, 2}, range(3), memoryview(b"abc"), print, np, np.float64, type])

    def plain_array(dt, shape, elements=floats):
        n = int(np.prod(shape))
        return st.lists(elements, min_size=n, max_size=n).map(
            lambda v: np.array(v, dtype=np.float64).astype(dt).reshape(shape))

    @st.composite
    def layout(draw, a, slot, contiguous_x=False):
        """The same logical array in another memory layout, or a view with the given
        shape made of fewer distinct elements (broadcasts)."""
        if contiguous_x:
            kinds = ["c", "c", "memmap", "sub", "unaligned", "readonly", "ma-unmasked"]
        else:
            kinds = ["c", "c", "f", "rev", "strided", "bcast", "memmap", "sub", "unaligned",
                     "readonly", "noncontig-x", "ma-unmasked", "ma-masked"]
        kind = draw(st.sampled_from(kinds))
        if kind.startswith("ma-") and a.dtype.kind == "f":
            # numpy.ma arrays, as netCDF4 and rasterio hand them out
            mask = np.zeros(a.shape, bool)
            if kind == "ma-masked" and a.size:
                mask.flat[draw(st.integers(0, a.size - 1))] = True
            return np.ma.array(a, mask=mask, fill_value=1e6 if a.dtype.itemsize > 2 else 0)
        if kind == "f":
            return np.asfortranarray(a)
        if kind == "rev" and a.ndim >= 1:
            axis = draw(st.integers(0, a.ndim - 1))
            return np.flip(np.flip(a, axis).copy(), axis)
        if kind == "strided" and a.ndim >= 1:
            big = np.zeros(a.shape[:-1] + (2 * a.shape[-1],), a.dtype)
            big[..., ::2] = a
            return big[..., ::2]
        if kind == "noncontig-x" and a.ndim == 1 and a.size >= 2:
            return a[::draw(st.sampled_from([2, -1]))]
        if kind == "bcast" and a.ndim == 2 and a.size:
            if draw(st.booleans()):
                return np.broadcast_to(a[:1], a.shape)
            return np.broadcast_to(a[:, :1], a.shape)
        if kind == "memmap" and a.dtype in (np.float64, np.float32) and a.size:
            mm = memmaps[a.dtype.type]
            start = 256 * slot + draw(st.integers(0, 3))
            view = mm[start:start + a.size].reshape(a.shape)
            view[...] = a
            return view
        if kind == "sub":
            return a.view(UserArray)
        if kind == "unaligned" and a.size and not a.dtype.hasobject:
            raw = np.zeros(a.nbytes + 1, np.uint8)[1:]
            out = raw.view(a.dtype).reshape(a.shape)
            out[...] = a
            return out
        if kind == "readonly":
            a = a.copy()
            a.setflags(write=False)
            return a
        return a

    def shape_strategy(ndim):
        return st.tuples(*[st.integers(0, 4)] * ndim)

    other_dtypes = [np.bool_, np.int8, np.uint8, np.int32, np.int64, np.uint64, np.float16,
                    np.longdouble, np.complex64, np.complex128, object, "U3", "S3",
                    "M8[D]", "m8[s]", [("a", "f8")], ">f8", ">f4", "f8", "f4"]

    @st.composite
    def any_array(draw):
        ndim = draw(st.integers(0, 3))
        shape = draw(shape_strategy(ndim))
        dt = np.dtype(draw(st.sampled_from(other_dtypes)))
        n = int(np.prod(shape))
        if dt == object:
            a = np.array([1.5] * n + [None], dtype=object)[:n].reshape(shape)
        elif dt.fields:
            a = np.zeros(shape, dt)
        else:
            a = np.arange(n).astype(dt, casting="unsafe").reshape(shape)
        return draw(layout(a, 9))

    junk = st.one_of(st.none(), st.booleans(), np_scalars, ints, floats, text, objects,
                     st.lists(floats, max_size=4),
                     st.lists(st.one_of(floats, ints, st.none()), max_size=5).map(tuple),
                     st.tuples(floats, floats, floats).map(TupleSub), any_array())

    @st.composite
    def positions(draw, dt, T, valid=False):
        kinds = ["cumsum"] * 6 + ["arange", "tiny", "huge"] + ([] if valid else ["raw"])
        kind = draw(st.sampled_from(kinds))
        if kind == "cumsum":
            steps = draw(st.lists(st.sampled_from([1e-3, 0.004, 0.01, 0.3, 0.7, 1.0, 1.0, 2.5, 7.0, 100.0]),
                                  min_size=T, max_size=T))
            x = np.cumsum(steps) + draw(st.sampled_from([0.0, -5.0, 1e3]))
        elif kind == "arange":
            x = np.arange(T, dtype=np.float64)
        elif kind == "tiny":  # spacings near the smallest the type has
            x = np.arange(T, dtype=np.float64) * (1e-300 if dt == np.float64 else 1e-40)
        elif kind == "huge":  # spacings near the largest
            big = 1e300 if dt == np.float64 else 1e37
            x = np.arange(T, dtype=np.float64) * big - big
        else:
            x = np.array(draw(st.lists(floats, min_size=T, max_size=T)), dtype=np.float64)
        return draw(layout(x.astype(dt), 0, contiguous_x=valid))

    real = st.one_of(st.sampled_from([0.0, 1e-10, 1e-3, 0.01, 0.05, 1.0, 10.0, 1e4, 1e300,
                                      -1.0, float("nan")]), floats)
    valid_names = st.one_of(st.sampled_from(names[:22]), st.text(max_size=6))

    def slot_value(base, p, dt, T, S, valid):
        """A value for parameter p: of an accepted type (valid), or merely plausible."""
        wrong = np.float32 if dt == np.float64 else np.float64
        if p == "x":
            if valid:
                return positions(dt, T, valid=True)
            return st.one_of(positions(dt, T),
                             st.integers(0, 3).flatmap(lambda t: positions(dt, t)),
                             positions(wrong, T))
        if p in ("y_st", "w_base_st"):
            slot = 1 if p == "y_st" else 2
            if valid:
                shapes = st.just((S, T))
            else:
                shapes = st.sampled_from([(S, T), (S, T + 1), (S + 1, T), (T,), (1, S, T)])
            arrays = shapes.flatmap(lambda s: plain_array(dt, s)).flatmap(
                lambda a: layout(a, slot))
            if p == "w_base_st":
                if valid:  # mostly finite weights, which every observation accepts
                    finite = shapes.flatmap(lambda s: plain_array(dt, s, finite_floats)).flatmap(
                        lambda a: layout(a, slot))
                    return st.one_of(st.none(), finite, finite, arrays)
                return st.one_of(st.none(), arrays)
            if SANITIZED:
                return arrays
            # broadcast views far larger than memory: the result cannot be allocated
            huge = st.sampled_from([2**40, 2**50]).map(
                lambda n: np.broadcast_to(np.ones(T, dt), (n, T)))
            return st.one_of(arrays, arrays, arrays, huge)
        if p in ("lam", "ridge", "eps", "merge_x_tol"):
            choices = [real, real.map(dt), st.integers(-3, 3)]
            if valid:  # mostly values the checks accept
                choices += [st.floats(0, 1e6), st.sampled_from([0.0, 1e-10, 1.0, 10.0, 1e4])]
            if p == "merge_x_tol" or (p == "eps" and base == "build_pb"):
                choices.append(st.none())
            if not valid:
                choices.append(st.none())
            return st.one_of(*choices)
        if p == "d":
            return st.one_of(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3),
                             st.integers(0, 12),
                             st.sampled_from([2**40, 10**12, 2**63, 2**64 - 1, True,
                                              np.uint8(2), np.int64(3)]),
                             st.sampled_from([2**64, -1]) if not valid else st.nothing())
        if p == "iterations":
            # Only counts that end quickly: a series whose weights never repeat runs for as
            # many steps as asked.
            return st.one_of(st.integers(0, 4), st.sampled_from([True, np.uint16(2)]),
                             st.sampled_from([2**64, -1, 2**70]) if not valid
                             else st.nothing())
        if p == "normalize":
            if valid:
                return st.one_of(st.sampled_from(["mean", "median"]), valid_names, st.none())
            return st.one_of(valid_names, st.none())
        if p == "weighting":
            known = st.sampled_from(["tukey", "TUKEY", "bisquare", "BiSquare", "huber",
                                     "Huber", "cauchy", "welsch", "fair", "hampel", "HAMPEL",
                                     "TU\u212aEY"])
            return st.one_of(known, known, known, valid_names,
                             st.none() if not valid else st.nothing())
        if p == "scale":
            if valid:  # mostly accepted names, so that the robust steps run
                return st.one_of(st.sampled_from(["mad", "MAD", "huber", "Huber", "HUBER"]),
                                 valid_names)
            return st.one_of(valid_names, st.none())
        if p in ("parallel", "return_weights"):
            if valid:
                return st.sampled_from([True, False, np.True_, np.False_])
            return st.sampled_from([True, False, np.True_, np.False_, 0, 1, None])
        if p == "tuning":
            triples = st.one_of(st.tuples(real, real, real),
                                st.sampled_from([(1, 2, 3), (1.5, 3.5, 8.0), (0, 0, 0)]))
            if valid:
                accepted = st.tuples(*[st.floats(0.1, 20)] * 3)
                return st.one_of(st.none(), accepted, triples)
            return st.one_of(st.none(), triples,
                             st.sampled_from([(1.0, 2.0), (), (1, 2, 3, 4), [1.0, 2.0, 3.0]]))
        raise AssertionError(p)

    @st.composite
    def calls(draw, base, dt):
        params = PARAMS[base]
        valid = draw(st.booleans())  # every argument of an accepted type, bound correctly
        T = draw(st.one_of(st.integers(3, 8), st.integers(0, 8)) if valid else st.integers(0, 8))
        S = draw(st.integers(0, 4))
        values = {}
        for i, p in enumerate(params):
            if i >= REQUIRED[base] and draw(st.integers(0, 2)) == 0:
                continue  # absent
            if not valid and i < REQUIRED[base] and draw(st.integers(0, 30)) == 0:
                continue  # a missing required argument
            if not valid and draw(st.integers(0, 5)) == 0:
                values[p] = draw(junk)
            else:
                values[p] = draw(slot_value(base, p, dt, T, S, valid))
        # Positional prefix of present slots, the rest as keywords in any order.
        npos = draw(st.integers(0, len(params)))
        args = []
        for p in params[:npos]:
            if p not in values:
                break
            args.append(values[p])
        kw_names = [p for p in params[len(args):] if p in values]
        kw_names = draw(st.permutations(kw_names)) if kw_names else []
        kwargs = {p: values[p] for p in kw_names}
        extra = 99 if valid else draw(st.integers(0, 5))
        if extra == 0:
            args.extend(draw(st.lists(junk, min_size=1, max_size=3)))  # too many positionals
        elif extra == 1:
            kwargs[draw(st.sampled_from(["lam2", "X", "", "d ", "self", "kwargs",
                                         "iterations", "tuning", "\u00e9"]))] = draw(junk)
        elif extra == 2 and args:
            kwargs[params[draw(st.integers(0, len(args) - 1))]] = draw(junk)  # repeated
        return args, kwargs

    return calls


def snapshot(obj, out):
    """Every ndarray reachable from an argument, with its bytes (and its base's)."""
    if isinstance(obj, np.ndarray):
        root = obj
        while isinstance(root.base, np.ndarray):
            root = root.base
        for a in {id(obj): obj, id(root): root}.values():
            if a.nbytes <= 1 << 20:  # a broadcast view may be far larger than its memory
                out.append((a, raw_bytes(a), a.shape, a.strides, a.flags.writeable))
        if isinstance(obj, np.ma.MaskedArray):
            snapshot(np.ma.getmaskarray(obj), out)
    elif isinstance(obj, (list, tuple)):
        for o in obj:
            snapshot(o, out)
    return out


def raw_bytes(a):
    """The stored bytes.  MaskedArray.tobytes fills a fresh copy, whose long-double padding
    bytes are whatever the allocator left there, so it is read as the plain array it is."""
    return np.ndarray.tobytes(a)


def unchanged(snap):
    return all(raw_bytes(a) == b and a.shape == s and a.strides == st and
               a.flags.writeable == w for a, b, s, st, w in snap)


def bound(base, args, kwargs):
    params = PARAMS[base]
    got = dict(zip(params, args))
    got.update(kwargs)
    return got


def arrays_of(result):
    return list(result) if isinstance(result, tuple) else [result]


def check_result(name, base, dt, args, kwargs, result):
    b = bound(base, args, kwargs)
    x = b["x"]
    T = x.shape[0]
    if base == "build_pb":
        d = operator.index(b.get("d", 2))
        assert isinstance(result, tuple) and len(result) == 2, result
        pb, k = result
        assert type(k) is int and k == 2 * d
        assert isinstance(pb, np.ndarray) and type(pb) is np.ndarray
        assert pb.shape == (k + 1, T) and pb.dtype == dt
        outs = [pb]
    else:
        y = b["y_st"]
        want_pair = base == "robust_whittaker_irls" and bool(b.get("return_weights", False))
        if want_pair:
            assert isinstance(result, tuple) and len(result) == 2
        else:
            assert isinstance(result, np.ndarray)
        outs = arrays_of(result)
        for o in outs:
            assert type(o) is np.ndarray and o.shape == y.shape and o.dtype == dt
    for o in outs:
        assert o.flags.c_contiguous and o.flags.owndata and o.flags.writeable
        for a in [v for v in list(args) + list(kwargs.values()) if isinstance(v, np.ndarray)]:
            assert not np.shares_memory(o, a)
    return outs


def same_bits(r1, r2):
    a1, a2 = arrays_of(r1), arrays_of(r2)
    if isinstance(r1, tuple) and not isinstance(r1[1], np.ndarray):  # (pb, k)
        a1, a2 = [r1[0]], [r2[0]]
        if r1[1] != r2[1]:
            return False
    return all(u.dtype == v.dtype and u.shape == v.shape and u.tobytes() == v.tobytes()
               for u, v in zip(a1, a2))


def variants(base, args, kwargs):
    """The same call with parallel flipped, and with plain contiguous copies of arrays."""
    def plain(v):
        if isinstance(v, np.ma.MaskedArray) and np.ma.is_masked(v):
            return v  # its masked entries are not plain values
        if isinstance(v, np.ndarray):
            return np.array(v, order="C", copy=True, subok=False)
        return v
    out = [([plain(a) for a in args], {k: plain(v) for k, v in kwargs.items()})]
    params = PARAMS[base]
    if "parallel" in params:
        i = params.index("parallel")
        a2, k2 = list(args), dict(kwargs)
        current = bool(bound(base, args, kwargs).get("parallel", True))
        if i < len(a2):
            a2[i] = not current
        else:
            k2["parallel"] = not current
        out.append((a2, k2))
    return out


def child(name, crumb_path, tmpdir):
    import warnings

    import quelbrin

    warnings.simplefilter("ignore")  # overflowing casts while drawing data are expected
    from hypothesis import HealthCheck, given, settings

    prof = profile()
    fn = getattr(quelbrin, name)
    base = name[:-4]
    dt = np.float64 if name.endswith("_f64") else np.float32
    canary_x = np.arange(6.0)
    canary = quelbrin.whittaker_solve_f64(canary_x, np.sin(canary_x)[None, :])
    calls = strategies(tmpdir)
    fd = os.open(crumb_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    count = 0
    outcomes = {}

    def breadcrumb(args, kwargs):
        with np.printoptions(threshold=64, precision=17):
            text = f"{name}(*{args!r}, **{kwargs!r})\n".encode("utf-8", "backslashreplace")
        os.ftruncate(fd, 0)
        os.pwrite(fd, text, 0)

    @settings(max_examples=PROFILES[prof], deadline=None, print_blob=True,
              suppress_health_check=list(HealthCheck))
    @given(calls(base, dt))
    def prop(call):
        nonlocal count
        count += 1
        args, kwargs = call
        snap = snapshot(list(args) + list(kwargs.values()), [])
        breadcrumb(args, kwargs)
        try:
            result = fn(*args, **kwargs)
        except ALLOWED as e:
            outcomes[type(e).__name__] = outcomes.get(type(e).__name__, 0) + 1
            assert str(e), f"{type(e).__name__} without a message"
            assert unchanged(snap), "an input changed"
            np.testing.assert_array_equal(
                quelbrin.whittaker_solve_f64(canary_x, np.sin(canary_x)[None, :]), canary)
            return
        outcomes["returned"] = outcomes.get("returned", 0) + 1
        assert unchanged(snap), "an input changed"
        outs = check_result(name, base, dt, args, kwargs, result)
        if sum(o.nbytes for o in outs) > 1 << 20:
            return  # a large band of zeros: nothing more worth reading
        for a2, k2 in [(args, kwargs)] + variants(base, args, kwargs):
            breadcrumb(a2, k2)
            assert same_bits(result, fn(*a2, **k2)), "a repeat or variant gave other bits"
        assert unchanged(snap), "an input changed"

    prop()
    summary = ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items()))
    print(f"fuzzed {name} {count} examples ({summary})", flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--child":
        child(*sys.argv[2:])
    elif len(sys.argv) == 1:
        prof = profile()
        total = 0
        for n in NAMES:
            c, line = run_child(n, prof)
            print(line, flush=True)
            total += c
        print(f"total: {total} examples ({prof} profile)")
    else:
        raise SystemExit("usage: test_fuzz.py  (or --child NAME CRUMB TMPDIR)")
