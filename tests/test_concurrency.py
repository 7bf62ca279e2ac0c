"""Concurrent callers: Python threads calling at once (some of them failing) get exactly the
serial results with no deadlock, and multiprocessing pools, forked or spawned after the
parent's worker pool exists, run parallel calls in their workers."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelbrin


def job(k):
    """Call number k: a function, data of its own, and whether it is meant to fail."""
    rng = np.random.default_rng(100 + k)
    dt = np.float64 if k % 2 == 0 else np.float32
    suffix = "_f64" if dt == np.float64 else "_f32"
    T = 30 + k % 7
    x = np.cumsum(rng.uniform(0.3, 2.0, T)).astype(dt)
    y = (np.cos(x / 5)[None, :] + rng.normal(0, 0.3, (6 + k % 5, T))).astype(dt)
    y[:, k % T] += 20
    kind = k % 4
    if kind == 0:
        return getattr(quelbrin, "whittaker_solve" + suffix), (x, y), {"lam": 1.0 + k}
    if kind == 1:
        return (getattr(quelbrin, "robust_whittaker_irls" + suffix), (x, y),
                {"iterations": 3 + k % 3, "weighting": ["tukey", "huber", "hampel"][k % 3],
                 "return_weights": True})
    if kind == 2:  # fails in validation, after its arrays were borrowed
        return getattr(quelbrin, "robust_whittaker_irls" + suffix), (x, y), {"weighting": "no"}
    return getattr(quelbrin, "whittaker_solve" + suffix), (x[::-1].copy(), y), {}  # fails


def outcome(k):
    f, args, kwargs = job(k)
    try:
        r = f(*args, **kwargs)
    except ValueError as e:
        return ("ValueError", str(e))
    parts = r if isinstance(r, tuple) else (r,)
    return tuple(p.tobytes() for p in parts)


def run_child(code, timeout=300):
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                       text=True, timeout=timeout, cwd=__file__.rsplit("/", 1)[0])
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def test_threads_match_serial_results():
    # In a child, so that a deadlock fails by timeout instead of hanging the suite.
    out = run_child("""
        import threading
        from test_concurrency import outcome
        N = 64
        serial = [outcome(k) for k in range(N)]
        assert sum(o[0] == "ValueError" for o in serial) == N // 2
        got = [None] * N
        start = threading.Barrier(8)
        def worker(t):
            start.wait()
            for rnd in range(3):
                for k in range(t, N, 8):
                    r = outcome(k)
                    assert got[k] in (None, r)
                    got[k] = r
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(120)
        assert not any(th.is_alive() for th in threads), "deadlock"
        assert got == serial
        print("ok")
    """)
    assert out == ["ok"]


def pool_outcomes(ks):
    return [outcome(k) for k in ks]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")  # the point here
@pytest.mark.parametrize("method", [
    # GCC 12's ASan allocator takes no locks around fork(), so a child forked while a
    # worker thread is inside malloc or free can wait on that lock forever.
    pytest.param("fork", marks=pytest.mark.skipif(os.environ.get("QUELBRIN_SANITIZED") == "1",
                                                  reason="ASan's allocator is not fork-safe")),
    "spawn"])
def test_process_pool_after_the_parent_pool_exists(method):
    # The parent's own worker threads exist before the processes are made; a forked child
    # has none of them and must build its own on its first parallel call.
    expected = [outcome(k) for k in range(16)]
    ctx = multiprocessing.get_context(method)
    with ctx.Pool(2) as pool:
        got = pool.map_async(pool_outcomes, [range(0, 8), range(8, 16)]).get(timeout=240)
    assert got[0] + got[1] == expected


class Reentrant:
    """A number whose conversion itself runs parallel calls of the module."""

    def __init__(self, value, k):
        self.value, self.k, self.seen = value, k, []

    def __float__(self):
        self.seen.append(outcome(self.k))
        return float(self.value)

    def __index__(self):
        self.seen.append(outcome(self.k))
        return int(self.value)


def test_calls_made_while_arguments_are_converted():
    x = np.cumsum(np.linspace(0.5, 1.5, 25))
    y = np.sin(x)[None, :] + np.linspace(0, 1, 4)[:, None]
    lam, d, it = Reentrant(3.0, 1), Reentrant(2, 0), Reentrant(4, 5)
    got = quelbrin.robust_whittaker_irls_f64(x, y, lam=lam, d=d, iterations=it,
                                             return_weights=True)
    want = quelbrin.robust_whittaker_irls_f64(x, y, lam=3.0, d=2, iterations=4,
                                              return_weights=True)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(got, want))
    for obj in (lam, d, it):
        assert obj.seen == [outcome(obj.k)]
