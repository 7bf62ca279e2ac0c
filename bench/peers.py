"""The other Whittaker smoothers, run beside quelbrin on the same data.

Each peer is mapped onto the system quelbrin solves (weights 1 where observed, 0 where
missing; missing observations replaced by 0, which a zero weight ignores):
- plain differences of order d on a regular grid of spacing h: lam_peer = lam / ((d!)^2
  h^(2d)).  quelbrin normalises x by its mean spacing by default, so h = 1 on a regular
  grid after normalisation;
- whittaker-eilers with `x_input` takes divided differences like quelbrin: lam_peer = lam,
  on the normalised positions.
quelbrin also adds ridge = 1e-10 to the diagonal, which moves results by about 1e-10.

A peer that is not installed or does not fit a case gives the reason instead of a runner.
These packages are installed by `make bench` only: none is a dependency of quelbrin.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

LOOP_SERIES = 1_000  # series timed in the per-series loops (scaled to the case's S)


@dataclass
class Data:
    x: np.ndarray  # positions (T,)
    y: np.ndarray  # observations (S, T), NaN = missing
    regular: bool
    lam: float
    d: int


@dataclass
class Runner:
    run: Callable[[], np.ndarray]  # returns the first `series` rows, smoothed
    series: int


def _import_error(target: str) -> str | None:
    """target: "module" or "module:attribute"."""
    import importlib
    mod, _, attr = target.partition(":")
    try:
        m = importlib.import_module(mod)
        if attr:
            getattr(m, attr)
    except Exception as exc:  # noqa: BLE001 - any failure to import is the reason
        return f"not installed ({type(exc).__name__}: {exc})"
    return None


def _weights(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    w = np.isfinite(y).astype(np.float64)
    return w, np.where(w > 0, y, 0.0)


def _plain_lam(data: Data) -> float:
    return data.lam / math.factorial(data.d) ** 2  # h = 1 after normalisation


def _normalised(x: np.ndarray) -> np.ndarray:
    x = x.astype(np.float64)
    return (x - x[0]) / ((x[-1] - x[0]) / (len(x) - 1))


def _loop(fn, data: Data, n: int) -> Runner:
    w, y0 = _weights(data.y[:n])
    T = data.y.shape[1]

    def run():
        out = np.empty((n, T))
        for s in range(n):
            out[s] = fn(y0[s], w[s])
        return out

    return Runner(run, n)


def scipy_wh(data: Data, n: int) -> Runner:
    from scipy.signal import whittaker_henderson
    lamb, d = _plain_lam(data), data.d
    return _loop(lambda y, w: whittaker_henderson(y, lamb=lamb, order=d, weights=w).x, data, n)


def ws2d(data: Data, n: int) -> Runner:
    from vam.whittaker import ws2d as ws
    lamb = _plain_lam(data)
    return _loop(lambda y, w: np.asarray(ws(y, lamb, w)), data, n)


def pybaselines_ws(data: Data, n: int) -> Runner:
    from pybaselines.utils import whittaker_smooth
    lamb, d = _plain_lam(data), data.d
    return _loop(lambda y, w: whittaker_smooth(y, lam=lamb, diff_order=d, weights=w), data, n)


def we_loop(x_input: bool):
    def make(data: Data, n: int) -> Runner:
        from whittaker_eilers import WhittakerSmoother
        T = data.y.shape[1]
        if x_input:
            sm = WhittakerSmoother(lmbda=data.lam, order=data.d, data_length=T,
                                   x_input=list(_normalised(data.x)))
        else:
            sm = WhittakerSmoother(lmbda=_plain_lam(data), order=data.d, data_length=T)

        def one(y, w):
            sm.update_weights(list(w))
            return np.asarray(sm.smooth(list(y)))

        return _loop(one, data, n)
    return make


def we_parallel(x_input: bool):
    """smooth_parallel: one weight vector for the whole batch, so it runs on complete
    series only (the caller hands it data without missing values)."""
    def make(data: Data, n: int) -> Runner:
        from whittaker_eilers import WhittakerSmoother
        S, T = data.y.shape
        kw = dict(order=data.d, data_length=T)
        if x_input:
            sm = WhittakerSmoother(lmbda=data.lam, x_input=list(_normalised(data.x)), **kw)
        else:
            sm = WhittakerSmoother(lmbda=_plain_lam(data), **kw)
        rows = [list(r) for r in data.y[:n]]
        return Runner(lambda: np.asarray(sm.smooth_parallel(rows)), n)
    return make


@dataclass
class Peer:
    name: str
    module: str
    make: Callable[[Data, int], Runner]
    regular_only: bool
    orders: tuple[int, ...] | None = None  # None: any order
    complete_only: bool = False  # one weight vector for the batch


PEERS = [
    Peer("scipy.signal.whittaker_henderson (loop)", "scipy.signal:whittaker_henderson", scipy_wh, True),
    Peer("vam.whittaker ws2d (loop)", "vam.whittaker", ws2d, True, orders=(2,)),
    Peer("whittaker-eilers (loop)", "whittaker_eilers", we_loop(False), True),
    Peer("whittaker-eilers x_input (loop)", "whittaker_eilers", we_loop(True), False),
    Peer("whittaker-eilers smooth_parallel", "whittaker_eilers", we_parallel(False), True,
         complete_only=True),
    Peer("whittaker-eilers x_input smooth_parallel", "whittaker_eilers", we_parallel(True),
         False, complete_only=True),
    Peer("pybaselines whittaker_smooth (loop)", "pybaselines.utils", pybaselines_ws, True),
]


def misfit(peer: Peer, data: Data, dtype, robust: bool) -> str | None:
    """Why the peer cannot run this case, or None."""
    err = _import_error(peer.module)
    if err:
        return err
    if robust:
        return "does not fit: no robust (IRLS) smoother"
    if dtype != np.float64:
        return "does not fit: float64 only (case A is the same data in float64)"
    if peer.regular_only and not data.regular:
        return "does not fit: regular grids only (plain differences)"
    if peer.orders is not None and data.d not in peer.orders:
        return f"does not fit: order d = {data.d}"
    return None
