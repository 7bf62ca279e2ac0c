// The second module's entry: PyInit__quelbrin_auto, its function table and docstrings.
// quelbrin_auto.py wraps these functions and names their results.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "bindings/auto_entry_points.hpp"
#include "bindings/call.hpp"
#include "bindings/envelope_entry_points.hpp"
#include "bindings/interpreter.hpp"

namespace {

using namespace quelbrin::bindings;

constexpr const char* kSmoothF64Doc =
    R"doc(smooth_f64(x, y_st, w_base_st=None, lam="gcv", d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False)
--

Whittaker smoother with lam chosen per series (float64); see quelbrin_auto.smooth_f64.

Returns (z, stats, leverage, se): stats is a (5, S) float64 array with the rows lam, edf,
score, sigma and at_bound (0 or 1); leverage and se are None unless return_uncertainty.)doc";

constexpr const char* kSmoothF32Doc =
    R"doc(smooth_f32(x, y_st, w_base_st=None, lam="gcv", d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False)
--

Whittaker smoother with lam chosen per series (float32 data, float32 lam values);
see quelbrin_auto.smooth_f32.

Returns (z, stats, leverage, se) as smooth_f64 does.)doc";

constexpr const char* kEnvelopeF64Doc =
    R"doc(envelope_f64(x, y_st, w_base_st=None, p=0.9, lam="vcurve", iterations=10, d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False)
--

Asymmetric Whittaker smoother (upper envelope for p > 0.5, baseline for p < 0.5) with lam
chosen per series at every fit (float64); see quelbrin_auto.envelope_f64.

Returns (z, stats, leverage, se, weights) as smooth_f64 does, plus the (S, T) weights of
every series' last fit.)doc";

constexpr const char* kEnvelopeF32Doc =
    R"doc(envelope_f32(x, y_st, w_base_st=None, p=0.9, lam="vcurve", iterations=10, d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False)
--

Asymmetric Whittaker smoother with lam chosen per series at every fit (float32 data,
float32 lam values); see quelbrin_auto.envelope_f32.)doc";

constexpr const char* kSmoothRobustF64Doc =
    R"doc(smooth_robust_f64(x, y_st, w_base_st=None, lam="gcv", d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False, robust=None, iterations=5, tuning=None, scale="mad")
--

smooth_f64 with an optional robust weighting re-applied after every fit, lam re-chosen
per series at every fit; see quelbrin_auto.smooth_f64.

Returns (z, stats, leverage, se, weights); weights is None without robust.)doc";

constexpr const char* kSmoothRobustF32Doc =
    R"doc(smooth_robust_f32(x, y_st, w_base_st=None, lam="gcv", d=2, ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False, robust=None, iterations=5, tuning=None, scale="mad")
--

smooth_f32 with an optional robust weighting; see quelbrin_auto.smooth_f32.)doc";

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"smooth_f64", as_cfunction(&smooth_f64), kFlags, kSmoothF64Doc},
    {"smooth_f32", as_cfunction(&smooth_f32), kFlags, kSmoothF32Doc},
    {"envelope_f64", as_cfunction(&envelope_f64), kFlags, kEnvelopeF64Doc},
    {"envelope_f32", as_cfunction(&envelope_f32), kFlags, kEnvelopeF32Doc},
    {"smooth_robust_f64", as_cfunction(&smooth_robust_f64), kFlags, kSmoothRobustF64Doc},
    {"smooth_robust_f32", as_cfunction(&smooth_robust_f32), kFlags, kSmoothRobustF32Doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_quelbrin_auto", "", 0, g_methods, nullptr, nullptr, nullptr, nullptr,
};

// As for quelbrin itself: the module's state (the NumPy API table, the cached module)
// belongs to the interpreter that first imported it.
std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

PyObject* init_module() {
    claim_interpreter(g_owner_interpreter, "_quelbrin_auto");
    if (g_module != nullptr) return Py_NewRef(g_module);
    g_module = checked(PyModule_Create2(&g_module_def, PYTHON_API_VERSION)).release();
    return Py_NewRef(g_module);
}

}  // namespace

PyMODINIT_FUNC PyInit__quelbrin_auto(void) {
    return call_frame([]() -> PyObject* { return init_module(); });
}
