// The six module functions, in the fast-call-with-keywords convention.  Each binds and
// converts its arguments, calls its core and returns the result, all inside the call frame.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quelbrin::bindings {

PyObject* build_pb_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept;
PyObject* build_pb_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept;
PyObject* whittaker_solve_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) noexcept;
PyObject* whittaker_solve_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) noexcept;
PyObject* robust_whittaker_irls_f64(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) noexcept;
PyObject* robust_whittaker_irls_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                    PyObject* kwnames) noexcept;

}  // namespace quelbrin::bindings
