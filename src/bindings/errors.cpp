#include "bindings/errors.hpp"

namespace quelbrin::bindings {
namespace {

constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";
constexpr const char* kPanicExceptionDoc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created once; a new type per panic would make `except` clauses unreliable.
PyObject* g_panic_type = nullptr;

}  // namespace

void throw_python_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PythonErrorSet{};
}

void throw_new_error(PyObject* type, std::string_view message) {
    PyObject* text =
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) throw_python_error();
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    throw PythonErrorSet{};
}

void throw_value_error(const Error& e) { throw_new_error(PyExc_ValueError, e.message); }

void set_memory_error() noexcept {
    PyErr_SetString(PyExc_MemoryError, "cannot allocate the memory this call needs");
}

void throw_memory_error() {
    set_memory_error();
    throw PythonErrorSet{};
}

PyObject* panic_exception_type() noexcept {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

void set_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its own failure is already set
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace quelbrin::bindings
