"""The main job: smooth a realistic batch of irregularly sampled, gappy, spiky series.

Generates 20,000 vegetation-index-like pixel series of 365 acquisitions each (an irregular
revisit of 1 to 3 days, a seasonal cycle with noise, gaps of missing values and cloud-like
drops), smooths them single-pass in float64 and float32 and robustly (IRLS, Tukey weights,
3 iterations), prints the throughput, and writes demo.png.

Then lets quelbrin_auto choose lam for every series by REML, with the robust fit's weights
as base weights (so that the rejected cloud drops do not count), and writes demo_lam.png:
three series with their chosen lam and the band z +- 2 se, and the distribution of the
chosen lam over all series (beside REML on the raw observations, clouds included).

Last, a cloudier batch (a third of the acquisitions pulled down by clouds, and an unmasked
nodata value): quelbrin_auto's upper envelope against its robust fit, both with lam chosen
per series, and demo_clouds.png (a cloudy pixel: data, envelope, robust fit, truth).
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

import quelbrin
import quelbrin_auto

S, T = 20_000, 365
LAM = 50.0


def make_batch(
    seed: int = 7,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 3.0, T))  # acquisition days, irregular revisit
    phase = rng.uniform(0, 2 * np.pi, (S, 1))
    amp = rng.uniform(0.2, 0.4, (S, 1))
    base = rng.uniform(0.2, 0.4, (S, 1))
    truth = base + amp * (0.5 + 0.5 * np.sin(2 * np.pi * x[None, :] / 365.0 + phase))
    y = truth + rng.normal(0, 0.03, (S, T))
    # Gaps: a missing stretch per series and scattered missing acquisitions.
    start = rng.integers(0, T - 40, S)
    length = rng.integers(0, 40, S)
    cols = np.arange(T)[None, :]
    y[(cols >= start[:, None]) & (cols < (start + length)[:, None])] = np.nan
    y[rng.random((S, T)) < 0.05] = np.nan
    # Clouds: a few acquisitions per series read far too low.
    clouds = rng.random((S, T)) < 0.04
    y[clouds] -= rng.uniform(0.2, 0.5, clouds.sum())
    return x, y, truth


def timed[R](fn: Callable[..., R], *args: Any, **kwargs: Any) -> tuple[R, float]:
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def main() -> int:
    x, y, truth = make_batch()
    nobs = y.size / 1e6
    print(f"quelbrin demo: {S:,} series x {T} irregular positions "
          f"({np.isnan(y).mean():.1%} missing), lam={LAM}")

    z64, t64 = timed(quelbrin.whittaker_solve_f64, x, y, lam=LAM)
    z32, t32 = timed(quelbrin.whittaker_solve_f32, x.astype(np.float32),
                     y.astype(np.float32), lam=np.float32(LAM))
    zr, tr = timed(quelbrin.robust_whittaker_irls_f64, x, y, lam=LAM, iterations=3)
    for name, t in (("single-pass float64", t64), ("single-pass float32", t32),
                    ("robust float64, 3 iterations", tr)):
        print(f"  {name:30s} {t * 1e3:8.1f} ms   {t / nobs * 1e3:7.2f} ms per million obs")

    def rmse(z: npt.NDArray[np.float64]) -> float:
        return float(np.sqrt(np.mean((z - truth) ** 2)))

    print(f"  error against the clean signal: raw {np.sqrt(np.nanmean((y - truth) ** 2)):.4f}, "
          f"single-pass {rmse(z64):.4f}, robust {rmse(zr):.4f}")
    print(f"  float32 vs float64 max difference: {np.max(np.abs(z32 - z64)):.2e}")

    # lam chosen per series: REML with the robust fit's weights (cloud drops weigh 0), and
    # REML on the raw observations for comparison.
    _, w_robust = quelbrin.robust_whittaker_irls_f64(x, y, lam=LAM, iterations=3,
                                                     return_weights=True)
    auto, ta = timed(quelbrin_auto.smooth_f64, x, y, w_robust, lam="reml",
                     return_uncertainty=True)
    raw, traw = timed(quelbrin_auto.smooth_f64, x, y, lam="reml")
    assert auto.se is not None
    q25, q50, q75 = np.percentile(auto.lam, [25, 50, 75])
    covered = np.mean(np.abs(truth - auto.z) <= 2 * auto.se)
    print(f"  lam by REML on the robust weights: {ta * 1e3:.0f} ms with uncertainty "
          f"(raw observations: {traw * 1e3:.0f} ms); median lam {q50:.3g} "
          f"(IQR {q25:.3g} .. {q75:.3g}; raw observations {np.median(raw.lam):.3g}), "
          f"{int(auto.at_bound.sum())} at a bound; error {rmse(auto.z):.4f}, clean signal "
          f"inside z +- 2 se at {covered:.1%} of positions")

    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture written")
        return 0
    out = os.path.abspath("demo.png")
    fig, axes = plt.subplots(3, 1, figsize=(11, 8), sharex=True)
    for ax, s in zip(axes, (0, 1, 2)):
        ax.plot(x, y[s], ".", color="0.55", ms=4, label="observations")
        ax.plot(x, truth[s], color="0.2", lw=1, ls=":", label="clean signal")
        ax.plot(x, z64[s], color="tab:blue", lw=1.6, label="single-pass")
        ax.plot(x, zr[s], color="tab:red", lw=1.6, label="robust (3 iterations)")
        ax.set_ylabel(f"series {s}")
    axes[0].legend(loc="upper right", ncol=4, fontsize=8)
    axes[-1].set_xlabel("position (day)")
    fig.suptitle("quelbrin: single-pass vs robust Whittaker smoothing (cloud drops rejected)")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)
    print(f"picture written to {out}")

    out = os.path.abspath("demo_lam.png")
    fig = plt.figure(figsize=(11, 10))
    grid = fig.add_gridspec(4, 1, height_ratios=(1, 1, 1, 1.15), hspace=0.45)
    # The series whose chosen lam is at the 5th, 50th and 95th percentile.
    order = np.argsort(auto.lam, kind="stable")
    picks = [int(order[int(q * (S - 1))]) for q in (0.05, 0.5, 0.95)]
    for row, s in enumerate(picks):
        ax = fig.add_subplot(grid[row])
        z, band = auto.z[s], 2 * auto.se[s]
        ax.fill_between(x, z - band, z + band, color="tab:green", alpha=0.25, lw=0,
                        label="z ± 2 se")
        kept = np.isfinite(y[s]) & (w_robust[s] > 0)
        rejected = np.isfinite(y[s]) & (w_robust[s] == 0)
        ax.plot(x[kept], y[s, kept], ".", color="0.55", ms=4, label="observations")
        ax.plot(x[rejected], y[s, rejected], "x", color="tab:red", ms=4,
                label="rejected (weight 0)")
        ax.plot(x, truth[s], color="0.2", lw=1, ls=":", label="clean signal")
        ax.plot(x, z, color="tab:green", lw=1.6, label="fit at the chosen lam")
        ax.set_title(f"series {s}: lam = {auto.lam[s]:.3g} (REML), edf = {auto.edf[s]:.1f}, "
                     f"sigma = {auto.sigma[s]:.3f}", fontsize=9, loc="left")
        if row == 0:
            fig.legend(*ax.get_legend_handles_labels(), loc="upper center", ncol=5,
                       fontsize=8, bbox_to_anchor=(0.5, 0.935), frameon=False)
        if row == 2:
            ax.set_xlabel("position (day)")
    ax = fig.add_subplot(grid[3])
    lo = np.floor(np.log10(min(auto.lam.min(), raw.lam.min(), LAM)) * 4) / 4
    hi = np.ceil(np.log10(max(auto.lam.max(), raw.lam.max())) * 4) / 4
    bins = np.linspace(lo, hi, int(round((hi - lo) * 20)) + 1).tolist()
    ax.hist(np.log10(auto.lam), bins=bins, color="tab:green", alpha=0.6,
            label="REML, robust weights (the fits above)")
    ax.hist(np.log10(raw.lam), bins=bins, histtype="step", color="0.3", lw=1.2,
            label="REML, raw observations (clouds count)")
    ax.axvline(np.log10(LAM), color="tab:blue", ls="--", lw=1,
               label=f"fixed lam = {LAM:g} of demo.png")
    ax.set_xlabel("log10 lam")
    ax.set_ylabel("series")
    ax.set_title(f"chosen lam over all {S:,} series", fontsize=9, loc="left")
    ax.legend(loc="upper left", fontsize=7)
    fig.suptitle("quelbrin_auto: lam chosen per series by REML, with the ±2 se band",
                 y=0.955)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    plt.close(fig)
    print(f"picture written to {out}")
    return clouds(plt)


def clouds(plt: Any, S_c: int = 2_000, seed: int = 9) -> int:
    """One-sided contamination: the envelope against the symmetric robust fit."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 3.0, T))
    peak = rng.uniform(0.35, 0.65, (S_c, 1))
    truth = 0.2 + 0.5 * np.exp(-0.5 * (((x[None, :] % 365.0) / 365.0 - peak) / 0.12) ** 2)
    y = truth + rng.normal(0, 0.02, (S_c, T))
    cloudy = rng.random((S_c, T)) < 0.35
    y[cloudy] *= rng.uniform(0.0, 0.8, cloudy.sum())
    y[:, 100] = -3.4028235e38  # an unmasked float32 nodata value

    up, t_up = timed(quelbrin_auto.envelope_f64, x, y, p=0.9)
    rob, t_rob = timed(quelbrin_auto.smooth_f64, x, y, robust="tukey")
    assert up.weights is not None and rob.weights is not None

    def rmse(z: npt.NDArray[np.float64]) -> float:
        return float(np.sqrt(np.mean((z - truth) ** 2)))

    print(f"  clouds on 35 % of {S_c:,} series (+ one nodata each): envelope (V-curve, "
          f"p = 0.9) error {rmse(up.z):.4f} in {t_up * 1e3:.0f} ms; robust (Tukey, GCV) "
          f"{rmse(rob.z):.4f} in {t_rob * 1e3:.0f} ms")
    out = os.path.abspath("demo_clouds.png")
    # A typical pixel: the median envelope error among the first 20.
    errors = np.sqrt(np.mean((up.z[:20] - truth[:20]) ** 2, axis=1))
    s = int(np.argsort(errors)[10])
    fig, ax = plt.subplots(figsize=(11, 4.5))
    ok = np.abs(y[s]) < 10
    ax.plot(x[ok & ~cloudy[s]], y[s, ok & ~cloudy[s]], ".", color="0.45", ms=4,
            label="observations")
    ax.plot(x[ok & cloudy[s]], y[s, ok & cloudy[s]], ".", color="tab:orange", ms=4,
            label="cloudy (pulled down)")
    ax.plot(x, truth[s], color="0.1", lw=1.2, ls=":", label="truth")
    ax.plot(x, up.z[s], color="tab:green", lw=1.8,
            label=f"envelope, p = 0.9, lam = {up.lam[s]:.3g} (V-curve)")
    ax.plot(x, rob.z[s], color="tab:red", lw=1.4,
            label=f"robust (Tukey), lam = {rob.lam[s]:.3g} (GCV)")
    ax.set_xlabel("position (day)")
    ax.set_ylim(-0.05, 0.9)
    ax.legend(loc="upper right", fontsize=8)
    ax.set_title(f"a cloudy pixel (series {s}; nodata -3.4e38 at day {x[100]:.0f} screened "
                 "out): the envelope rides over the clouds", fontsize=10, loc="left")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)
    print(f"picture written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
