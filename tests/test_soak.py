"""Soak: many calls mixing valid calls with every error path of every function (binding,
conversion, validation, allocation failure, the float32 instability message).  Afterwards
the inputs' reference counts are what they were, resident memory has not grown, and every
valid call gave the same bits as the first time.

QUELBRIN_SOAK_CALLS sets the number of calls (`make soak`: 100,000; `make test` runs a quick
few thousand).  The figures are printed (shown with -s)."""

import gc
import os
import sys

import numpy as np
import pytest

import quelbrin

CALLS = int(os.environ.get("QUELBRIN_SOAK_CALLS", "4000"))
# Under ASan a failed C++ allocation aborts instead of throwing (NumPy's still fail softly).
SANITIZED = os.environ.get("QUELBRIN_SANITIZED") == "1"
INSTABILITY = ("Numerical instability in f32 solver; try robust_whittaker_irls_f64 or "
               "increase eps/ridge")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def inputs(dt):
    rng = np.random.default_rng(11)
    x = np.cumsum(rng.uniform(0.5, 2.0, 24)).astype(dt)
    y = (np.sin(x / 3)[None, :] + rng.normal(0, 0.2, (4, 24))).astype(dt)
    y[1, 5] = 30.0
    y[2, 10:14] = np.nan
    w = rng.uniform(0.5, 2.0, y.shape).astype(dt)
    return x, y, w


def recipes():
    """(name, function, args, kwargs, expected exception type or None, message part)."""
    out = []
    for suffix, dt in (("_f64", np.float64), ("_f32", np.float32)):
        x, y, w = inputs(dt)
        wrong = np.float32 if dt == np.float64 else np.float64
        xw, yw = x.astype(wrong), y.astype(wrong)
        xs = np.repeat(x, 2)[::2]  # not contiguous
        dup = x.copy()
        dup[3] = dup[2]
        close = x.copy()
        close[4] = close[3] + dt(0.001)  # merges under the default tolerance
        tup = (1.5, 3.5, 8.0)
        w_nan = w.copy()
        w_nan[0, 0] = np.nan
        x_inf = x.copy()
        x_inf[-1] = np.inf
        x_ma = np.ma.array(x, mask=np.arange(len(x)) == 2)
        y_ma = np.ma.array(y, mask=np.isnan(y) | (np.arange(y.size).reshape(y.shape) % 5 == 0))
        w_ma = np.ma.array(w, mask=np.arange(w.size).reshape(w.shape) % 7 == 0)
        huge_rows = np.broadcast_to(y[0], (2**40, y.shape[1]))
        pb, ws, rb = (getattr(quelbrin, n + suffix)
                      for n in ("build_pb", "whittaker_solve", "robust_whittaker_irls"))
        name = pb.__name__
        out += [
            (name, pb, (x,), {}, None, None),
            (name, pb, (x, 3, "median", 1e-9), {}, None, None),
            (name, pb, (x, 1, None, None, 5), {}, TypeError, "positional arguments"),
            (name, pb, (x,), {"lam": 1.0}, TypeError, "unexpected keyword"),
            (name, pb, (x, 2), {"d": 3}, TypeError, "multiple values"),
            (name, pb, (), {}, TypeError, "missing 1 required"),
            (name, pb, (list(x),), {}, TypeError, "'list' object cannot be cast"),
            (name, pb, (xw,), {}, TypeError, "cannot be cast as 'ndarray'"),
            (name, pb, (x,), {"d": -1}, OverflowError, "negative"),
            (name, pb, (x,), {"d": 2.0}, TypeError, "argument 'd'"),
            (name, pb, (x,), {"normalize": 1}, TypeError, "argument 'normalize'"),
            (name, pb, (x,), {"normalize": "\ud800"}, UnicodeEncodeError, "surrogate"),
            (name, pb, (x,), {"eps": "1"}, TypeError, "argument 'eps'"),
            (name, pb, (xs,), {}, TypeError, "not contiguous"),
            (name, pb, (x[:1].copy(),), {}, ValueError, "length >=2"),
            (name, pb, (dup,), {}, ValueError, "strictly increasing"),
            (name, pb, (x,), {"d": 2**62}, MemoryError, "memory"),
            (name, pb, (x_inf,), {}, ValueError, "only finite values"),
            (name, pb, (x,), {"normalize": "Mean"}, ValueError, "normalize must be"),
            (name, pb, (x,), {"eps": float("nan")}, ValueError, "eps must be finite"),
            (name, pb, (x_ma,), {}, ValueError, "masked entries"),
        ]
        name = ws.__name__
        out += [
            (name, ws, (x, y), {}, None, None),
            (name, ws, (x, y, w, 5.0, 3, 1e-8, "median", 1e-9, False), {}, None, None),
            (name, ws, (x, y[::-1]), {"w_base_st": w.T.copy().T}, None, None),
            (name, ws, (x, y, w, 1.0, 2, 0.0, None, 1e-10, True, 1), {}, TypeError,
             "positional"),
            (name, ws, (x,), {"y_st": y, "iterations": 2}, TypeError, "unexpected keyword"),
            (name, ws, (x, y), {"x": x}, TypeError, "multiple values"),
            (name, ws, (), {"w_base_st": w}, TypeError, "missing 2 required"),
            (name, ws, (x, yw), {}, TypeError, "argument 'y_st'"),
            (name, ws, (x, y[0]), {}, TypeError, "argument 'y_st'"),
            (name, ws, (x, y), {"lam": None}, TypeError, "argument 'lam'"),
            (name, ws, (x, y), {"parallel": 1}, TypeError, "argument 'parallel'"),
            (name, ws, (x, y), {"d": 2**64}, OverflowError, "int"),
            (name, ws, (xs, y[:, :len(xs)].copy()), {}, TypeError, "not contiguous"),
            (name, ws, (x, y[:, 1:]), {}, ValueError, "y_st shape"),
            (name, ws, (dup, y), {}, ValueError, "strictly increasing"),
            (name, ws, (x, y, w[1:]), {}, ValueError, "w_base_st must match"),
            (name, ws, (x, huge_rows), {}, MemoryError, "allocate"),
            (name, ws, (x, y_ma, w_ma), {}, None, None),
            (name, ws, (x_ma, y), {}, ValueError, "masked entries"),
            (name, ws, (x_inf, y), {}, ValueError, "only finite values"),
            (name, ws, (x, y), {"lam": -1.0}, ValueError, "lam must be"),
            (name, ws, (x, y), {"ridge": float("inf")}, ValueError, "ridge must be"),
            (name, ws, (x, y), {"normalize": "avg"}, ValueError, "normalize must be"),
            (name, ws, (x, y, w_nan), {}, ValueError, "w_base_st must be finite"),
        ]
        name = rb.__name__
        out += [
            (name, rb, (x, y), {}, None, None),
            (name, rb, (x, y, w), {"iterations": 4, "weighting": "HAMPEL", "scale": "huber",
                                   "tuning": tup, "return_weights": True}, None, None),
            (name, rb, (close, y), {"iterations": 3, "return_weights": True}, None, None),
            (name, rb, (x, y), {"iterations": 2, "weighting": "welsch", "parallel": False,
                                "merge_x_tol": None, "normalize": None}, None, None),
            (name, rb, (x, y) + (None,) * 14, {}, TypeError, "positional"),
            (name, rb, (x, y), {"merge": 0.1}, TypeError, "unexpected keyword"),
            (name, rb, (x, y, w), {"w_base_st": w}, TypeError, "multiple values"),
            (name, rb, (x,), {}, TypeError, "missing 1 required"),
            (name, rb, (x, y), {"iterations": -1}, OverflowError, "negative"),
            (name, rb, (x, y), {"weighting": None}, TypeError, "argument 'weighting'"),
            (name, rb, (x, y), {"tuning": (1.0, 2.0)}, ValueError, "length 3"),
            (name, rb, (x, y), {"tuning": [1.0, 2.0, 3.0]}, TypeError, "argument 'tuning'"),
            (name, rb, (x, y), {"return_weights": 1}, TypeError, "argument 'return_weights'"),
            (name, rb, (x, y), {"scale": "\udfff"}, UnicodeEncodeError, "surrogate"),
            (name, rb, (xs, y[:, :len(xs)].copy()), {}, TypeError, "not contiguous"),
            (name, rb, (x, y[:, :-1]), {}, ValueError, "y_st shape"),
            (name, rb, (dup, y), {}, ValueError, "strictly increasing"),
            (name, rb, (x, y), {"weighting": "gauss"}, ValueError, "Unknown weighting: gauss"),
            (name, rb, (x, y), {"merge_x_tol": 1e9}, ValueError, ">=2 after merging"),
            (name, rb, (x[:3].copy(), y[:, :3].copy()), {"d": 3}, ValueError, "> d after"),
            (name, rb, (x, y, w[:, 1:]), {}, ValueError, "w_base_st must match"),
            (name, rb, (x, y_ma, w_ma), {"iterations": 3, "return_weights": True}, None, None),
            (name, rb, (x_ma, y), {}, ValueError, "masked entries"),
            (name, rb, (x, y), {"iterations": 0}, ValueError, "iterations must be"),
            (name, rb, (x, y), {"scale": "hubr"}, ValueError, "scale must be"),
            (name, rb, (x, y), {"tuning": (1.0, 1.0, 0.0)}, ValueError, "tuning constants"),
            (name, rb, (x, y), {"lam": 1e39 if dt == np.float32 else float("nan")}, ValueError,
             "lam must be"),
            (name, rb, (x, y, w_nan), {}, ValueError, "w_base_st must be finite"),
        ]
        if not SANITIZED:
            out.append((name, rb, (x, huge_rows), {}, MemoryError, "allocate"))
        if dt == np.float32:
            out.append((name, rb, (x, y), {"lam": 3e38, "d": 5}, ValueError, INSTABILITY))
    return out


def run_once(fn, args, kwargs, exc, text):
    try:
        result = fn(*args, **kwargs)
    except BaseException as e:
        assert exc is not None and isinstance(e, exc), (fn.__name__, kwargs, repr(e))
        assert text in str(e), (fn.__name__, kwargs, str(e))
        return None
    assert exc is None, (fn.__name__, kwargs, "returned")
    return result


def fingerprint(result):
    parts = result if isinstance(result, tuple) else (result,)
    return tuple(p.tobytes() if isinstance(p, np.ndarray) else p for p in parts)


def referenced(recipe):
    """Objects whose reference counts the calls must not change."""
    _, _, args, kwargs, _, _ = recipe
    return [o for o in list(args) + list(kwargs.values())
            if isinstance(o, (np.ndarray, tuple, str, list))]


def test_soak():
    book = recipes()
    expected = [None] * len(book)
    for i, (_, fn, args, kwargs, exc, text) in enumerate(book):
        r = run_once(fn, args, kwargs, exc, text)
        expected[i] = None if r is None else fingerprint(r)
    objs = {id(o): o for rec in book for o in referenced(rec)}
    warm = max(CALLS // 10, 2 * len(book))
    rss_warm = None
    counts = None
    for n in range(CALLS + warm):
        if n == warm:
            gc.collect()
            counts = {k: sys.getrefcount(o) for k, o in objs.items()}
            rss_warm = rss_bytes()
        i = n % len(book)
        _, fn, args, kwargs, exc, text = book[i]
        r = run_once(fn, args, kwargs, exc, text)
        if expected[i] is not None:
            assert fingerprint(r) == expected[i], book[i][0]
        del r
    gc.collect()
    rss_end = rss_bytes()
    delta = {k: sys.getrefcount(o) - counts[k] for k, o in objs.items()}
    growth = (rss_end - rss_warm) / rss_warm
    print(f"\nsoak: {CALLS} calls after {warm} warm-up calls over {len(book)} recipes; "
          f"refcount delta {max(map(abs, delta.values()))} over {len(objs)} objects; "
          f"RSS {rss_warm / 2**20:.1f} MiB -> {rss_end / 2**20:.1f} MiB "
          f"({100 * growth:+.3f} %)")
    assert all(v == 0 for v in delta.values()), delta
    if not SANITIZED:  # ASan holds freed memory in quarantine, so its RSS grows anyway
        assert growth < 0.01


@pytest.mark.parametrize("suffix", ["_f64", "_f32"])
def test_memory_error_leaves_the_next_call_correct(suffix):
    dt = np.float64 if suffix == "_f64" else np.float32
    x, y, w = inputs(dt)
    pb = getattr(quelbrin, "build_pb" + suffix)
    rb = getattr(quelbrin, "robust_whittaker_irls" + suffix)
    band = pb(x)
    z = rb(x, y, w, iterations=3, return_weights=True)
    for _ in range(3):
        with pytest.raises(MemoryError, match="."):
            pb(x, d=2**62)
        if not SANITIZED:
            with pytest.raises(MemoryError):
                rb(x, np.broadcast_to(y[0], (2**40, y.shape[1])))
        got = pb(x)
        assert got[1] == band[1] and got[0].tobytes() == band[0].tobytes()
        assert fingerprint(rb(x, y, w, iterations=3, return_weights=True)) == fingerprint(z)
