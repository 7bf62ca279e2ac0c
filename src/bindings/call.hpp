// The call frame every module function runs in: argument binding, the conversion of
// scalar arguments, and the catcher that turns C++ failures into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "bindings/errors.hpp"
#include "support/function_ref.hpp"

namespace quelbrin::bindings {

// An owned reference: released on every path, including unwinding.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Takes a new reference returned by the C API; null means a Python exception is set.
inline Ref checked(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return Ref::steal(p);
}

// What binding needs to know about a function: its name, its parameter names in order and
// how many leading parameters are required.  Every parameter is positional-or-keyword.
struct Signature {
    const char* name;
    std::span<const char* const> params;
    std::size_t required;
};

// Fills slots[0 .. params.size()) with borrowed references to the arguments (null for an
// absent one) or raises the binding TypeError.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots);

template <std::size_t P>
struct Slots {
    std::array<PyObject*, P> value{};
    PyObject* operator[](std::size_t i) const { return value[i]; }
    bool present(std::size_t i) const { return value[i] != nullptr; }
    // Present and not None.
    bool given(std::size_t i) const { return value[i] != nullptr && value[i] != Py_None; }
};

template <std::size_t P>
Slots<P> bind_slots(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) {
    Slots<P> s;
    bind(sig, args, nargsf, kwnames, s.value.data());
    return s;
}

// Scalar conversions.  Each raises the conversion error of its kind for argument `name`
// (a TypeError carries the prefix "argument '<name>': ").
std::uint64_t to_u64(PyObject* obj, const char* name);
double to_double(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);
// The UTF-8 contents of a str; valid as long as `obj` lives (the call's arguments do).
std::string_view to_text(PyObject* obj, const char* name);
std::array<double, 3> to_triple(PyObject* obj, const char* name);

// Float arguments are read as double and then rounded to the element type.
template <class F>
F to_float(PyObject* obj, const char* name) {
    return static_cast<F>(to_double(obj, name));
}
template <class F>
std::array<F, 3> to_float_triple(PyObject* obj, const char* name) {
    const std::array<double, 3> t = to_triple(obj, name);
    return {static_cast<F>(t[0]), static_cast<F>(t[1]), static_cast<F>(t[2])};
}

// Raises "'<type>' object cannot be cast as '<expected>'" for argument `name`; a `detail`
// follows after ": ".
[[noreturn]] void fail_cast(PyObject* obj, const char* expected, const char* name,
                            std::string_view detail = {});

// Applies the argument prefix rule to the current exception and unwinds: an exception of
// exactly TypeError becomes TypeError("argument '<name>': " + its text) with the same
// cause; any other exception passes unchanged.
[[noreturn]] void fail_argument(const char* name);

// Runs `body` (which returns a new reference or throws) and hands the outcome to the
// interpreter: the object, or null with the exception set.  Panic becomes PanicException,
// std::bad_alloc MemoryError, any other C++ exception PanicException with a fixed text.
// Nothing escapes.  While `body` computes, the interpreter's signal handlers run every few
// milliseconds (parallel/cancel.hpp); one that raises (Ctrl-C: KeyboardInterrupt) cancels
// the work, and the call ends with that exception once every task has stopped.
PyObject* call_frame(FunctionRef<PyObject*()> body) noexcept;

}  // namespace quelbrin::bindings
