"""Draws docs/lam_d.png for the README: what lam and d do to one irregular, gappy series.

    python docs/lam_d.py          (needs matplotlib)
"""

from __future__ import annotations

import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import quelbrin


def lam_for_period(period: float, d: int) -> float:
    """The lam at which a sine of `period` mean spacings keeps half its amplitude."""
    return float(math.factorial(d) ** 2 / (2.0 * math.sin(math.pi / period)) ** (2 * d))


def main() -> None:
    rng = np.random.default_rng(3)
    x = np.cumsum(rng.uniform(1.0, 3.0, 180))  # days, irregular revisit
    truth = 0.3 + 0.25 * np.sin(2 * np.pi * x / 365.0) + 0.05 * np.sin(2 * np.pi * x / 60.0)
    y = truth + rng.normal(0.0, 0.03, x.size)
    y[60:80] = np.nan
    y[rng.random(x.size) < 0.06] = np.nan
    y2 = y[None, :]

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6.5), sharex=True)
    for ax in (top, bottom):
        ax.plot(x, y, ".", color="0.6", ms=4, label="observations (gaps are NaN)")
        ax.plot(x, truth, ":", color="0.2", lw=1, label="clean signal")
    for lam, colour in ((5.0, "tab:green"), (50.0, "tab:blue"), (2000.0, "tab:red")):
        z = quelbrin.whittaker_solve_f64(x, y2, lam=lam, d=2)[0]
        top.plot(x, z, color=colour, lw=1.6, label=f"lam={lam:g}, d=2")
    top.set_title("larger lam: smoother (d=2, normalize='mean')")
    period = 15.0
    for d, colour in ((1, "tab:orange"), (2, "tab:blue"), (3, "tab:purple")):
        lam = lam_for_period(period, d)
        z = quelbrin.whittaker_solve_f64(x, y2, lam=lam, d=d)[0]
        bottom.plot(x, z, color=colour, lw=1.6, label=f"d={d}, lam={lam:.3g}")
    bottom.set_title(f"same half-gain period ({period:g} spacings), different d: "
                     "d=1 bridges gaps with straight lines, higher d with curves")
    bottom.set_xlabel("position (day)")
    for ax in (top, bottom):
        ax.legend(loc="lower left", fontsize=8, ncol=3)
    fig.tight_layout()
    out = Path(__file__).with_name("lam_d.png")
    fig.savefig(out, dpi=90)
    print(f"written {out}")


if __name__ == "__main__":
    main()
