"""Throughput of quelbrin against the memory floor and the other Whittaker smoothers
(bench/peers.py: each checked to solve the same system before it is timed); writes
results.md and results.png.

Every figure is the median of several repetitions, and every ratio is taken between
figures of the same run.  Run through `make bench`; `--quick` uses fewer repetitions.
"""

from __future__ import annotations

import os

# One BLAS thread: the scipy loop solves one small system per call, and idle BLAS worker
# threads spinning after it would take a core from the parallel measurements that follow.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse
import json
import platform
import statistics
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import quelbrin as qb
from scipy.linalg import solveh_banded

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import peers  # noqa: E402

LAM, D = 10.0, 2
# Context for the floor: a call that returns a new array also pays for the first touch of
# its fresh pages, which numpy.copyto into a preallocated array does not.
FRESH_FLOOR = "fresh-output floor (numpy.copy of y_st: a new array)"
QUELBRIN = "quelbrin (parallel)"
SERIAL = "quelbrin, parallel=False"
COMPLETE = "quelbrin on the same shape without missing values"
AGREE = 1e-6  # largest |peer - quelbrin| / (1 + |quelbrin|) accepted as the same system


def make_data(S: int, T: int, dtype, seed: int = 0, regular: bool = False,
              missing: float = 0.05):
    """Positions (irregular, or regular with spacing 1), a smooth signal with noise, about
    5 % NaN.  Filled in row blocks so that building the data never needs more memory than
    the data itself."""
    rng = np.random.default_rng(seed)
    steps = np.ones(T) if regular else rng.uniform(0.2, 1.8, T)
    x = np.cumsum(steps).astype(dtype)
    y = np.empty((S, T), dtype=dtype)
    base = np.sin(x.astype(np.float64) / 25.0)
    step = max(1, (1 << 21) // max(T, 1))
    for lo in range(0, S, step):
        hi = min(S, lo + step)
        blk = base + rng.normal(0.0, 0.3, (hi - lo, T))
        blk[rng.random((hi - lo, T)) < missing] = np.nan
        y[lo:hi] = blk
    return x, y


def timed(fn, reps: int) -> float:
    """Median wall time of `reps` calls after one warm-up call."""
    return timed_together([fn], reps)[0]


def timed_together(fns, reps: int) -> list[float]:
    """Median wall times of several functions, each called once per round, round after
    round, so that a change in the machine's load hits all of them alike."""
    for fn in fns:
        fn()
    samples = [[] for _ in fns]
    for _ in range(reps):
        for k, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            samples[k].append(time.perf_counter() - t0)
    return [statistics.median(v) for v in samples]


def scipy_loop(x, y, series: int, solves: int = 1):
    """Python loop over scipy.linalg.solveh_banded on the same banded matrix as
    whittaker_solve_f64: lam * P from build_pb_f64 (same normalisation and eps) plus
    diag(w) + ridge, right-hand side w * y, lower form, one call per series."""
    pb, k = qb.build_pb_f64(x, d=D, normalize="mean", eps=1e-10)
    T = x.shape[0]
    ab0 = np.zeros((k + 1, T))
    for j in range(k + 1):
        ab0[j, : T - j] = LAM * pb[j, j:]
    w_all = np.isfinite(y[:series]).astype(np.float64)
    rhs_all = np.where(w_all > 0, y[:series], 0.0) * w_all

    def run():
        out = np.empty((series, T))
        for s in range(series):
            for _ in range(solves):
                ab = ab0.copy()
                ab[0] += w_all[s] + 1e-10
                out[s] = solveh_banded(ab, rhs_all[s], lower=True, check_finite=False)
        return out

    return run


@dataclass
class Row:
    impl: str
    seconds: float | None
    note: str = ""
    versus: str = QUELBRIN  # the quelbrin row of the same data, for the ratio


@dataclass
class Case:
    name: str
    title: str
    points: int
    rows: list[Row] = field(default_factory=list)
    refit: float = 0.0  # float32 cases: share of the series solved again in float64

    def t(self, impl: str) -> float:
        return next(r.seconds for r in self.rows if r.impl == impl)

    def has(self, impl: str) -> bool:
        return any(r.impl == impl and r.seconds is not None for r in self.rows)


A_ON_SAME_DATA = "quelbrin whittaker_solve_f64 on the same data (case A)"
C32_ON_SAME_DATA = "quelbrin robust_whittaker_irls_f32 on the same data in float32"


def refit_share(z32: np.ndarray, z64: np.ndarray) -> float:
    """The share of float32 series that are the float64 answer rounded: those the float32
    check sent to float64 (a series that passes keeps its own float32 solution, which is
    never equal to the rounded float64 one in every position)."""
    return float(np.mean(np.all(z32 == z64.astype(np.float32), axis=1)))


def agreement(got: np.ndarray, ref: np.ndarray) -> float:
    return float(np.max(np.abs(got - ref) / (1.0 + np.abs(ref))))


def peer_rows(case: Case, data: peers.Data, dtype, robust: bool, reps: int, fn, kw,
              complete: np.ndarray | None) -> list[Row]:
    """Every peer on the case's data (or, for the batch calls that take one weight vector,
    on `complete`: the same shape without missing values), each first checked against
    quelbrin on the same series."""
    S, T = data.y.shape
    rows = []
    for peer in peers.PEERS:
        reason = peers.misfit(peer, data, dtype, robust)
        if reason is None and peer.complete_only and S == 1:
            reason = "does not fit: one series (a batch call)"
        if reason is not None:
            rows.append(Row(peer.name, None, reason))
            continue
        src = data
        if peer.complete_only:
            src = peers.Data(data.x, complete, data.regular, data.lam, data.d)
        n = S if peer.complete_only else min(S, peers.LOOP_SERIES)
        if peer.complete_only and S * T > 4_000_000:
            n = max(1, 4_000_000 // T)
        runner = peer.make(src, n)
        ref = fn(src.x, src.y[:runner.series], **kw)
        err = agreement(runner.run(), ref)
        assert err < AGREE, f"{peer.name} disagrees with quelbrin on case {case.name} ({err})"
        secs = timed(runner.run, max(1, min(reps, 3))) * (S / runner.series)
        note = [f"agrees to {err:.0e}"]
        if runner.series < S:
            note.append(f"{runner.series:,} of {S:,} series timed, scaled by {S / runner.series:g}")
        if peer.complete_only:
            note.append("one weight vector for the batch: run on the same shape without "
                        "missing values, ratio to quelbrin on those")
        rows.append(Row(peer.name, secs, "; ".join(note),
                        versus=COMPLETE if peer.complete_only else QUELBRIN))
    return rows


def bench_case(name, title, fn_name, S, T, dtype, reps, scipy_series, robust=False,
               regular=False):
    x, y = make_data(S, T, dtype, regular=regular)
    fn = getattr(qb, fn_name)
    kw = dict(lam=LAM, d=D)
    if robust:
        kw["iterations"] = 3
    case = Case(name, title, S * T)
    floor_out = np.empty_like(y)
    labels = ["memory floor (numpy.copyto of y_st)", FRESH_FLOOR, QUELBRIN, SERIAL]
    fns = [lambda: np.copyto(floor_out, y), lambda: np.copy(y), lambda: fn(x, y, **kw),
           lambda: fn(x, y, parallel=False, **kw)]
    if name in ("B", "C"):  # the ratios of targets 2, 4, 10 and 11, taken in the same rounds
        x64, y64 = x.astype(np.float64), y.astype(np.float64)
        labels.append(A_ON_SAME_DATA)
        fns.append(lambda: qb.whittaker_solve_f64(x64, y64, lam=LAM, d=D))
    if name == "C":
        x32, y32 = x.astype(np.float32), y.astype(np.float32)
        labels.append(C32_ON_SAME_DATA)
        fns.append(lambda: qb.robust_whittaker_irls_f32(x32, y32, **kw))
    data = peers.Data(x, y, regular, LAM, D)
    complete = None
    if dtype == np.float64 and not robust and S > 1:
        complete = make_data(S, T, dtype, regular=regular, missing=0.0)[1]
        labels.append(COMPLETE)
        fns.append(lambda: fn(x, complete, **kw))
    for label, secs in zip(labels, timed_together(fns, reps)):
        case.rows.append(Row(label, secs, note=f"function {fn_name}" if label == QUELBRIN
                             else ""))
    if dtype == np.float64 and scipy_series:
        n = min(S, scipy_series)
        solves = 3 if robust else 1
        run = scipy_loop(x, y, n, solves)
        if not robust:  # the loop solves the same systems: check it agrees
            ref = fn(x, y[:n], **kw)
            err = agreement(run(), ref)
            assert err < AGREE, f"scipy loop disagrees with quelbrin ({err})"
        secs = timed(run, max(1, min(reps, 3))) * (S / n)
        note = []
        if n < S:
            note.append(f"{n:,} of {S:,} series timed, scaled by {S // n}")
        if robust:
            note.append("3 solves per series, weight updates not counted")
        case.rows.append(Row("Python loop over scipy.linalg.solveh_banded", secs,
                             "; ".join(note)))
    case.rows += peer_rows(case, data, dtype, robust, reps, fn, kw, complete)
    if name == "B":  # float32 series solved again in float64, on the promoted inputs
        z64 = qb.whittaker_solve_f64(x.astype(np.float64), y.astype(np.float64),
                                     lam=float(np.float32(LAM)), d=D,
                                     ridge=float(np.float32(1e-10)), eps=float(np.float32(1e-10)))
        case.refit = refit_share(fn(x, y, **kw), z64)
    if name == "C":
        z64 = fn(x, y, **kw)
        z32 = qb.robust_whittaker_irls_f32(x.astype(np.float32), y.astype(np.float32), **kw)
        ref = qb.robust_whittaker_irls_f64(
            x.astype(np.float32).astype(np.float64), y.astype(np.float32).astype(np.float64),
            lam=float(np.float32(LAM)), d=D, iterations=3, ridge=float(np.float32(1e-10)),
            eps=float(np.float32(1e-10)), merge_x_tol=float(np.float32(0.01)))
        case.refit = refit_share(z32, ref)
        del z64
    return case


MEMORY_PROBE = textwrap.dedent("""
    import json, resource, sys
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    from run import make_data
    import quelbrin as qb

    # ru_maxrss of a process started from a large one also carries the peak of the address
    # space it replaced at exec (the parent's, under vfork/posix_spawn), which nothing can
    # reset; VmHWM is the same peak for this process's own memory, reset by clear_refs.
    # Both are reported; the target uses the latter.
    def peak():
        hwm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM"))
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, hwm * 1024

    S, T = int(sys.argv[2]), int(sys.argv[3])
    x, y = make_data(S, T, np.float64)
    y += 0.0  # every page of the input touched
    qb.whittaker_solve_f64(x[:8], y[:2, :8])  # module, NumPy API and pool set up
    # The peak so far (temporaries of the data set-up) is reset to the current size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = peak()
    z = qb.whittaker_solve_f64(x, y, lam=10.0, d=2)
    after = peak()
    print(json.dumps({"extra": after[0] - before[0] - z.nbytes,
                      "extra_hwm": after[1] - before[1] - z.nbytes, "y_bytes": y.nbytes}))
""")


def memory_extra(S: int, T: int) -> dict:
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(HERE), str(S), str(T)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def fmt_s(v: float | None) -> str:
    if v is None:
        return "—"
    return f"{v * 1e3:,.1f} ms" if v < 10 else f"{v:,.1f} s"


def fmt_tp(points: int, v: float | None) -> str:
    return "—" if v is None else f"{points / v / 1e6:,.1f}"


def targets(cases: dict[str, Case], mem: dict, mem_e: dict) -> list[tuple[str, str, bool]]:
    A, B, C, Dc, E, F = (cases[k] for k in "ABCDEF")
    qa, qbf = A.t(QUELBRIN), B.t(QUELBRIN)
    out = []
    r = qa / A.t("memory floor (numpy.copyto of y_st)")
    s = A.t("Python loop over scipy.linalg.solveh_banded") / qa
    out.append(("1. A <= 3 x memory floor, >= 20 x faster than the scipy loop",
                f"{r:.2f} x floor ({qa / A.t(FRESH_FLOOR):.2f} x the fresh-output floor), "
                f"{s:,.0f} x faster", r <= 3 and s >= 20))
    r = qbf / B.t("memory floor (numpy.copyto of y_st)")
    s = B.t(A_ON_SAME_DATA) / qbf
    out.append(("2. B <= 3 x its float32 floor, >= 1.7 x faster than A (same rounds)",
                f"{r:.2f} x floor ({qbf / B.t(FRESH_FLOOR):.2f} x the fresh-output floor), "
                f"{s:.2f} x faster", r <= 3 and s >= 1.7))
    r = A.t(SERIAL) / qa
    out.append(("3. parallel on vs off >= 1.8 x on A", f"{r:.2f} x", r >= 1.8))
    r = C.t(QUELBRIN) / C.t(A_ON_SAME_DATA)
    out.append(("4. C <= 4.5 x A (same rounds)", f"{r:.2f} x", r <= 4.5))
    r = Dc.t(QUELBRIN) / Dc.t("memory floor (numpy.copyto of y_st)")
    out.append(("5. D <= 4 x its memory floor", f"{r:.2f} x", r <= 4))
    r = qbf / B.t(A_ON_SAME_DATA)
    out.append(("10. float32 single-pass (B) <= 0.75 x float64 on the same data (same rounds)",
                f"{r:.2f} x; {B.refit:.2%} of the series solved again in float64",
                r <= 0.75))
    r = C.t(C32_ON_SAME_DATA) / C.t(QUELBRIN)
    out.append(("11. float32 robust <= float64 robust on case C (same rounds)",
                f"{r:.2f} x; {C.refit:.2%} of the series refitted in float64", r <= 1.0))
    r = E.t("Python loop over scipy.linalg.solveh_banded") / E.t(QUELBRIN)
    out.append(("6. E no slower than one solveh_banded call", f"{r:.2f} x faster", r >= 1))
    r = mem["extra_hwm"] / mem["y_bytes"]
    out.append(("7. extra peak memory of a single-pass call <= size of y_st (A's shape)",
                f"{mem['extra_hwm'] / 2**20:.1f} MiB = {r:.3f} x y_st "
                f"(E's shape: {mem_e['extra_hwm'] / 2**20:.1f} MiB = "
                f"{mem_e['extra_hwm'] / mem_e['y_bytes']:.2f} x)", r <= 1))
    ws = "vam.whittaker ws2d (loop)"
    if F.has(ws):
        r = E.t(QUELBRIN) / F.t(ws)
        out.append(("8. E <= 1.2 x ws2d on its own case (F: one regular series of 1,000,000)",
                    f"{r:.2f} x ({fmt_s(E.t(QUELBRIN))} vs {fmt_s(F.t(ws))})", r <= 1.2))
    irregular = [row for row in E.rows if row.seconds is not None and row.impl not in
                 (QUELBRIN, SERIAL) and not row.impl.startswith(("memory", "fresh"))]
    if irregular:
        best = min(irregular, key=lambda row: row.seconds)
        r = best.seconds / E.t(QUELBRIN)
        out.append(("9. E faster than every peer that handles irregular grids",
                    f"{r:.2f} x faster than the fastest ({best.impl})", r > 1))
    return out


def ratio(case: Case, row: Row) -> str:
    if row.seconds is None or not case.has(row.versus) or row.impl == row.versus:
        return "—"
    return f"{row.seconds / case.t(row.versus):,.2f} x"


def markdown(cases, tgts, reps, load) -> str:
    lines = ["# Benchmark", "",
             f"Machine: {platform.processor() or platform.machine()}, {os.cpu_count()} CPUs, "
             f"load average before/after {load[0]:.2f}/{load[1]:.2f}; Python "
             f"{platform.python_version()}, NumPy {np.__version__}; peers: "
             f"{peer_versions()}. Median of {reps} repetitions (peers and the scipy loop: "
             "3); every ratio within this run. Irregular x unless the case says regular "
             "(spacing 1), about 5 % NaN, lam = 10, d = 2, other arguments at their "
             "defaults. Each peer is checked to solve the same system before it is timed "
             "(bench/peers.py: plain differences with lam / (d!)^2 on a regular grid, "
             "whittaker-eilers' x_input with lam on the normalised positions); \"vs "
             "quelbrin\" is its time over quelbrin's on the same data. Extra peak memory: "
             "VmHWM of a child process, reset through /proc/self/clear_refs after the inputs "
             "exist (its ru_maxrss would carry the parent's peak from the exec).", ""]
    lines += ["| Case | Implementation | Time | M points/s | vs quelbrin | vs floor | Note |",
              "|---|---|---:|---:|---:|---:|---|"]
    for c in cases.values():
        floor = c.t("memory floor (numpy.copyto of y_st)")
        for r in c.rows:
            vs = "—" if r.seconds is None else f"{r.seconds / floor:,.1f} x"
            lines.append(f"| {c.name}: {c.title} | {r.impl} | {fmt_s(r.seconds)} | "
                         f"{fmt_tp(c.points, r.seconds)} | {ratio(c, r)} | {vs} | {r.note} |")
    lines += ["", "Parallel scaling (quelbrin, parallel=False over parallel=True, same rounds; "
              "2 cores; bench/profile.md says where the rest goes):", "",
              "| Case | parallel=True | parallel=False | scaling |", "|---|---:|---:|---:|"]
    for c in cases.values():
        lines.append(f"| {c.name}: {c.title} | {fmt_s(c.t(QUELBRIN))} | {fmt_s(c.t(SERIAL))} "
                     f"| {c.t(SERIAL) / c.t(QUELBRIN):.2f} x |")
    lines += ["", "| Target | Measured | Met |", "|---|---|---|"]
    for t, m, ok in tgts:
        lines.append(f"| {t} | {m} | {'yes' if ok else 'no'} |")
    return "\n".join(lines) + "\n"


def peer_versions() -> str:
    from importlib.metadata import PackageNotFoundError, version
    out = []
    for dist in ("scipy", "vam.whittaker", "whittaker-eilers", "pybaselines"):
        try:
            out.append(f"{dist} {version(dist)}")
        except PackageNotFoundError:
            out.append(f"{dist} not installed")
    return ", ".join(out)


def plot(cases: dict[str, Case], path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = ["memory floor (numpy.copyto of y_st)", QUELBRIN, SERIAL,
            "Python loop over scipy.linalg.solveh_banded"] + [p.name for p in peers.PEERS]
    keys = [k for k in keys if any(c.has(k) for c in cases.values())]
    fig, ax = plt.subplots(figsize=(14, 7))
    width = 0.85 / len(keys)
    cmap = plt.get_cmap("tab20")
    for n, key in enumerate(keys):
        vals = [c.points / c.t(key) / 1e6 if c.has(key) else 0 for c in cases.values()]
        xs = np.arange(len(cases)) + (n - (len(keys) - 1) / 2) * width
        ax.bar(xs, vals, width, label=key.replace("memory floor (numpy.copyto of y_st)",
                                                   "memory floor"), color=cmap(n))
        if key not in (QUELBRIN, "memory floor (numpy.copyto of y_st)"):
            for xpos, c in zip(xs, cases.values()):
                row = next((r for r in c.rows if r.impl == key), None)
                if row is not None and row.seconds is not None and c.has(row.versus):
                    ax.text(xpos, c.points / row.seconds / 1e6,
                            f"{row.seconds / c.t(row.versus):.1f}",
                            ha="center", va="bottom", fontsize=6, rotation=90)
    ax.set_xticks(np.arange(len(cases)), [f"{c.name}: {c.title}" for c in cases.values()],
                  fontsize=7)
    ax.set_yscale("log")
    ax.set_ylabel("million points per second (log)")
    ax.set_title("quelbrin and the other Whittaker smoothers, one run "
                 "(numbers: time / quelbrin's time; missing bar: does not fit)")
    ax.legend(fontsize=7, ncol=4, loc="upper center", bbox_to_anchor=(0.5, -0.08))
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--quick", action="store_true", help="3 repetitions")
    ap.add_argument("--no-write", action="store_true", help="print only")
    ap.add_argument("--cases", help="comma-separated case names (prints only)")
    args = ap.parse_args()
    reps = 3 if args.quick else args.reps
    load0 = os.getloadavg()[0]
    cases = {}
    specs = [
        ("R", "S=10,000 T=365 f64 regular", "whittaker_solve_f64", 10_000, 365, np.float64,
         2_000, True),
        ("A", "S=10,000 T=1,000 f64", "whittaker_solve_f64", 10_000, 1_000, np.float64, 2_000,
         False),
        ("B", "S=10,000 T=1,000 f32", "whittaker_solve_f32", 10_000, 1_000, np.float32, 0,
         False),
        ("C", "robust f64, 3 iterations", "robust_whittaker_irls_f64", 10_000, 1_000,
         np.float64, 1_000, False),
        ("D", "S=1,000,000 T=24 f64", "whittaker_solve_f64", 1_000_000, 24, np.float64,
         20_000, False),
        ("E", "S=1 T=1,000,000 f64", "whittaker_solve_f64", 1, 1_000_000, np.float64, 1,
         False),
        ("F", "S=1 T=1,000,000 f64 regular (ws2d's case)", "whittaker_solve_f64", 1,
         1_000_000, np.float64, 1, True),
    ]
    only = set(args.cases.split(",")) if args.cases else None
    for name, title, fn, S, T, dt, ns, regular in specs:
        if only and name not in only:
            continue
        cases[name] = bench_case(name, title, fn, S, T, dt, reps, ns,
                                 robust=fn.startswith("robust"), regular=regular)
        print(f"case {name} done", file=sys.stderr)
    if only:  # a partial run: print only
        print(markdown(cases, [], reps, (load0, os.getloadavg()[0])))
        return
    mem = memory_extra(10_000, 1_000)
    mem_e = memory_extra(1, 1_000_000)
    tgts = targets(cases, mem, mem_e)
    text = markdown(cases, tgts, reps, (load0, os.getloadavg()[0]))
    print(text)
    if not args.no_write:
        (HERE / "results.md").write_text(text)
        plot(cases, HERE / "results.png")


if __name__ == "__main__":
    main()
