"""Automatic choice of lam: cost against the fixed-lam call on case A, and against the
peers' own selection on the same series.

    .venv/bin/python bench/auto.py                       # both parts, prints the tables
    .venv/bin/python bench/auto.py --part peers --write  # the peers' table into results_auto.md

Standalone (`make bench` runs bench/run.py, not this file); the peers are those that `make
bench` installs (scipy>=1.18, vam.whittaker, whittaker-eilers), for the benchmark only.

Case A: 10,000 x 1,000 float64, irregular positions, 5 % missing: every criterion against
one fixed-lam whittaker_solve_f64 call.

Peers (case P: 2,000 x 365 float64 on a regular grid, 5 % missing, since SciPy's and
vam.whittaker's smoothers need one): each peer's own selection, in a Python loop over the
series (none has a batch for it), against the quelbrin criterion that matches it:
- SciPy `scipy.signal.whittaker_henderson(lamb="reml")` against "reml";
- vam.whittaker `ws2doptv` (V-curve over a grid `llas` of log10 lam) against "vcurve"; the
  grid covers lam_bounds mapped onto the peer's scale with quelbrin's step of 0.1 decade
  (and, as a second row, with 0.2 decade: half the resolution, half the work);
- whittaker-eilers `smooth_optimal` (cross-validation over its own fixed grid, 1e-2 to 1e8
  in steps of 0.5 decade, `break_serial_correlation=False`) against "loocv".
Scales: the peers penalise plain differences on the index grid, quelbrin divided
differences on the mean-normalised grid (h = 1 here), so the same smoothing is lam_peer =
lam / ((d!)^2 h^(2d)) = lam / 4 for d = 2.  "Lands" is log10(lam / 4 / lam_peer) per series.

Timing: each side warm, best of --reps; the peers' loops run over --peer-series series and
are reported per series; quelbrin runs all 2,000 series in one call (parallel on the
machine's cores, and parallel=False).
"""

from __future__ import annotations

import argparse
import array
import math
import os
import platform
import re
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import quelbrin as qb
import quelbrin_auto as qa

HERE = Path(__file__).resolve().parent
LAM_BOUNDS = (1e-3, 1e9)
D = 2
SCALE = math.factorial(D) ** 2  # lam_peer = lam / SCALE on a regular grid, h = 1
AUTO_HEADING = "## Automatic choice of lam"
PEERS_HEADING = "### Against the peers' own selection of lam"


def case_a(S: int = 10_000, T: int = 1_000, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 3.0, T))
    t = np.linspace(0, 1, T)
    y = (np.sin(2 * np.pi * t[None, :] * rng.uniform(1, 6, (S, 1)))
         + 0.3 * rng.standard_normal((S, T)))
    y[rng.random((S, T)) < 0.05] = np.nan
    return x, y


def case_p(S: int = 2_000, T: int = 365, seed: int = 3) -> tuple[np.ndarray, np.ndarray]:
    """Regular grid (spacing 1): a seasonal-like signal of 1 to 6 cycles whose noise level
    differs from series to series (so that the right lam differs too), 5 % missing."""
    rng = np.random.default_rng(seed)
    x = np.arange(T, dtype=np.float64)
    t = x / T
    y = (np.sin(2 * np.pi * t[None, :] * rng.uniform(1, 6, (S, 1)) + rng.uniform(0, 6, (S, 1)))
         + rng.uniform(0.05, 0.5, (S, 1)) * rng.standard_normal((S, T)))
    y[rng.random((S, T)) < 0.05] = np.nan
    return x, y


def best_of(fn: Callable[[], Any], reps: int, warm: Callable[[], Any] | None = None
            ) -> tuple[float, Any]:
    (warm or fn)()  # imports, first-touch pages, caches
    times = []
    out = None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return min(times), out


# --- the peers' own selection, one series at a time -------------------------------------

def _zero_filled(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    ok = np.isfinite(y)
    return np.where(ok, y, 0.0), ok.astype(np.float64)


def scipy_reml(y: np.ndarray) -> Callable[[], np.ndarray]:
    from scipy.signal import whittaker_henderson
    y0, w = _zero_filled(y)

    def run() -> np.ndarray:
        return np.array([whittaker_henderson(y0[s], lamb="reml", order=D, weights=w[s]).lamb
                         for s in range(len(y0))])
    return run


def vam_vcurve(y: np.ndarray, step: float) -> Callable[[], np.ndarray]:
    from vam.whittaker import ws2doptv
    y0, w = _zero_filled(y)
    lo, hi = (math.log10(b / SCALE) for b in LAM_BOUNDS)
    llas = array.array("d", np.round(np.arange(lo, hi + 1e-9, step), 10))

    def run() -> np.ndarray:
        return np.array([ws2doptv(y0[s], w[s], llas)[1] for s in range(len(y0))])
    return run


def we_cv(y: np.ndarray) -> Callable[[], np.ndarray]:
    from whittaker_eilers import WhittakerSmoother
    y0, w = _zero_filled(y)
    rows, weights = [list(r) for r in y0], [list(r) for r in w]
    sm = WhittakerSmoother(lmbda=1.0, order=D, data_length=y0.shape[1], weights=weights[0])

    def run() -> np.ndarray:
        lams = np.empty(len(rows))
        for s in range(len(rows)):
            sm.update_weights(weights[s])  # the documented way: no new smoother per series
            res = sm.smooth_optimal(rows[s], break_serial_correlation=False)
            lams[s] = res.get_optimal().get_lambda()
        return lams
    return run


PEERS: list[tuple[str, str, str, Callable[[np.ndarray], Callable[[], np.ndarray]]]] = [
    # (label, quelbrin criterion, module to import, runner)
    ("SciPy whittaker_henderson, lamb=\"reml\"", "reml", "scipy.signal", scipy_reml),
    ("vam.whittaker ws2doptv, V-curve, grid step 0.1 decade", "vcurve", "vam.whittaker",
     lambda y: vam_vcurve(y, 0.1)),
    ("vam.whittaker ws2doptv, V-curve, grid step 0.2 decade", "vcurve", "vam.whittaker",
     lambda y: vam_vcurve(y, 0.2)),
    ("whittaker-eilers smooth_optimal, cross-validation", "loocv", "whittaker_eilers", we_cv),
]


def part_a(reps: int) -> None:
    x, y = case_a()
    t_fixed, _ = best_of(lambda: qb.whittaker_solve_f64(x, y, lam=100.0), reps)
    print(f"case A: fixed-lam whittaker_solve_f64: {t_fixed * 1e3:.1f} ms")
    for name, target in [("gcv", 25), ("loocv", 25), ("reml", 25), ("vcurve", 40)]:
        t, r = best_of(lambda: qa.smooth_f64(x, y, lam=name), reps)
        ratio = t / t_fixed
        print(f"  {name:7s} {t * 1e3:8.1f} ms  {ratio:5.1f} x fixed (target <= {target} x: "
              f"{'met' if ratio <= target else 'NOT met'})  median lam {np.median(r.lam):.4g},"
              f" at bound {r.at_bound.mean():.1%}")


def part_peers(reps: int, n_peer: int) -> str:
    x, y = case_p()
    S, T = y.shape
    load_before = os.getloadavg()[0]
    ours: dict[str, tuple[float, float, np.ndarray]] = {}
    for crit in sorted({p[1] for p in PEERS}):
        t_par, r = best_of(lambda: qa.smooth_f64(x, y, lam=crit, d=D, lam_bounds=LAM_BOUNDS), reps)
        t_ser, _ = best_of(lambda: qa.smooth_f64(x, y, lam=crit, d=D, lam_bounds=LAM_BOUNDS,
                                                 parallel=False), reps)
        ours[crit] = (t_par / S, t_ser / S, r.lam)
        print(f"quelbrin {crit:7s} {t_par / S * 1e3:.4f} ms/series "
              f"(parallel=False {t_ser / S * 1e3:.4f})")

    rows = []
    fastest: dict[str, float] = {}
    for label, crit, module, make in PEERS:
        try:
            __import__(module)
            run, warm = make(y[:n_peer]), make(y[:5])
        except Exception as exc:  # noqa: BLE001 - a missing peer is reported, not fatal
            rows.append((label, crit, None, None, f"not run: {type(exc).__name__}: {exc}"))
            continue
        t, lam_peer = best_of(run, reps, warm)  # warmed on 5 series, then the whole loop
        per = t / n_peer
        fastest[crit] = min(fastest.get(crit, math.inf), per)
        ok = np.isfinite(lam_peer) & (lam_peer > 0)
        lands = np.log10(ours[crit][2][:n_peer][ok] / SCALE) - np.log10(lam_peer[ok])
        note = "" if ok.all() else (f"; the peer returned no lam (NaN) for {int((~ok).sum())} "
                                    f"of {n_peer:,} series, left out")
        rows.append((label, crit, per, lands, note))
        print(f"{label}: {per * 1e3:.3f} ms/series; lands median {np.median(lands):+.3f}{note}")

    load_after = os.getloadavg()[0]
    lines = [
        PEERS_HEADING,
        "",
        f"Case P: {S:,} x {T} float64 on a regular grid (spacing 1), "
        f"{np.isnan(y).mean():.1%} missing, d = {D}, lam_bounds = ({LAM_BOUNDS[0]:g}, "
        f"{LAM_BOUNDS[1]:g}); {platform.machine()}, {_cores()} cores (load average "
        f"{load_before:.1f} before, {load_after:.1f} after: shared with other work), "
        f"Python {platform.python_version()}, "
        f"{_versions()}.  quelbrin: one call on all {S:,} series (per-series time = call / "
        f"{S:,}); each peer: a Python loop over the first {n_peer:,} series, one at a time.  "
        f"Both warm, best of {reps}.  \"Lands\": log10(quelbrin's lam / 4 / the peer's lam) "
        "per series (lam / 4 is quelbrin's lam on the peers' plain-difference scale, d = 2, "
        "h = 1), median and interquartile range.  Target: at least 10 x faster than the "
        "fastest peer for the criterion.",
        "",
        "| criterion | peer (its own selection) | quelbrin, ms/series | quelbrin parallel=False "
        "| peer, ms/series | speed-up (parallel / serial) | target >= 10 x | lands: median "
        "[IQR] |",
        "|---|---|---:|---:|---:|---:|---|---|",
    ]
    for label, crit, per, lands, note in rows:
        t_par, t_ser, _ = ours[crit]
        if per is None:
            lines.append(f"| {crit} | {label} | {t_par * 1e3:.4f} | {t_ser * 1e3:.4f} | — | — "
                         f"| — | {note} |")
            continue
        met = "yes" if per / t_par >= 10 else "no"
        q25, q50, q75 = np.percentile(lands, [25, 50, 75])
        lines.append(
            f"| {crit} | {label} | {t_par * 1e3:.4f} | {t_ser * 1e3:.4f} | {per * 1e3:.3f} | "
            f"{per / t_par:.0f} x / {per / t_ser:.0f} x | {met} | "
            f"{q50:+.3f} [{q25:+.3f}, {q75:+.3f}]{note} |")
    lines.append("")
    verdicts = []
    for crit in sorted(fastest):
        ratio = fastest[crit] / ours[crit][0]
        which = next(r[0] for r in rows if r[1] == crit and r[2] == fastest[crit])
        verdicts.append(f"{crit} {ratio:.0f} x ({'met' if ratio >= 10 else 'NOT met'}; "
                        f"{which})")
    lines.append("Against the fastest peer run of each criterion (quelbrin's parallel call): "
                 + "; ".join(verdicts) + ".")
    complete = reml_on_complete(x, y[:200])
    if complete:
        lines += ["", complete]
    lines += [
        "",
        "A peer's NaN lam (SciPy's REML on some series with zero weights, where it also "
        "returns a NaN fit) counts in its time and is left out of \"lands\".  "
        "SciPy's REML optimises lam continuously; quelbrin's REML is the global minimum "
        "within lam_bounds to about 2e-3 decade.  ws2doptv and quelbrin's V-curve both take the "
        "midpoint of the shortest segment on a grid of 0.1 decade (the same grid once mapped), "
        "so they can agree exactly; on the 0.2 grid ws2doptv has half the resolution.  "
        "whittaker-eilers tries lam from 1e-2 to 1e8 in steps of 0.5 decade, so its choice "
        "is quantised to half a decade and cannot go below 1e-2 (quelbrin's bounds reach "
        f"{LAM_BOUNDS[0] / SCALE:g} on its scale); it has no batch for the search "
        "(smooth_parallel takes one lam for all), so it runs in a loop like the others.",
        "",
    ]
    return "\n".join(lines)


def reml_on_complete(x: np.ndarray, y: np.ndarray) -> str:
    """Where quelbrin's REML lands against SciPy's on the same series made complete (gaps
    filled by linear interpolation), apart from how missing positions count."""
    try:
        from scipy.signal import whittaker_henderson  # noqa: F401
    except ImportError:
        return ""
    filled = y.copy()
    for s in range(len(y)):
        ok = np.isfinite(y[s])
        gaps = np.flatnonzero(~ok)
        filled[s, gaps] = np.interp(gaps, np.flatnonzero(ok), y[s, ok])
    run = scipy_reml(filled)
    lam_peer = run()
    ok = np.isfinite(lam_peer)
    ours = qa.smooth_f64(x, filled, lam="reml", d=D, lam_bounds=LAM_BOUNDS).lam
    lands = np.log10(ours[ok] / SCALE) - np.log10(lam_peer[ok])
    q = np.percentile(lands, [0, 25, 50, 75, 100])
    return (f"REML on the first {len(y)} series made complete (gaps filled by linear "
            f"interpolation, all weights 1): SciPy returned a lam for {int(ok.sum())} of "
            f"{len(y)}; lands median {q[2]:+.4f}, IQR [{q[1]:+.4f}, {q[3]:+.4f}], range "
            f"[{q[0]:+.4f}, {q[4]:+.4f}].  So the offset with missing values comes from how "
            f"the two criteria count the positions of weight 0 (quelbrin's uses m - d, m the "
            f"observed positions).")


def _cores() -> int:
    return os.cpu_count() or 1


def _versions() -> str:
    from run import peer_versions  # bench/run.py, beside this file
    return f"numpy {np.__version__}, {peer_versions()}"


def write_section(text: str) -> None:
    """Put the peers' table into results_auto.md (the automatic-lam results; bench/run.py
    rewrites results.md whole), replacing an earlier one; the rest stays as it is."""
    path = HERE / "results_auto.md"
    doc = path.read_text()
    if AUTO_HEADING not in doc:
        doc = doc.rstrip("\n") + f"\n\n{AUTO_HEADING}\n"
    start = doc.index(AUTO_HEADING)
    end_m = re.compile(r"^## ", re.M).search(doc, start + len(AUTO_HEADING))
    end = end_m.start() if end_m else len(doc)
    section = doc[start:end]
    if PEERS_HEADING in section:
        a = section.index(PEERS_HEADING)
        nxt = re.compile(r"^###? ", re.M).search(section, a + len(PEERS_HEADING))
        section = section[:a] + text + (section[nxt.start():] if nxt else "")
    else:
        section = section.rstrip("\n") + "\n\n" + text
    path.write_text(doc[:start] + section.rstrip("\n") + "\n" + ("\n" + doc[end:] if end < len(doc) else ""))
    print(f"written to {path}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--part", choices=("a", "peers", "all"), default="all")
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--peer-series", type=int, default=1_000,
                    help="series in each peer's loop (of case P's 2,000)")
    ap.add_argument("--write", action="store_true",
                    help="write the peers' table into bench/results_auto.md")
    a = ap.parse_args()
    if a.part in ("a", "all"):
        part_a(a.reps)
    if a.part in ("peers", "all"):
        text = part_peers(a.reps, a.peer_series)
        print()
        print(text)
        if a.write:
            write_section(text)


if __name__ == "__main__":
    main()
