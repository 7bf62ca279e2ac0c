"""Argument values the smoothers refuse: each error's type and text in both flavours, where
it stands among its neighbouring checks, the values that stay accepted next to the refused
ones, and a normalised grid that never overflows."""

from fractions import Fraction

import numpy as np
import pytest

import quelbrin
from conftest import FLAVOURS, noisy_series

X_FINITE = "x must hold only finite values"
X_INCREASING = "x must be strictly increasing"
LAM = "lam must be finite and >= 0"
RIDGE = "ridge must be finite and >= 0"
EPS = "eps must be finite"
W_FINITE = "w_base_st must be finite where y_st is observed"
ITERATIONS = "iterations must be >= 1"
NORMALIZE = 'normalize must be "mean", "median" or None'
SCALE = 'scale must be "mad" or "huber" (any letter case)'
TUNING = "tuning constants used by the weighting must be finite and > 0"
ARGUMENT_MESSAGES = {X_FINITE, X_INCREASING, LAM, RIDGE, EPS, W_FINITE, ITERATIONS, NORMALIZE,
                     SCALE, TUNING}


def fns(suffix):
    return {"build": getattr(quelbrin, "build_pb" + suffix),
            "solve": getattr(quelbrin, "whittaker_solve" + suffix),
            "robust": getattr(quelbrin, "robust_whittaker_irls" + suffix)}


def data(dt, S=3, T=12):
    return noisy_series(np.random.default_rng(3), dt, S, T, period=3)


def passes_checks(f, *args, **kw):
    """The call gets past every argument check: it returns, or the solve itself refuses a
    system too ill-conditioned to solve."""
    try:
        f(*args, **kw)
    except ValueError as e:
        assert str(e) not in ARGUMENT_MESSAGES


def refused(message, f, *args, **kw):
    with pytest.raises(ValueError) as e:
        f(*args, **kw)
    text = str(e.value)
    # The position and weight messages go on with the details of the first offence.
    detailed = message in (X_INCREASING, W_FINITE) and text.startswith(message + ": ")
    assert type(e.value) is ValueError and (text == message or detailed), text


# (functions, keyword arguments, message): every refused scalar value.
SCALARS = [
    (("solve", "robust"), {"lam": v}, LAM) for v in (-1.0, -1e-30, np.nan, np.inf, -np.inf)
] + [
    (("solve", "robust"), {"ridge": v}, RIDGE) for v in (-1.0, -1e-30, np.nan, np.inf)
] + [
    (("build", "solve", "robust"), {"eps": v}, EPS) for v in (np.nan, np.inf, -np.inf)
] + [
    (("build", "solve", "robust"), {"normalize": v}, NORMALIZE)
    for v in ("Mean", "MEDIAN", "", "mean ", "avg")
] + [
    (("robust",), {"iterations": 0}, ITERATIONS),
] + [
    (("robust",), {"scale": v}, SCALE) for v in ("hubr", "", "mad ", "huber\0", "Mad\u0131")
] + [
    (("robust",), {"tuning": t, "weighting": w}, TUNING)
    for w, t in [("tukey", (1, 1, 0)), ("tukey", (1, 1, -2)), ("cauchy", (1, 1, np.nan)),
                 ("welsch", (1, 1, np.inf)), ("hampel", (0, 3.5, 8)), ("hampel", (1.5, np.nan, 8)),
                 ("hampel", (1.5, 3.5, -np.inf)), ("fair", (0, 0, -0.0))]
]


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("names,kw,message", SCALARS)
def test_refused_scalar_arguments(suffix, dt, names, kw, message):
    x, y = data(dt)
    f = fns(suffix)
    for name in names:
        args = (x,) if name == "build" else (x, y)
        refused(message, f[name], *args, **kw)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_accepted_neighbours_of_refused_values(suffix, dt):
    x, y = data(dt)
    f = fns(suffix)
    top = float(np.finfo(dt).max)
    for kw in ({"lam": 0.0}, {"lam": -0.0}, {"lam": 1e6}, {"ridge": 0.0}, {"eps": 0.0},
               {"eps": -1.0}, {"eps": 1e3}, {"normalize": None}, {"normalize": "median"}):
        assert f["solve"](x, y, **kw).shape == y.shape
        assert f["robust"](x, y, **kw).shape == y.shape
    # The largest finite values pass the argument checks (the solve itself may then find
    # the system too ill-conditioned, which is another error).
    for kw in ({"lam": top}, {"ridge": top}, {"eps": top}):
        for name in ("solve", "robust"):
            passes_checks(f[name], x, y, **kw)
    for kw in ({"eps": None}, {"eps": -3.0}, {"normalize": "mean"}, {"normalize": "median"}):
        assert f["build"](x, **kw)[1] == 4
    # Only the constants the weighting reads are checked.
    base = f["robust"](x, y, iterations=3, tuning=(1.0, 2.0, 4.0))
    for bad_ab in ((np.nan, np.nan), (-1.0, 0.0), (np.inf, -np.inf)):
        np.testing.assert_array_equal(
            f["robust"](x, y, iterations=3, tuning=(*bad_ab, 4.0)), base)
    assert f["robust"](x, y, weighting="hampel", tuning=(1.0, 2.0, 4.0)).shape == y.shape
    for scale in ("MAD", "mAd", "HUBER", "Huber"):
        assert f["robust"](x, y, scale=scale).shape == y.shape


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_values_are_checked_after_rounding_to_the_element_type(suffix, dt):
    x, y = data(dt)
    f = fns(suffix)
    if dt == np.float32:
        refused(LAM, f["solve"], x, y, lam=1e39)
        refused(LAM, f["robust"], x, y, lam=1e39)
        refused(RIDGE, f["solve"], x, y, ridge=-1e39)
        refused(EPS, f["build"], x, eps=1e39)
        refused(EPS, f["solve"], x, y, eps=-1e39)
        refused(TUNING, f["robust"], x, y, tuning=(1, 1, 1e39))
        refused(TUNING, f["robust"], x, y, tuning=(1, 1, 1e-50))  # rounds to 0
    else:
        passes_checks(f["solve"], x, y, lam=1e39, eps=1e39)
        passes_checks(f["robust"], x, y, lam=1e39, tuning=(1, 1, 1e39))
        assert f["robust"](x, y, tuning=(1, 1, 1e39)).shape == y.shape


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_non_finite_positions(suffix, dt):
    f = fns(suffix)
    _, y = data(dt, T=4)
    for x in ([0, 1, 2, np.inf], [-np.inf, 1, 2, 3], [-np.inf, 0, 1, np.inf]):
        x = np.array(x, dt)
        for name in ("build", "solve", "robust"):
            refused(X_FINITE, f[name], *((x,) if name == "build" else (x, y)))
    # A NaN among several positions breaks the order first, as it always has.
    for x in ([0, np.nan, 2, 3], [np.nan, 1, 2, 3], [0, 1, 2, np.nan]):
        x = np.array(x, dt)
        for name in ("build", "solve", "robust"):
            refused(X_INCREASING, f[name], *((x,) if name == "build" else (x, y)))
    # A lone position has no order to break.
    for lone in (np.nan, np.inf):
        refused(X_FINITE, f["solve"], np.array([lone], dt), y[:, :1])
        refused(X_FINITE, f["robust"], np.array([lone], dt), y[:, :1])
    refused("x must have length >=2", f["build"], np.array([np.inf], dt))


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("name", ["solve", "robust"])
def test_base_weights_must_be_finite_where_observed(suffix, dt, name):
    x, y = data(dt)
    f = fns(suffix)[name]
    for bad in (np.nan, np.inf, -np.inf):
        w = np.ones_like(y)
        w[1, 5] = bad
        refused(W_FINITE, f, x, y, w)
        refused(W_FINITE, f, x, y, w[:, ::-1])  # strided
        # At a missing observation the weight is never read: like a zero weight there.
        y_missing = y.copy()
        y_missing[1, 5] = np.nan if bad != np.inf else -np.inf
        zero = w.copy()
        zero[1, 5] = 0.0
        np.testing.assert_array_equal(f(x, y_missing, w), f(x, y_missing, zero))


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_single_pass_order_of_checks(suffix, dt):
    x, y = data(dt)
    f = fns(suffix)["solve"]
    x_inf = x.copy()
    x_inf[-1] = np.inf
    w_nan = np.ones_like(y)
    w_nan[0, 0] = np.nan
    wrong_w = np.ones((y.shape[0] + 1, y.shape[1]), dt)
    # conversion errors, then y_st's width, the positions, the scalars in parameter order,
    # the base-weight shape, the base-weight values
    with pytest.raises(TypeError):
        f(x_inf, y, lam=-1.0, d="2")
    refused("y_st shape must be (S,T) with T=len(x)", f, x_inf, y[:, 1:].copy(), lam=-1.0)
    refused(X_FINITE, f, x_inf, y, lam=-1.0)
    refused(LAM, f, x, y, wrong_w, lam=-1.0, ridge=-1.0, normalize="x", eps=np.nan)
    refused(RIDGE, f, x, y, wrong_w, ridge=-1.0, normalize="x", eps=np.nan)
    refused(NORMALIZE, f, x, y, wrong_w, normalize="x", eps=np.nan)
    refused(EPS, f, x, y, wrong_w, eps=np.nan)
    refused("w_base_st must match y_st shape", f, x, y, np.full_like(wrong_w, np.nan))
    refused(W_FINITE, f, x, y, w_nan)
    # Empty inputs are checked too.
    refused(LAM, f, x[:0].copy(), y[:, :0].copy(), lam=np.nan)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_robust_order_of_checks(suffix, dt):
    x, y = data(dt)
    f = fns(suffix)["robust"]
    x_inf = x.copy()
    x_inf[0] = -np.inf
    w_nan = np.ones_like(y)
    w_nan[0, 0] = np.nan
    wrong_w = np.ones((y.shape[0], y.shape[1] - 1), dt)
    every_bad = dict(lam=-1.0, iterations=0, scale="x", ridge=np.nan, normalize="x",
                     eps=np.inf, tuning=(1, 1, 0))
    with pytest.raises(TypeError):
        f(x, y, merge_x_tol="a", **every_bad)
    refused("y_st shape must be (S,T) with T=len(x)", f, x_inf, y[:, 1:].copy(), **every_bad)
    refused(X_FINITE, f, x_inf, y, weighting="nope", **every_bad)
    refused("Unknown weighting: nope", f, x, y, weighting="nope", **every_bad)
    # the scalars in parameter order
    refused(LAM, f, x, y, wrong_w, **every_bad)
    for fixed, message in [("lam", ITERATIONS), ("iterations", SCALE), ("scale", RIDGE),
                           ("ridge", NORMALIZE), ("normalize", EPS), ("eps", TUNING)]:
        every_bad.pop(fixed)
        refused(message, f, x, y, wrong_w, **every_bad)
    # before the merged-length tests and the base-weight shape; that shape before the values
    refused(LAM, f, x[:1].copy(), y[:, :1].copy(), lam=np.nan)
    refused(LAM, f, np.array([0, 0.001, 0.002], dt), y[:, :3].copy(), lam=np.nan)
    refused(LAM, f, x, y, wrong_w, lam=np.nan)
    refused("w_base_st must match y_st shape", f, x, y, np.full_like(wrong_w, np.nan))
    refused(W_FINITE, f, x, y, w_nan)
    # the base-weight values are read on the caller's grid, merged or not
    x_close = x.copy()
    x_close[1] = x_close[0] + dt(0.001)
    refused(W_FINITE, f, x_close, y, w_nan)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_build_pb_order_of_checks(suffix, dt):
    x, _ = data(dt)
    f = fns(suffix)["build"]
    with pytest.raises(TypeError):
        f(np.array([np.inf], dt), normalize=3)
    refused("x must have length >=2", f, np.array([np.nan], dt), normalize="x")
    refused(X_INCREASING, f, np.array([0, np.nan, 1], dt), normalize="x")
    refused(X_FINITE, f, np.array([0, 1, np.inf], dt), normalize="x", eps=np.nan)
    refused(NORMALIZE, f, x, normalize="x", eps=np.nan)
    refused(EPS, f, x, eps=np.nan, d=2**63)  # before the band-size MemoryError


# ---------------------------------------------------------------- grids near overflow

def spans_overflow(dt):
    """Increasing finite grids whose span x[-1] - x[0] overflows, irregular spacings."""
    top = float(np.finfo(dt).max)
    rng = np.random.default_rng(11)
    grids = [np.array([-top, 0.0, top]), np.array([-top, -top / 2, 1.0, top / 3, top]),
             np.sort(rng.uniform(-0.9, 0.9, 40)) * top]
    grids[2][0], grids[2][-1] = -top, 0.95 * top
    return [g.astype(dt) for g in grids]


def round_sig(q, bits):
    """q rounded to `bits` significant bits, ties to even, with an unbounded exponent."""
    if q == 0:
        return Fraction(0)
    sign, q = (-1 if q < 0 else 1), abs(q)
    e = q.numerator.bit_length() - q.denominator.bit_length()
    if Fraction(2) ** e > q:
        e -= 1
    unit = Fraction(2) ** (e - bits + 1)
    n, rem = divmod(q, unit)
    if rem * 2 > unit or (rem * 2 == unit and n % 2):
        n += 1
    return sign * n * unit


def exact_grid(x, mode):
    """The normalised grid in exact arithmetic that rounds every step -- the differences,
    the scale, the quotients -- to the element type's precision, with no overflow."""
    bits = 53 if x.dtype == np.float64 else 24
    X = [Fraction(float(v)) for v in x]
    diffs = [round_sig(v - X[0], bits) for v in X]
    if mode == "mean":
        scale = round_sig(round_sig(X[-1] - X[0], bits) / (len(X) - 1), bits)
    else:
        sp = sorted(round_sig(b - a, bits) for a, b in zip(X, X[1:]))
        n = len(sp)
        scale = sp[n // 2] if n % 2 else round_sig(sp[n // 2] + sp[n // 2 - 1], bits) / 2
    return np.array([float(round_sig(d / scale, bits)) for d in diffs], x.dtype)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("mode", ["mean", "median"])
def test_normalised_grid_never_overflows(suffix, dt, mode):
    f = fns(suffix)
    for x in spans_overflow(dt):
        with np.errstate(over="ignore"):
            assert np.isinf(x[-1] - x[0])
        grid = exact_grid(x, mode)
        assert np.isfinite(grid).all() and grid[0] == 0
        pb = f["build"](x, normalize=mode)[0]
        np.testing.assert_array_equal(pb, f["build"](grid, normalize=None)[0])
        assert np.isfinite(pb).all()
        y = np.sin(np.arange(len(x)))[None, :].astype(dt)
        # float32 series that are solved again in float64 normalise their widened positions,
        # which may round the grid a little differently
        np.testing.assert_allclose(f["solve"](x, y, normalize=mode),
                                   f["solve"](grid, y, normalize=None),
                                   rtol=0 if dt == np.float64 else 1e-4, atol=0)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
@pytest.mark.parametrize("mode", ["mean", "median"])
def test_grids_with_a_finite_span_keep_their_bits(suffix, dt, mode):
    f = fns(suffix)["build"]
    top = float(np.finfo(dt).max)
    for x in (np.array([0.0, 0.75 * top, top]), np.array([-top / 2, 0.0, top / 8, top / 2]),
              np.cumsum(np.random.default_rng(2).uniform(0.1, 3.0, 30)) + 1e6):
        x = x.astype(dt)
        if mode == "mean":
            scale = (x[-1] - x[0]) / dt(len(x) - 1)
        else:
            scale = np.median(np.diff(x)).astype(dt)
        np.testing.assert_array_equal(f(x, normalize=mode)[0],
                                      f((x - x[0]) / scale, normalize=None)[0])


def all_smoothers(suffix):
    import quelbrin_auto

    return [*fns(suffix).values(), getattr(quelbrin_auto, "smooth" + suffix)]


def message_of(f, *args, **kw):
    with pytest.raises(ValueError) as e:
        f(*args, **kw)
    return str(e.value)


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_the_order_message_names_the_first_offending_pair(suffix, dt):
    _, y = data(dt, T=40)
    x = (np.arange(40) * 1.25 + 0.5).astype(dt)
    for k, bad in [(17, x[16]), (5, x[3]), (30, np.nan)]:
        xb = x.copy()
        xb[k] = bad  # the first fault is at k (a NaN also breaks k + 1, reported later)
        want = (f"{X_INCREASING}: x[{k}] = {'nan' if np.isnan(bad) else repr(float(bad))} "
                f"is not greater than x[{k - 1}] = {float(x[k - 1])!r}")
        for f in all_smoothers(suffix):
            args = (xb,) if f.__name__.startswith("build_pb") else (xb, y[:, :40])
            assert message_of(f, *args) == want


def test_float32_day_numbers_that_rounding_merged_get_a_hint():
    # Julian day numbers with a time of day: minutes apart in float64, equal in float32.
    x64 = 2460000.5 + np.arange(0, 2, 1 / 24)  # hourly: float32 keeps steps of 0.25 day
    x32 = x64.astype(np.float32)
    k = int(np.flatnonzero(np.diff(x32) <= 0)[0]) + 1
    gap = float(np.spacing(x32[k]))
    y = np.zeros((2, x64.size), np.float32)
    text = message_of(quelbrin.whittaker_solve_f32, x32, y)
    assert text.startswith(f"{X_INCREASING}: x[{k}] = {float(x32[k])!r} is not greater than")
    assert f"float32 numbers near {float(x32[k])!r} are {gap!r} apart" in text
    # float64 keeps them apart; and a plain reversal in float32 gets no rounding hint.
    quelbrin.whittaker_solve_f64(x64, y.astype(np.float64))
    distinct = np.unique(x32)[::-1].copy()
    assert "float32 numbers" not in message_of(quelbrin.whittaker_solve_f32, distinct,
                                               y[:, :distinct.size])


@pytest.mark.parametrize("suffix,dt", FLAVOURS)
def test_a_non_finite_weight_names_its_row_and_counts_the_rows(suffix, dt):
    x, y = data(dt, S=6, T=12)
    w = np.ones_like(y)
    y[1, 2] = np.nan
    w[1, 2] = np.inf  # at a missing observation: allowed, not counted
    w[2, 7] = np.nan
    w[2, 9] = np.inf
    w[4, 0] = -np.inf
    want = f"{W_FINITE}: w_base_st[2, 7] = nan (row 2 is the first of 2 rows with such a weight)"
    for f in all_smoothers(suffix)[1:]:
        assert message_of(f, x, y, w) == want
    w[4, 0] = 1.0
    assert message_of(all_smoothers(suffix)[1], x, y, w).endswith("(row 2 is the first of 1 row "
                                                                  "with such a weight)")


def test_array_messages_say_what_was_expected():
    import quelbrin_auto

    x = np.arange(365.0)
    cases = [
        (x.astype("datetime64[D]"), "x", "expected a 1-D float64 array, "
         "got datetime64[D] with shape (365,)"),
        (np.zeros((2, 365, 3)), "y_st", "expected a 2-D float64 array, got float64 with shape "
         "(2, 365, 3)"),
        ([[0.0] * 365], "y_st", "expected a 2-D float64 array"),
    ]
    for f in (quelbrin.whittaker_solve_f64, quelbrin_auto.smooth_f64):
        for value, arg, detail in cases:
            args = {"x": x, "y_st": np.zeros((2, 365)), arg: value}
            with pytest.raises(TypeError) as e:
                f(args["x"], args["y_st"])
            assert str(e.value) == (f"argument '{arg}': '{type(value).__qualname__}' object "
                                    f"cannot be cast as 'ndarray': {detail}")
