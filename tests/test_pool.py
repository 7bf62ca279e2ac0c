"""The worker pool as a process sees it: its size, when its threads start, that results do
not depend on it, how creation fails, and fork().

Every case runs in a fresh interpreter (the pool is created once per process) with a
timeout, and counts threads through /proc/self/task."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task"
)

TIMEOUT = 60

# Common start of every child: a thread counter and a small problem.  The child pins
# itself to at most two CPUs so the "available CPUs" are known before the pool exists.
PRELUDE = """
import os, sys, threading, time
import numpy as np
import quelbrin

PIN = int(os.environ.get("QB_TEST_PIN", "0"))
if PIN:
    os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:PIN])

def tasks():
    return len(os.listdir("/proc/self/task"))

def settle(expected, seconds=5.0):
    end = time.monotonic() + seconds
    while tasks() != expected and time.monotonic() < end:
        time.sleep(0.02)
    return tasks()

rng = np.random.default_rng(7)
x = np.cumsum(rng.uniform(0.5, 1.5, 40))
y = rng.standard_normal((9, 40))
y[2, 5] = np.nan
"""

RAYON_VARS = ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "QUELBRIN_STACK_SIZE")


def run_child(body, env=None, pin=2):
    full_env = {k: v for k, v in os.environ.items() if k not in RAYON_VARS}
    full_env.update(OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", QB_TEST_PIN=str(pin))
    full_env.update(env or {})
    code = PRELUDE + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.split()


FIRST_CALL_THREADS = """
before = tasks()
quelbrin.whittaker_solve_f64(x, y, parallel=True)
print(tasks() - before)
"""


def pool_size(env, pin=2):
    return int(run_child(FIRST_CALL_THREADS, env, pin)[0])


@pytest.fixture(scope="module")
def cpus():
    """Threads of a pool sized from the CPUs alone (pinned to at most two)."""
    n = pool_size({})
    assert 1 <= n <= min(2, len(os.sched_getaffinity(0)))
    return n


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+3"}, 3),
        ({"RAYON_NUM_THREADS": "0004", "RAYON_RS_NUM_CPUS": "5"}, 4),
        ({"RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "4"}, 4),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4"}, 4),
    ],
)
def test_pool_size_from_environment(env, expected):
    assert pool_size(env) == expected


@pytest.mark.parametrize(
    "env",
    [
        {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},
        {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "x"},
        {"RAYON_RS_NUM_CPUS": "0"},
        {"RAYON_NUM_THREADS": "99999999999999999999"},
    ],
)
def test_pool_size_falls_back_to_cpus(env, cpus):
    assert pool_size(env) == cpus


def test_affinity_limits_the_pool():
    assert pool_size({}, pin=1) == 1


def test_threads_start_only_at_the_first_parallel_section():
    out = run_child(
        """
        start = tasks()
        quelbrin.whittaker_solve_f64(x, y, parallel=False)
        quelbrin.whittaker_solve_f64(x, y[:1], parallel=True)
        quelbrin.whittaker_solve_f64(x, y[:0], parallel=True)
        quelbrin.robust_whittaker_irls_f64(x, y, parallel=False)
        print(tasks() - start)
        quelbrin.whittaker_solve_f64(x, y[:2], parallel=True)
        print(tasks() - start)
        os.environ["RAYON_NUM_THREADS"] = "5"  # read only at creation
        quelbrin.whittaker_solve_f64(x, y, parallel=True)
        quelbrin.robust_whittaker_irls_f64(x, y, parallel=True)
        print(tasks() - start)
        """,
        {"RAYON_NUM_THREADS": "3"},
    )
    assert out == ["0", "3", "3"]


def test_idle_workers_sleep():
    out = run_child(
        """
        quelbrin.whittaker_solve_f64(x, y, parallel=True)
        me = str(threading.get_native_id())
        end = time.monotonic() + 5
        while True:
            states = []
            for t in os.listdir("/proc/self/task"):
                if t == me:
                    continue
                stat = open(f"/proc/self/task/{t}/stat").read()
                states.append(stat[stat.rindex(")") + 2])
            if all(s == "S" for s in states) or time.monotonic() > end:
                break
            time.sleep(0.05)
        print(len(states), "".join(states))
        """,
        {"RAYON_NUM_THREADS": "3"},
    )
    assert out == ["3", "SSS"]


RESULTS = """
import hashlib
w = rng.uniform(0.0, 2.0, y.shape)
spiky = y.copy(); spiky[::3, ::7] += 25.0
digest = hashlib.sha256()
for parallel in (True, False):
    for S in (2, 3, 9):
        for flavour in (np.float64, np.float32):
            xs, ys, ws = x.astype(flavour), y[:S].astype(flavour), w[:S].astype(flavour)
            f = quelbrin.whittaker_solve_f64 if flavour is np.float64 else quelbrin.whittaker_solve_f32
            r = quelbrin.robust_whittaker_irls_f64 if flavour is np.float64 else quelbrin.robust_whittaker_irls_f32
            parts = [
                f(xs, ys, parallel=parallel),
                f(xs, ys, ws, lam=3.0, d=3, parallel=parallel),
                *r(xs, spiky[:S].astype(flavour), iterations=3, return_weights=True, parallel=parallel),
            ]
            for p in parts:
                digest.update(np.ascontiguousarray(p).tobytes())
    print(digest.hexdigest())
    digest = hashlib.sha256()
"""


def test_results_identical_for_any_pool_size_and_serial():
    digests = {n: run_child(RESULTS, {"RAYON_NUM_THREADS": str(n)}) for n in (1, 2, 3)}
    parallel = {d[0] for d in digests.values()}
    serial = {d[1] for d in digests.values()}
    assert len(parallel) == 1
    assert parallel == serial


FAILURE = """
import json

def attempt(f, *args, **kw):
    try:
        out = f(*args, **kw)
    except BaseException as e:
        return f"{type(e).__module__}.{type(e).__name__}: {e}"
    return [np.ascontiguousarray(a).tobytes().hex() for a in (out if isinstance(out, tuple) else (out,))]

calls = [
    (quelbrin.whittaker_solve_f64, (x, y), {}),
    (quelbrin.whittaker_solve_f32, (x.astype(np.float32), y.astype(np.float32)), {"d": 3}),
    (quelbrin.robust_whittaker_irls_f64, (x, y), {"iterations": 3, "return_weights": True}),
]
base = tasks()
serial = [attempt(f, *a, parallel=False, **kw) for f, a, kw in calls]
# The pool cannot be created: each parallel call runs its series here, and tries again.
failing = [attempt(f, *a, parallel=True, **kw) for _ in range(3) for f, a, kw in calls]
left = settle(base)
# The cause goes away: the next parallel call creates the pool.
del os.environ["QUELBRIN_STACK_SIZE"]
healed = [attempt(f, *a, parallel=True, **kw) for f, a, kw in calls]
print(json.dumps([failing == serial * 3, healed == serial, left - base, tasks() - base,
                  isinstance(serial[0], list)]))
"""


@pytest.mark.parametrize("stack", ["1", str(1 << 60)])
def test_creation_failure_falls_back_to_serial_and_is_retried(stack):
    same_when_failing, same_when_healed, left, grown, ok = json.loads(
        " ".join(run_child(FAILURE, {"QUELBRIN_STACK_SIZE": stack, "RAYON_NUM_THREADS": "3"})))
    assert ok
    assert same_when_failing  # no PanicException, the serial bits
    assert left == 0  # no thread of a failed attempt lingers
    assert same_when_healed and grown == 3


# GCC 12's ASan allocator takes no locks around fork(): a child forked while a worker
# thread is inside malloc or free can wait on that lock forever.
@pytest.mark.skipif(os.environ.get("QUELBRIN_SANITIZED") == "1",
                    reason="ASan's allocator is not fork-safe")
def test_forked_child_builds_its_own_pool():
    out = run_child(
        """
        import signal, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        parent = quelbrin.whittaker_solve_f64(x, y, parallel=True)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)  # a hang ends the child instead of the test
            os.close(r)
            before = tasks()
            child = quelbrin.whittaker_solve_f64(x, y, parallel=True)
            grown = tasks() - before
            again = quelbrin.whittaker_solve_f64(x, y, parallel=True)
            same = np.array_equal(child, parent, equal_nan=True) and np.array_equal(again, parent, equal_nan=True)
            os.write(w, f"{before} {grown} {int(same)}".encode())
            os._exit(0)
        os.close(w)
        _, status = os.waitpid(pid, 0)
        print(os.read(r, 100).decode(), os.waitstatus_to_exitcode(status))
        """,
        {"RAYON_NUM_THREADS": "2"},
    )
    assert out == ["1", "2", "1", "0"]
