// The second module's entry: PyInit__quelbrin_auto, its function table and docstrings.
// quelbrin_auto.py wraps these functions and names their results.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "bindings/auto_entry_points.hpp"
#include "bindings/call.hpp"
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

template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"smooth_f64", as_cfunction(&smooth_f64), kFlags, kSmoothF64Doc},
    {"smooth_f32", as_cfunction(&smooth_f32), kFlags, kSmoothF32Doc},
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
