// The second module's smoothers that re-weight between fits (wrapped by quelbrin_auto.py):
// the envelope / baseline smoother and the robust form of smooth_*, in the
// fast-call-with-keywords convention of the others.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelbrin::bindings {

// envelope_f64 / envelope_f32: return (z, stats, leverage, se, weights) as smooth_* does,
// plus weights, the (S, T) weights of every series' last fit.
PyObject* envelope_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept;
PyObject* envelope_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept;

// smooth_robust_f64 / smooth_robust_f32: smooth_*'s parameters followed by robust,
// iterations, tuning and scale; robust=None is smooth_* itself (weights None).
PyObject* smooth_robust_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept;
PyObject* smooth_robust_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept;

}  // namespace quelbrin::bindings
