// The module's entry: PyInit_quelbrin, the function table and the docstrings.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/call.hpp"
#include "bindings/entry_points.hpp"
#include "bindings/interpreter.hpp"
#include "support/panic.hpp"

namespace {

using namespace quelbrin::bindings;

// Docstrings of the float64 functions: the signature line, "--", an empty line and the
// text.  The interpreter splits off the signature as __text_signature__.
constexpr const char* kBuildPbDoc =
    R"doc(build_pb_f64(x, d=2, normalize=None, eps=None)
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
    Half-bandwidth, `k = 2*d`.)doc";

constexpr const char* kSolveDoc =
    R"doc(whittaker_solve_f64(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10, normalize="mean", eps=1e-10, parallel=True)
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
z_st : ndarray[float64], shape (S, T))doc";

constexpr const char* kRobustDoc =
    R"doc(robust_whittaker_irls_f64(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1, weighting="tukey", scale="mad", ridge=1e-10, normalize="mean", eps=1e-10, parallel=True, tuning=None, return_weights=False, merge_x_tol=1e-2)
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
or (z_st, w_total_st) if return_weights=True)doc";

// In robust_whittaker_irls_f32 this paragraph replaces the first paragraph of the Notes.
constexpr const char* kRobustF32Notes =
    R"doc(Same API as `robust_whittaker_irls_f64`, but returns float32 output. For highly irregular or
near-duplicate `x`, or when large portions of a series are missing (e.g. long NaN tails), the
internal float32 solve can become ill-conditioned. This function automatically falls back to a
float64 solve when it detects numerical instability (and casts back to float32).)doc";
constexpr std::string_view kRobustF64NotesFirst = "Runs `iterations` steps";
constexpr std::string_view kRobustF64NotesLast = "(weight forced to 0).";

void replace_all(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// The float32 text of a float64 docstring: the name of the function in the signature line
// ends in _f32 and every "float64" reads "float32"; the robust text gets its own first
// Notes paragraph (which itself mentions float64, so it goes in last).
std::string f32_doc(std::string_view f64_doc, bool robust) {
    std::string s(f64_doc);
    const std::size_t name_end = s.find("_f64(");
    QB_ASSERT(name_end != std::string::npos, "docstring without a signature line");
    s.replace(name_end, 4, "_f32");
    replace_all(s, "float64", "float32");
    if (robust) {
        const std::size_t first = s.find(kRobustF64NotesFirst);
        const std::size_t last = s.find(kRobustF64NotesLast, first);
        QB_ASSERT(first != std::string::npos && last != std::string::npos,
                  "robust docstring without its Notes paragraph");
        s.replace(first, last + kRobustF64NotesLast.size() - first, kRobustF32Notes);
    }
    return s;
}

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

// The function table, in the order the functions are added.  Filled at the first import;
// the entries and their docstrings live for the rest of the process.
PyMethodDef g_methods[6];

void fill_methods() {
    static const std::string* docs = new std::string[6]{kBuildPbDoc, f32_doc(kBuildPbDoc, false),
                                                        kSolveDoc,   f32_doc(kSolveDoc, false),
                                                        kRobustDoc,  f32_doc(kRobustDoc, true)};
    g_methods[0] = {"build_pb_f64", as_cfunction(&build_pb_f64), kFlags, docs[0].c_str()};
    g_methods[1] = {"build_pb_f32", as_cfunction(&build_pb_f32), kFlags, docs[1].c_str()};
    g_methods[2] = {"whittaker_solve_f64", as_cfunction(&whittaker_solve_f64), kFlags,
                    docs[2].c_str()};
    g_methods[3] = {"whittaker_solve_f32", as_cfunction(&whittaker_solve_f32), kFlags,
                    docs[3].c_str()};
    g_methods[4] = {"robust_whittaker_irls_f64", as_cfunction(&robust_whittaker_irls_f64), kFlags,
                    docs[4].c_str()};
    g_methods[5] = {"robust_whittaker_irls_f32", as_cfunction(&robust_whittaker_irls_f32), kFlags,
                    docs[5].c_str()};
}

constexpr const char* kModuleDoc =
    R"doc(Whittaker smoothing of many series at once.

Each function comes in a float32 (_f32) and a float64 (_f64) flavour:

build_pb_f64, build_pb_f32
    The penalty band P = D.T @ D of divided differences of order d, alone.
whittaker_solve_f64, whittaker_solve_f32
    The single-pass smoother: (diag(w) + lam * P + ridge * I) z = w * y per series.
robust_whittaker_irls_f64, robust_whittaker_irls_f32
    The robust smoother: iteratively reweighted, outliers down-weighted.

x is one vector of T strictly increasing positions shared by all series, y_st an (S, T)
array with one series per row; non-finite values of y_st are missing. With parallel=True
the series run on a pool of worker threads; results are the same bits either way.

The module quelbrin_auto (same package) chooses lam per series and releases the GIL while
it computes.)doc";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quelbrin", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; the module's state (its cached module
// object and everything it hands out) belongs to that interpreter alone.
std::atomic<std::int64_t> g_owner_interpreter{-1};
// The module object, created once per process; later imports get the same object.
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
void export_function(PyObject* module, PyObject* function) {
    Ref name = checked(PyObject_GetAttrString(function, "__name__"));
    PyObject* all_raw = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all_raw) < 0) throw_python_error();
    Ref all = Ref::steal(all_raw);
    if (!all) {
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
    }
    if (!PyList_Check(all.get())) throw_new_error(PyExc_TypeError, "`__all__` must be a list");
    if (PyList_Append(all.get(), name.get()) < 0) throw_python_error();
    if (PyObject_SetAttr(module, name.get(), function) < 0) throw_python_error();
}

PyObject* init_module() {
    claim_interpreter(g_owner_interpreter, "quelbrin");
    if (g_module != nullptr) return Py_NewRef(g_module);

    fill_methods();
    Ref module = checked(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    Ref module_name = checked(PyModule_GetNameObject(module.get()));
    for (PyMethodDef& def : g_methods) {
        Ref function = checked(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        export_function(module.get(), function.get());
    }
    g_module = module.release();
    return Py_NewRef(g_module);
}

}  // namespace

PyMODINIT_FUNC PyInit_quelbrin(void) {
    return call_frame([]() -> PyObject* { return init_module(); });
}
