"""Clouds and baselines: quelbrin_auto.envelope_* and smooth_*(robust=...) side by side with
the peers, on simulated data with a known truth.

    .venv/bin/python bench/envelope.py            # prints the tables, writes results_envelope.md
    .venv/bin/python bench/envelope.py --quick    # fewer series

Standalone (not part of `make bench`); the peers are installed for the benchmark only
(`pip install vam.whittaker pybaselines`), never dependencies.

1. Cloudy cube: seasonal curves (a base level and one hump per year) on a daily grid, noise
   0.02, and one-sided drops (clouds: the value falls by 5 to 100 % of itself) at 10, 30
   and 50 % of the days.  quelbrin's envelope (V-curve, p = 0.9) against vam.whittaker's
   ws2doptvp (V-curve, same p) in a per-pixel loop, on its usual grid of log10 lam (-2 to
   4.2, step 0.2) and on quelbrin's own V-curve grid mapped onto its scale; ws2dp and the
   envelope at one fixed lam (the same system: their difference is shown); the symmetric
   alternatives for comparison.  RMSE against the truth; time per series.
2. Spectra: a curved baseline under Gaussian peaks, noise 0.01.  pybaselines' asls (its
   default lam = 1e6, p = 0.01) and arpls (its default lam = 1e5), one spectrum at a time,
   against envelope_f64 at the same p and lam (fixed) and with the V-curve.
3. Robust with lam chosen: symmetric outliers; smooth_f64(robust="tukey") with GCV against
   robust_whittaker_irls_f64 at every lam of a grid (the best of the grid is an oracle's
   choice); and one gross value (1e20 or a float32 nodata) in a 365-day series.
4. Cost (case A of bench/auto.py: irregular positions, 5 % missing): envelope_f64 with the
   V-curve against one smooth_f64(lam="vcurve") call.
5. Where the time goes at a given lam: one fit, smooth_f64 at that lam, the baseline.

Scales: the peers penalise plain differences on the index grid, quelbrin divided
differences on the mean-normalised grid (h = 1 here): lam_peer = lam / 4 for d = 2.
"""

from __future__ import annotations

import argparse
import array
import math
import os
import platform
import sys
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np

import quelbrin as qb
import quelbrin_auto as qa

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from auto import best_of, case_a  # noqa: E402

SCALE = 4.0  # lam_peer = lam / SCALE (d = 2, unit spacing)
LAM_BOUNDS = (1e-3, 1e9)


def rmse(z: np.ndarray, truth: np.ndarray) -> float:
    return float(np.sqrt(np.mean((np.asarray(z) - truth) ** 2)))


def cube(S: int, T: int, fraction: float, seed: int = 0
         ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = np.arange(T, dtype=np.float64)
    phase = (x / 365.0)[None, :] % 1.0
    peak = rng.uniform(0.3, 0.7, (S, 1))
    width = rng.uniform(0.08, 0.15, (S, 1))
    base = rng.uniform(0.15, 0.3, (S, 1))
    amp = rng.uniform(0.3, 0.6, (S, 1))
    truth = base + amp * np.exp(-0.5 * ((phase - peak) / width) ** 2)
    y = truth + rng.normal(0, 0.02, (S, T))
    drop = rng.random((S, T)) < fraction
    y[drop] -= rng.uniform(0.05, 1.0, drop.sum()) * y[drop]
    return x, y, truth


def spectra(S: int, T: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    t = np.linspace(0, 1, T)
    baseline = (1 + rng.uniform(0.5, 2, (S, 1)) * t + rng.uniform(-1, 1, (S, 1)) * t**2
                + 0.3 * np.sin(2 * np.pi * t * rng.uniform(0.3, 1, (S, 1))))
    y = baseline + rng.normal(0, 0.01, (S, T))
    for _ in range(8):
        centre = rng.uniform(0.05, 0.95, (S, 1))
        width = rng.uniform(0.003, 0.02, (S, 1))
        y += rng.uniform(0.2, 3, (S, 1)) * np.exp(-0.5 * ((t - centre) / width) ** 2)
    return np.arange(T, dtype=np.float64), y, baseline


def per_series(fn: Callable[[], Any], S: int, reps: int) -> tuple[float, Any]:
    t, out = best_of(fn, reps)
    return t / S * 1e3, out


def loop(fn: Callable[[np.ndarray], Any], y: np.ndarray) -> Callable[[], np.ndarray]:
    return lambda: np.array([np.asarray(fn(row)) for row in y])


# --- 1. the cloudy cube -------------------------------------------------------------------

def part_cube(S: int, S_peer: int, reps: int) -> list[str]:
    from vam.whittaker import ws2doptvp, ws2dp
    usual = array.array("d", np.round(np.arange(-2, 4.2 + 1e-9, 0.2), 10))
    lo, hi = (math.log10(b / SCALE) for b in LAM_BOUNDS)
    ours = array.array("d", np.round(np.arange(lo, hi + 1e-9, 0.1), 10))
    lines = ["## 1. Cloudy cube: upper envelope against vam.whittaker", "",
             f"{S} x 365 daily series (peers: the first {S_peer}, in a Python loop); RMSE "
             "against the truth; ms per series (quelbrin: one call, parallel on "
             f"{os.cpu_count()} cores, and parallel=False).", "",
             "| method | clouds 10 % | 30 % | 50 % | ms/series (30 %) |", "|---|---|---|---|---|"]
    rows: dict[str, list[str]] = {}
    times: dict[str, str] = {}

    def add(name: str, value: float, ms: float | None, fraction: float) -> None:
        rows.setdefault(name, []).append(f"{value:.4f}")
        if ms is not None and fraction == 0.3:
            times[name] = f"{ms:.3f}"

    for fraction in (0.1, 0.3, 0.5):
        x, y, truth = cube(S, 365, fraction)
        yp, tp = y[:S_peer], truth[:S_peer]
        w = np.ones(365)
        ms_par, env = per_series(lambda: qa.envelope_f64(x, y, p=0.9), S, reps)
        ms_ser, _ = per_series(lambda: qa.envelope_f64(x, y, p=0.9, parallel=False), S, reps)
        peer_env = env.z[:S_peer]
        usual_bounds = (SCALE * 10**-2, SCALE * 10**4.2)
        ms_usual, env_usual = per_series(
            lambda: qa.envelope_f64(x, y, p=0.9, lam_bounds=usual_bounds), S, reps)
        add("quelbrin envelope_f64, V-curve, p = 0.9 (parallel)", rmse(peer_env, tp), ms_par,
            fraction)
        add("quelbrin envelope_f64, V-curve, p = 0.9 (parallel=False)", rmse(peer_env, tp),
            ms_ser, fraction)
        add("quelbrin envelope_f64, V-curve, p = 0.9, lam_bounds = ws2doptvp's usual grid "
            "(parallel)", rmse(env_usual.z[:S_peer], tp), ms_usual, fraction)
        ms, z = per_series(loop(lambda r: ws2doptvp(r, w, usual, 0.9)[0], yp), S_peer, 1)
        add("vam ws2doptvp, p = 0.9, grid -2..4.2 step 0.2", rmse(z, tp), ms, fraction)
        ms, z = per_series(loop(lambda r: ws2doptvp(r, w, ours, 0.9)[0], yp), S_peer, 1)
        add("vam ws2doptvp, p = 0.9, quelbrin's V-curve grid (0.1 decade)", rmse(z, tp), ms,
            fraction)
        # One fixed lam: the median of the envelope's choices.
        lam = float(np.median(env.lam))
        ms, zf = per_series(lambda: qa.envelope_f64(x, yp, p=0.9, lam=lam), S_peer, reps)
        add("quelbrin envelope_f64, fixed lam (median choice), p = 0.9", rmse(zf.z, tp), ms,
            fraction)
        ms, z = per_series(loop(lambda r: ws2dp(r, lam / SCALE, w, 0.9), yp), S_peer, 1)
        add("vam ws2dp, same fixed lam, p = 0.9", rmse(z, tp), ms, fraction)
        rows.setdefault("max abs difference envelope - ws2dp at that lam", []).append(
            f"{np.max(np.abs(zf.z - z)):.1e}")
        ms, r = per_series(lambda: qa.smooth_f64(x, y, robust="tukey"), S, reps)
        add("quelbrin smooth_f64(robust=\"tukey\"), GCV (symmetric)", rmse(r.z[:S_peer], tp), ms,
            fraction)
        ms, z = per_series(lambda: qb.robust_whittaker_irls_f64(x, y, lam=1e4, iterations=3),
                           S, reps)
        add("quelbrin robust_whittaker_irls_f64, tukey, lam = 1e4, 3 iterations", rmse(z[:S_peer], tp),
            ms, fraction)
        ms, r = per_series(lambda: qa.smooth_f64(x, y, lam="vcurve"), S, reps)
        add("quelbrin smooth_f64, V-curve, no reweighting", rmse(r.z[:S_peer], tp), ms, fraction)
    for name, values in rows.items():
        lines.append(f"| {name} | {' | '.join(values)} | {times.get(name, '')} |")

    # The 730-day series of the target.
    x, y, truth = cube(S // 2, 730, 0.3, seed=5)
    ms_par, env = per_series(lambda: qa.envelope_f64(x, y, p=0.9), len(y), reps)
    ms_ser, _ = per_series(lambda: qa.envelope_f64(x, y, p=0.9, parallel=False), len(y), reps)
    yp = y[: S_peer // 2]
    w = np.ones(730)
    ms_peer, z = per_series(loop(lambda r: ws2doptvp(r, w, usual, 0.9)[0], yp), len(yp), 1)
    lines += ["", f"730-day series, 30 % clouds ({len(y)} series; peer: {len(yp)}): envelope "
              f"{ms_par:.3f} ms/series (parallel), {ms_ser:.3f} (parallel=False); ws2doptvp "
              f"(usual grid) {ms_peer:.3f}; RMSE {rmse(env.z[:len(yp)], truth[:len(yp)]):.4f} "
              f"against {rmse(z, truth[:len(yp)]):.4f}.", ""]
    return lines


# --- 2. spectra ------------------------------------------------------------------------------

def part_spectra(S: int, S_peer: int, reps: int) -> list[str]:
    from pybaselines.whittaker import arpls, asls
    T = 1000
    x, y, truth = spectra(S, T)
    yp, tp = y[:S_peer], truth[:S_peer]
    p, lam_pb = 0.01, 1e6
    lines = ["## 2. Spectra: baselines against pybaselines", "",
             f"{S} spectra of {T} points (peers: the first {S_peer}, one at a time); RMSE of "
             "the baseline against the truth; ms per spectrum.", "",
             "| method | RMSE | ms/spectrum |", "|---|---|---|"]
    ms_q, fixed = per_series(lambda: qa.envelope_f64(x, y, p=p, lam=lam_pb * SCALE, iterations=50),
                             S, reps)
    ms_pb, z_pb = per_series(loop(lambda r: asls(r, lam=lam_pb, p=p)[0], yp), S_peer, 1)
    diff = np.max(np.abs(fixed.z[:S_peer] - z_pb))
    lines.append(f"| quelbrin envelope_f64, p = {p}, lam = {lam_pb * SCALE:g} (= asls's "
                 f"{lam_pb:g}), iterations = 50 | {rmse(fixed.z[:S_peer], tp):.4f} | {ms_q:.4f} |")
    lines.append(f"| pybaselines asls, p = {p}, lam = {lam_pb:g} | {rmse(z_pb, tp):.4f} | "
                 f"{ms_pb:.4f} |")
    ms_ar, z_ar = per_series(loop(lambda r: arpls(r)[0], yp), S_peer, 1)
    lines.append(f"| pybaselines arpls, its default lam = 1e5 | {rmse(z_ar, tp):.4f} | "
                 f"{ms_ar:.4f} |")
    S_auto = min(S, 1000)
    for crit in ("vcurve", "gcv"):
        ms, auto = per_series(
            lambda: qa.envelope_f64(x, y[:S_auto], p=p, lam=crit, iterations=50), S_auto, reps)
        lines.append(f"| quelbrin envelope_f64, p = {p}, lam = \"{crit}\" | "
                     f"{rmse(auto.z[:S_peer], tp):.4f} | {ms:.4f} |")
    lines += ["", f"Same p and lam: the envelope and asls differ by at most {diff:.1e} (their "
              f"baselines reach {np.max(np.abs(z_pb)):.2g}); speed-up {ms_pb / ms_q:.0f} x per "
              "spectrum.", ""]
    return lines


# --- 3. robust with lam chosen ------------------------------------------------------------

def outlying(S: int, T: int, seed: int = 2) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = np.arange(T, dtype=np.float64)
    truth = np.sin(2 * np.pi * x[None, :] / T * rng.uniform(1, 4, (S, 1)) + rng.uniform(0, 6, (S, 1)))
    y = truth + rng.normal(0, 0.1, (S, T))
    hit = rng.random((S, T)) < 0.05
    y[hit] += rng.choice([-1, 1], hit.sum()) * rng.uniform(0.5, 3, hit.sum())
    return x, y, truth


def part_robust(S: int, reps: int) -> list[str]:
    x, y, truth = outlying(S, 365)
    lines = ["## 3. Robust smoothing with lam chosen", "",
             f"{S} x 365 series, noise 0.1, 5 % symmetric outliers of 0.5 to 3; RMSE against "
             "the truth.", "", "| method | RMSE | ms/series |", "|---|---|---|"]
    for crit in ("gcv", "reml"):
        ms, r = per_series(lambda: qa.smooth_f64(x, y, lam=crit, robust="tukey"), S, reps)
        lines.append(f"| smooth_f64(lam=\"{crit}\", robust=\"tukey\") | {rmse(r.z, truth):.4f} "
                     f"| {ms:.4f} |")
    best = (math.inf, 0.0)
    grid = []
    for e in np.arange(0, 7.01, 0.5):
        z = qb.robust_whittaker_irls_f64(x, y, lam=10**e, iterations=10)
        grid.append(f"{10**e:.3g}: {rmse(z, truth):.4f}")
        best = min(best, (rmse(z, truth), 10**e))
    ms, _ = per_series(lambda: qb.robust_whittaker_irls_f64(x, y, lam=best[1], iterations=10), S,
                       reps)
    lines.append(f"| robust_whittaker_irls_f64, tukey, 10 iterations, best lam of the grid "
                 f"({best[1]:.3g}) | {best[0]:.4f} | {ms:.4f} |")
    r = qa.smooth_f64(x, y)
    lines.append(f"| smooth_f64(lam=\"gcv\"), no reweighting | {rmse(r.z, truth):.4f} | |")
    lines += ["", "The fixed-lam grid (lam: RMSE): " + ", ".join(grid) + ".", ""]

    # One gross value in a 365-day series.
    rng = np.random.default_rng(3)
    xs = np.arange(365, dtype=np.float64)
    clean = 0.5 + 0.3 * np.sin(2 * np.pi * xs / 365) + rng.normal(0, 0.03, 365)
    lines += ["One gross value at day 200 of a 365-day series (noise 0.03): good observations "
              "given weight 0.", "", "| gross value | robust_whittaker_irls, lam = 1000, 3 "
              "iterations | smooth(robust=\"tukey\") | envelope_f64 (p = 0.9) |", "|---|---|---|---|"]
    good = np.arange(365) != 200
    for flavour, value in (("f64", 1e20), ("f32", -3.4028235e38), ("f32", 3.4028235e38)):
        dt = np.float64 if flavour == "f64" else np.float32
        yb = clean.copy().astype(dt)[None, :]
        yb[0, 200] = dt(value)
        xb = xs.astype(dt)
        _, w = getattr(qb, "robust_whittaker_irls_" + flavour)(xb, yb, lam=1000.0, iterations=3,
                                                               return_weights=True)
        ra = getattr(qa, "smooth_" + flavour)(xb, yb, robust="tukey")
        re = getattr(qa, "envelope_" + flavour)(xb, yb, p=0.9)
        lines.append(f"| {value:g} ({flavour}) | {np.count_nonzero(w[0, good] == 0)} of 364 | "
                     f"{np.count_nonzero(ra.weights[0, good] == 0)} of 364 | "
                     f"{np.count_nonzero(re.weights[0, good] == 0)} of 364 |")
    lines.append("")
    return lines


# --- 4. cost on case A ------------------------------------------------------------------------

def part_cost(S: int, reps: int) -> list[str]:
    x, y = case_a(S=S)
    t_smooth, _ = best_of(lambda: qa.smooth_f64(x, y, lam="vcurve"), reps)
    t_env, _ = best_of(lambda: qa.envelope_f64(x, y, lam="vcurve", iterations=10), reps)
    t_rob, _ = best_of(lambda: qa.smooth_f64(x, y, robust="tukey", iterations=10), reps)
    t_gcv, _ = best_of(lambda: qa.smooth_f64(x, y, lam="gcv"), reps)
    return ["## 4. Cost on case A", "",
            f"Case A of bench/auto.py with {S} x 1000 series (irregular positions, 5 % "
            "missing), parallel, best of " + str(reps) + ":", "",
            f"- smooth_f64(lam=\"vcurve\"): {t_smooth:.3f} s; envelope_f64(lam=\"vcurve\", "
            f"iterations=10): {t_env:.3f} s = {t_env / t_smooth:.2f} x one smooth call "
            "(bound: 10 x).",
            f"- smooth_f64(lam=\"gcv\"): {t_gcv:.3f} s; smooth_f64(robust=\"tukey\", "
            f"iterations=10): {t_rob:.3f} s = {t_rob / t_gcv:.2f} x (bound: 10 x).", ""]


# --- 5. where the time goes at a given lam --------------------------------------------------

def part_given(S: int, reps: int) -> list[str]:
    x, y, _ = spectra(S, 1000)
    t_solve, _ = best_of(lambda: qb.whittaker_solve_f64(x, y, lam=4e6, parallel=False), reps)
    t_smooth, _ = best_of(lambda: qa.smooth_f64(x, y, lam=4e6, parallel=False), reps)
    t_env, _ = best_of(lambda: qa.envelope_f64(x, y, p=0.01, lam=4e6, iterations=50,
                                               parallel=False), reps)
    per = lambda t: f"{t / S * 1e3:.4f} ms"  # noqa: E731
    return ["## 5. Where the time goes at a given lam", "",
            f"{S} spectra of 1000 points, lam = 4e6, parallel=False: one fit "
            f"(whittaker_solve_f64) {per(t_solve)}; smooth_f64 at that lam (one fit and the "
            f"statistics: edf, sigma) {per(t_smooth)}; envelope_f64 (p = 0.01, up to 50 fits "
            f"and the statistics of the last) {per(t_env)}.  The statistics' sweep (the "
            "diagonal of A^-1, computed for one lam on all sixteen lanes of the evaluator) "
            "costs more than all the fits.", ""]


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()
    S, S_peer, reps = (300, 100, 1) if args.quick else (1000, 300, 1)
    out = ["# Clouds and baselines: envelope and robust smoothing against the peers", "",
           f"Machine: {platform.machine()}, {os.cpu_count()} CPUs; Python "
           f"{platform.python_version()}.  Written by bench/envelope.py"
           + (" --quick" if args.quick else "") + "; timings are best-of and noisy on a "
           "shared machine: compare within one run.", ""]
    for part in (lambda: part_cube(S, S_peer, reps), lambda: part_spectra(10 * S, S_peer, reps),
                 lambda: part_robust(S, reps), lambda: part_cost(5 * S, reps),
                 lambda: part_given(2 * S, reps)):
        lines = part()
        print("\n".join(lines), flush=True)
        out += lines
    if not args.no_write:
        (HERE / "results_envelope.md").write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
