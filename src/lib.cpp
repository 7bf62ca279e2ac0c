// Placeholder module entry: replaced by the module surface.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef quelbrin_def = {PyModuleDef_HEAD_INIT, "quelbrin", "", 0, nullptr};

PyMODINIT_FUNC PyInit_quelbrin(void) { return PyModule_Create(&quelbrin_def); }
