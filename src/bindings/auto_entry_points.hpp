// The functions of the second module, _quelbrin_auto (wrapped by quelbrin_auto.py), in the
// fast-call-with-keywords convention of the first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelbrin::bindings {

// smooth_f64 / smooth_f32: return (z, stats, leverage, se), stats a (5, S) float64 array
// (rows lam, edf, score, sigma, at_bound as 0/1); leverage and se None unless asked for.
PyObject* smooth_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept;
PyObject* smooth_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept;

}  // namespace quelbrin::bindings
