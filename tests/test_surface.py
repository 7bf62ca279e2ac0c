"""What Python sees: the module's attributes, the function texts, argument binding, scalar
conversion with its messages, and the panic exception."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quelbrin

NAMES = ["build_pb_f64", "build_pb_f32", "whittaker_solve_f64", "whittaker_solve_f32",
         "robust_whittaker_irls_f64", "robust_whittaker_irls_f32"]

BUILD_PB_F64 = r"""build_pb_f64(x, d=2, normalize=None, eps=None)
--

Build the lower-banded penalty matrix `Pb` for divided differences (`P = D.T @ D`).

Parameters
----------
x : ndarray[float64], shape (T,)
    Strictly increasing sampling positions.
d : int, default=2
    Divided-difference order. The penalty bandwidth is `k = 2*d`.
normalize : {"mean","median"} or None, optional
    Optionally normalize `x` to ~unit spacing before building `Pb`.
eps : float, optional
    Small floor to avoid division by zero in divided differences.

Returns
-------
pb : ndarray[float64], shape (k+1, T)
    Lower band of `P` stored as `pb[j, i] = P[i, i-j]`.
k : int
    Half-bandwidth, `k = 2*d`."""

SOLVE_F64 = r"""whittaker_solve_f64(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10, normalize="mean", eps=1e-10, parallel=True)
--

Solve a single-pass (non-robust) Whittaker smoother for each series.

Notes
-----
Solves, per series, the linear system:
`(diag(w) + lam * D.T @ D + ridge * I) z = w * y`.

Non-finite values in `y_st` (NaN, +inf, -inf) are treated as missing (weight forced to 0).

Parameters
----------
x : ndarray[float64], shape (T,)
y_st : ndarray[float64], shape (S, T)
w_base_st : ndarray[float64], shape (S, T) or None, optional
lam : float, default=10.0
d : int, default=2
ridge : float, default=1e-10
normalize : {"mean","median"} or None, default="mean"
eps : float, default=1e-10
parallel : bool, default=True

Returns
-------
z_st : ndarray[float64], shape (S, T)"""

ROBUST_F64 = r"""robust_whittaker_irls_f64(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting="tukey", scale="mad", ridge=1e-10, normalize="mean", eps=1e-10, parallel=True, tuning=None, return_weights=False, merge_x_tol=1e-2)
--

Robust Whittaker smoother via IRLS (float64).

Notes
-----
Runs `iterations` steps of IRLS to down-weight outliers using the chosen `weighting`
function and scale estimator (`scale="mad"` or `"huber"`).

Non-finite values in `y_st` (NaN, +inf, -inf) are treated as missing (weight forced to 0).

If `merge_x_tol > 0`, adjacent `x` values within that spacing are merged (in input-x units)
using a base-weighted mean of observations. The solve runs on the compressed grid and the
output is expanded back to the original `(S, T)` shape.

Parameters
----------
x : ndarray[float64], shape (T,)
y_st : ndarray[float64], shape (S, T)
w_base_st : ndarray[float64], shape (S, T) or None, optional
lam : float, default=10.0
d : int, default=2
iterations : int, default=1
weighting : {"tukey","huber","cauchy","welsch","fair","hampel"}, default="tukey"
scale : {"mad","huber"}, default="mad"
ridge : float, default=1e-10
normalize : {"mean","median"} or None, default="mean"
eps : float, default=1e-10
parallel : bool, default=True
tuning : tuple or None, optional
return_weights : bool, default=False
merge_x_tol : float or None, default=1e-2
    Merge adjacent `x` points when `x[i+1]-x[i] <= merge_x_tol`. Set to `None` (or `0.0`) to disable.

Returns
-------
z_st : ndarray[float64], shape (S, T)
or (z_st, w_total_st) if return_weights=True"""

ROBUST_F32_NOTES = r"""Same API as `robust_whittaker_irls_f64`, but returns float32 output. For highly irregular or
near-duplicate `x`, or when large portions of a series are missing (e.g. long NaN tails), the
internal float32 solve can become ill-conditioned. This function automatically falls back to a
float64 solve when it detects numerical instability (and casts back to float32)."""

ROBUST_F64_NOTES = ROBUST_F64[ROBUST_F64.index("Runs `iterations`"):
                              ROBUST_F64.index("(weight forced to 0).") + 21]


def as_f32(text):
    name, rest = text.split("(", 1)
    return name.replace("_f64", "_f32") + "(" + rest.replace("float64", "float32")


FULL_DOCS = {
    "build_pb_f64": BUILD_PB_F64,
    "build_pb_f32": as_f32(BUILD_PB_F64),
    "whittaker_solve_f64": SOLVE_F64,
    "whittaker_solve_f32": as_f32(SOLVE_F64),
    "robust_whittaker_irls_f64": ROBUST_F64,
    "robust_whittaker_irls_f32": as_f32(ROBUST_F64).replace(ROBUST_F64_NOTES, ROBUST_F32_NOTES),
}

PARAMS = {
    "build_pb": ["x", "d", "normalize", "eps"],
    "whittaker_solve": ["x", "y_st", "w_base_st", "lam", "d", "ridge", "normalize", "eps",
                        "parallel"],
    "robust_whittaker_irls": ["x", "y_st", "w_base_st", "lam", "d", "iterations", "weighting",
                              "scale", "ridge", "normalize", "eps", "parallel", "tuning",
                              "return_weights", "merge_x_tol"],
}


def family(name):
    return name.rsplit("_", 1)[0]


def valid_args(name):
    """x and, where the function needs it, y_st."""
    x = np.arange(6, dtype=np.float32 if name.endswith("_f32") else np.float64)
    return [x] if family(name) == "build_pb" else [x, np.ones((2, 6), x.dtype)]


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


# --- the module -----------------------------------------------------------------------


def test_module_attributes():
    assert quelbrin.__all__ == NAMES
    assert sorted(n for n in vars(quelbrin) if not n.startswith("__")) == sorted(NAMES)
    for name in NAMES:
        f = getattr(quelbrin, name)
        assert type(f).__name__ == "builtin_function_or_method" and f.__name__ == name
        assert f.__module__ == "quelbrin" and f.__self__ is quelbrin


def test_module_docstrings_and_version():
    import pathlib
    import tomllib

    import quelbrin_auto

    # Every function is introduced by the module's docstring (its only non-dunder content).
    assert quelbrin.__doc__.startswith("Whittaker smoothing of many series at once.")
    assert all(name in quelbrin.__doc__ for name in NAMES)
    assert "lam" in quelbrin_auto.__doc__ and "smooth_f64" in quelbrin_auto.__doc__
    pyproject = pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml"
    version = tomllib.loads(pyproject.read_text())["project"]["version"]
    assert quelbrin_auto.__version__ == version
    assert "__version__" not in vars(quelbrin)  # quelbrin keeps exactly its attribute set


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("quelbrin")
    try:
        again = importlib.import_module("quelbrin")
    finally:
        sys.modules["quelbrin"] = first
    assert again is first


def test_subinterpreter_import_is_refused():
    r = run_python("""
        import _interpreters, quelbrin
        interp = _interpreters.create("legacy")
        failure = _interpreters.exec(interp, "import quelbrin")
        _interpreters.destroy(interp)
        print(failure.type.__name__)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError"


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_docstring(name):
    f = getattr(quelbrin, name)
    head, doc = FULL_DOCS[name].split("\n--\n\n", 1)
    assert f.__text_signature__ == head[len(name):]
    assert f.__doc__ == doc
    assert list(inspect.signature(f).parameters) == PARAMS[family(name)]
    if name.endswith("_f32"):
        assert "float64" not in doc.replace(ROBUST_F32_NOTES, "")


# --- binding --------------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_binding_messages(name):
    f = getattr(quelbrin, name)
    params = PARAMS[family(name)]
    P, R = len(params), 1 if family(name) == "build_pb" else 2
    args = valid_args(name)
    cases = [
        ((*args, *[None] * (P + 1 - len(args))), {"bogus": 1},  # count before keywords
         f"takes from {R} to {P} positional arguments but {P + 1} were given"),
        (args, {"bogus": 1}, "got an unexpected keyword argument 'bogus'"),
        (args, {"x": args[0]}, "got multiple values for argument 'x'"),
        ((), {}, "missing 1 required positional argument: 'x'" if R == 1
         else "missing 2 required positional arguments: 'x' and 'y_st'"),
        ((), {params[1]: args[-1]}, "missing 1 required positional argument: 'x'"),
    ]
    for a, kw, message in cases:
        with pytest.raises(TypeError) as e:
            f(*a, **kw)
        assert str(e.value) == f"{name}() {message}"


# --- scalar conversion ----------------------------------------------------------------

CAST = "'{}' object cannot be cast as '{}'"
SCALAR_CASES = [
    ("whittaker_solve", "parallel", 1, TypeError, CAST.format("int", "bool")),
    ("whittaker_solve", "parallel", None, TypeError, CAST.format("NoneType", "bool")),
    ("robust_whittaker_irls", "return_weights", 1, TypeError, CAST.format("int", "bool")),
    ("whittaker_solve", "d", 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("build_pb", "d", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ("whittaker_solve", "lam", "5", TypeError, "must be real number, not str"),
    ("robust_whittaker_irls", "merge_x_tol", "a", TypeError, "must be real number, not str"),
    ("build_pb", "normalize", 1, TypeError, CAST.format("int", "str")),
    ("robust_whittaker_irls", "weighting", None, TypeError, CAST.format("NoneType", "str")),
    ("robust_whittaker_irls", "tuning", [1.0, 2.0, 3.0], TypeError, CAST.format("list", "tuple")),
    ("robust_whittaker_irls", "tuning", (1.0, "b", 3.0), TypeError, "must be real number, not str"),
    # Not TypeErrors, so no argument prefix:
    ("robust_whittaker_irls", "tuning", (1.0, 2.0), ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    ("whittaker_solve", "d", -1, OverflowError, "can't convert negative int to unsigned"),
    ("build_pb", "d", 2**64, OverflowError, "int too big to convert"),
    ("build_pb", "normalize", "\ud800", UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
]


@pytest.mark.parametrize("fam,key,value,exc,message", SCALAR_CASES)
@pytest.mark.parametrize("suffix", ["_f64", "_f32"])
def test_conversion_messages(fam, key, value, exc, message, suffix):
    name = fam + suffix
    with pytest.raises(exc) as e:
        getattr(quelbrin, name)(*valid_args(name), **{key: value})
    assert type(e.value) is exc
    assert str(e.value) == (f"argument '{key}': " if exc is TypeError else "") + message


def test_prefix_keeps_the_cause_and_only_touches_exact_type_errors():
    class SubTypeError(TypeError):
        pass

    class BadIndex:
        def __init__(self, error):
            self.error = error

        def __index__(self):
            raise self.error from KeyError("inner")

    x = np.arange(4.0)
    with pytest.raises(TypeError) as e:
        quelbrin.build_pb_f64(x, d=BadIndex(TypeError("no index here")))
    assert str(e.value) == "argument 'd': no index here"
    assert isinstance(e.value.__cause__, KeyError)
    with pytest.raises(SubTypeError, match="^left alone$"):
        quelbrin.build_pb_f64(x, d=BadIndex(SubTypeError("left alone")))


def test_slots_convert_in_order_and_x_layout_comes_last():
    x, y = np.arange(5.0), np.ones((1, 5))
    with pytest.raises(TypeError, match="^argument 'lam'"):
        quelbrin.whittaker_solve_f64(x, y, parallel=1, lam="a", d=-1)
    with pytest.raises(OverflowError):
        quelbrin.whittaker_solve_f64(x, y, parallel=1, d=-1)
    with pytest.raises(TypeError, match="^argument 'parallel'"):
        quelbrin.whittaker_solve_f64(np.arange(10.0)[::2], y, parallel=1)


class _FakeBool:
    """Named like NumPy's bool scalar but without a truth conversion."""


_FakeBool.__module__, _FakeBool.__name__ = "numpy", "bool_"


def test_accepted_scalar_forms():
    class Index:
        def __index__(self):
            return 3

    class Mode(str):
        pass

    x, y = np.arange(6.0), np.ones((2, 6))
    for d in (3, Index(), np.uint8(3)):
        assert quelbrin.build_pb_f64(x, d=d)[1] == 6
    assert quelbrin.build_pb_f64(x, d=True)[1] == 2
    ref = quelbrin.build_pb_f64(x, normalize="median")[0]
    for kw in ({"normalize": Mode("median")}, {"normalize": "median", "eps": np.float32(1e-12)}):
        np.testing.assert_array_equal(quelbrin.build_pb_f64(x, **kw)[0], ref)
    z = quelbrin.whittaker_solve_f64(x, y)
    for flag in (np.True_, np.False_):
        np.testing.assert_array_equal(quelbrin.whittaker_solve_f64(x, y, parallel=flag), z)
    with pytest.raises(TypeError) as e:
        quelbrin.whittaker_solve_f64(x, y, parallel=_FakeBool())
    assert str(e.value) == ("argument 'parallel': object of type "
                            f"'{_FakeBool}' does not define a '__bool__' conversion")


# --- panics ---------------------------------------------------------------------------


def test_panic_when_numpy_is_unavailable_then_recovery():
    r = run_python("""
        import sys
        import quelbrin
        assert "numpy" not in sys.modules, "numpy touched at import"
        sys.modules["numpy"] = None
        caught = []
        for _ in range(2):
            try:
                quelbrin.build_pb_f64([0.0, 1.0])
            except Exception:
                raise SystemExit("caught by except Exception")
            except BaseException as e:
                caught.append(e)
        a, b = caught
        t = type(a)
        assert t is type(b), "PanicException made twice"
        assert (t.__module__, t.__name__, t.__bases__) == ("pyo3_runtime", "PanicException",
                                                           (BaseException,))
        assert "BaseException" in t.__doc__ and "SystemExit" in t.__doc__ and len(a.args) == 1
        print(a.args[0])
        del sys.modules["numpy"]
        import numpy as np
        print(quelbrin.build_pb_f64(np.arange(3.0))[1])
    """)
    assert r.returncode == 0, r.stderr
    message, recovered = r.stdout.strip().split("\n")
    assert message.startswith("Failed to access NumPy array API capsule")
    assert recovered == "4"
    assert r.stderr.count("panicked at") == 2
    assert r.stderr.count("Failed to access NumPy array API capsule") == 2
