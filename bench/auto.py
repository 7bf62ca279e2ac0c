"""Automatic choice of lam: cost against the fixed-lam call on case A, and against the
peers' own selection on the same series.

    .venv/bin/python bench/auto.py [--series N] [--peers K] [--reps R]

Case A: 10,000 x 1,000 float64, irregular positions, 5 % missing.  Peers (installed for the
benchmark only) run in Python loops over K series; their per-series time is scaled to the
same count.
"""

from __future__ import annotations

import argparse
import array
import time

import numpy as np

import quelbrin as qb
import quelbrin_auto as qa


def case_a(S=10_000, T=1_000, seed=0):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 3.0, T))
    t = np.linspace(0, 1, T)
    y = (np.sin(2 * np.pi * t[None, :] * rng.uniform(1, 6, (S, 1)))
         + 0.3 * rng.standard_normal((S, T)))
    y[rng.random((S, T)) < 0.05] = np.nan
    return x, y


def best_of(fn, reps):
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


def peers(x, y, K, lam_ours):
    rows = []
    sub = y[:K]
    xn = (x - x[0]) / np.mean(np.diff(x))
    try:
        from scipy.signal import whittaker_henderson
    except Exception:
        whittaker_henderson = None
    if whittaker_henderson is not None:
        def run():
            out = []
            for s in range(K):
                v = sub[s]
                ok = np.isfinite(v)
                res = whittaker_henderson(np.where(ok, v, 0.0), lamb="reml", order=2,
                                          weights=ok.astype(float))
                out.append(res)
            return out
        t, res = best_of(run, 1)
        lams = np.array([r.lamb for r in res])
        rows.append(("scipy whittaker_henderson (REML, regular grid)", "reml", t / K, lams))
    try:
        import vam.whittaker as vw
    except Exception:
        vw = None
    if vw is not None:
        def run():
            out = []
            for s in range(K):
                v = sub[s]
                ok = np.isfinite(v)
                w = ok.astype(np.double)
                yy = np.where(ok, v, 0.0).astype(np.double)
                out.append(vw.ws2doptv(yy, w, array.array("d", np.arange(-2, 4.2, 0.2))))
            return out
        t, res = best_of(run, 1)
        lams = np.array([r[1] for r in res])
        rows.append(("vam.whittaker ws2doptv (V-curve, regular grid)", "vcurve", t / K, lams))
    try:
        from whittaker_eilers import WhittakerSmoother
    except Exception:
        WhittakerSmoother = None
    if WhittakerSmoother is not None:
        def run():
            out = []
            for s in range(K):
                v = sub[s]
                ok = np.isfinite(v)
                sm = WhittakerSmoother(lmbda=1.0, order=2, data_length=len(v),
                                       x_input=list(xn), weights=list(ok.astype(float)))
                out.append(sm.smooth_optimal(list(np.where(ok, v, 0.0)), break_serial_correlation=False))
            return out
        t, res = best_of(run, 1)
        lams = np.array([r.get_optimal().get_lambda() for r in res])
        rows.append(("whittaker-eilers smooth_optimal (LOOCV)", "loocv", t / K, lams))
    return rows


# Peers penalise plain differences on the index grid; quelbrin's divided differences of
# order 2 on the mean-normalised grid are a quarter of that, so lam_quelbrin ~ 4 lam_peer
# for the same smoothing on a regular grid (case A is irregular, so only roughly).


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=10_000)
    ap.add_argument("--peers", type=int, default=50)
    ap.add_argument("--reps", type=int, default=3)
    a = ap.parse_args()
    x, y = case_a(a.series)
    S = len(y)
    t_fixed, _ = best_of(lambda: qb.whittaker_solve_f64(x, y, lam=100.0), a.reps)
    print(f"fixed-lam whittaker_solve_f64: {t_fixed * 1e3:.1f} ms")
    ours = {}
    for name, target in [("gcv", 25), ("loocv", 25), ("reml", 25), ("vcurve", 40)]:
        t, r = best_of(lambda: qa.smooth_f64(x, y, lam=name), a.reps)
        ours[name] = (t, r)
        ratio = t / t_fixed
        print(f"{name:7s} {t * 1e3:8.1f} ms  {ratio:5.1f} x fixed (target <= {target} x: "
              f"{'met' if ratio <= target else 'NOT met'})  median lam {np.median(r.lam):.4g},"
              f" at bound {r.at_bound.mean():.1%}")
    t, _ = best_of(lambda: qa.smooth_f64(x, y, lam="gcv", return_uncertainty=True), 1)
    print(f"gcv with uncertainty {t * 1e3:.1f} ms")
    for row in peers(x, y, a.peers, ours):
        label, crit, per_series = row[:3]
        t_ours = ours[crit][0] / S
        line = (f"{label}: {per_series * 1e3:.3f} ms/series; quelbrin {crit} "
                f"{t_ours * 1e3:.4f} ms/series = {per_series / t_ours:.0f} x faster")
        if len(row) > 3:
            theirs = np.asarray(row[3], dtype=float)
            mine = ours[crit][1].lam[: len(theirs)]
            diff = np.log10(mine) - np.log10(theirs)
            line += (f"; log10(ours / theirs) median {np.median(diff):+.2f}, "
                     f"IQR {np.percentile(diff, 25):+.2f} .. {np.percentile(diff, 75):+.2f}")
        print(line)


if __name__ == "__main__":
    main()
