// How failures reach Python: error values become ValueError, internal failures become
// PanicException, and a Python exception that is already set travels up to the call
// frame as the C++ exception PythonErrorSet.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "support/result.hpp"

namespace quelbrin::bindings {

// Thrown once a Python exception is set; the call frame returns null with it in place.
struct PythonErrorSet {};

// The text of a panic that carried no message of its own (a foreign C++ exception).
inline constexpr std::string_view kGenericPanicText =
    "native code panicked with a payload that is not a message";

// Unwinds with the interpreter's current exception.  If the interpreter signalled failure
// without setting one, the exception becomes SystemError "attempted to fetch exception but
// none was set", so the caller always sees a real exception.
[[noreturn]] void throw_python_error();

// Sets `type` with `message` (UTF-8) and unwinds.
[[noreturn]] void throw_new_error(PyObject* type, std::string_view message);

// An error value from the numerical code: ValueError with exactly its text.
[[noreturn]] void throw_value_error(const Error& e);

// MemoryError, as for any allocation that cannot be satisfied.
[[noreturn]] void throw_memory_error();

// Sets MemoryError with a message saying what failed (a bare MemoryError tells a caller
// nothing).  Never throws: if even the message cannot be made, the interpreter's own
// MemoryError is set.
void set_memory_error() noexcept;

// The PanicException type, created on first need and kept for the life of the process.
// Returns a borrowed reference, or null with a Python exception set.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception.  Never throws: if the exception
// cannot be made, whatever failed (usually MemoryError) is set instead.
void set_panic_exception(std::string_view message) noexcept;

}  // namespace quelbrin::bindings
