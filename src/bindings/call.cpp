#include "bindings/call.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "bindings/gil.hpp"
#include "parallel/cancel.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

// The last resort should a failure ever get past the catcher: there is no sound way to
// hand it to the interpreter, so the process stops with a message.
[[noreturn]] void trap() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

std::string function_name(const Signature& sig) { return std::string(sig.name) + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void fail_too_many(const Signature& sig, std::size_t given) {
    const std::size_t P = sig.params.size();
    std::string msg = function_name(sig) + " takes ";
    if (sig.required != P)
        msg += "from " + std::to_string(sig.required) + " to " + std::to_string(P);
    else
        msg += std::to_string(P);
    msg += " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was given" : " were given");
    throw_new_error(PyExc_TypeError, msg);
}

[[noreturn]] void fail_unexpected_keyword(const Signature& sig, PyObject* key) {
    PyObject* msg =
        PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", sig.name, key);
    if (msg != nullptr) {
        PyErr_SetObject(PyExc_TypeError, msg);
        Py_DECREF(msg);
    }
    throw_python_error();
}

[[noreturn]] void fail_missing(const Signature& sig, const std::vector<const char*>& names) {
    std::string msg = function_name(sig) + " missing " + std::to_string(names.size()) +
                      " required positional " + (names.size() == 1 ? "argument" : "arguments") +
                      ": " + quoted_list(names);
    throw_new_error(PyExc_TypeError, msg);
}

// str(exc) as the interpreter would print it, or a placeholder when that fails.
PyObject* exception_text(PyObject* exc) {
    PyObject* text = PyObject_Str(exc);
    if (text == nullptr) {
        PyErr_Clear();
        text = PyUnicode_FromString("<unprintable TypeError object>");
    }
    return text;
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** slots) {
    const std::size_t P = sig.params.size();
    const std::size_t N = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    for (std::size_t i = 0; i < N && i < P; ++i) slots[i] = args[i];
    if (N > P) fail_too_many(sig, N);

    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        std::size_t p = 0;
        while (p < P && !(PyUnicode_Check(key) && PyUnicode_EqualToUTF8(key, sig.params[p]))) ++p;
        if (p == P) fail_unexpected_keyword(sig, key);
        if (slots[p] != nullptr)
            throw_new_error(
                PyExc_TypeError,
                function_name(sig) + " got multiple values for argument '" + sig.params[p] + "'");
        slots[p] = args[N + static_cast<std::size_t>(j)];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (slots[i] == nullptr) missing.push_back(sig.params[i]);
    if (!missing.empty()) fail_missing(sig, missing);
}

void fail_argument(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) throw_python_error();
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(exc);
        throw PythonErrorSet{};
    }
    Ref original = Ref::steal(exc);
    Ref text = Ref::steal(exception_text(exc));
    if (!text) throw_python_error();
    Ref msg = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Ref remapped = checked(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
    // Like the interpreter's own re-raise, this keeps the cause and suppresses the context.
    PyException_SetCause(remapped.get(), PyException_GetCause(exc));
    PyErr_SetRaisedException(remapped.release());
    throw PythonErrorSet{};
}

void fail_cast(PyObject* obj, const char* expected, const char* name, std::string_view detail) {
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (qualname == nullptr) {
        PyErr_Clear();
        qualname = PyUnicode_FromString("<failed to extract type name>");
        if (qualname == nullptr) throw_python_error();
    }
    if (detail.empty()) {
        PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%s'", qualname, expected);
    } else {
        const std::string text(detail);
        PyErr_Format(PyExc_TypeError, "'%S' object cannot be cast as '%s': %s", qualname, expected,
                     text.c_str());
    }
    Py_DECREF(qualname);
    fail_argument(name);
}

std::uint64_t to_u64(PyObject* obj, const char* name) {
    Ref index;
    PyObject* value = obj;
    if (!PyLong_Check(obj)) {
        index = Ref::steal(PyNumber_Index(obj));
        if (!index) fail_argument(name);
        value = index.get();
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(value);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail_argument(name);
    return static_cast<std::uint64_t>(v);
}

double to_double(PyObject* obj, const char* name) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) fail_argument(name);
    return v;
}

namespace {

// Whether a text attribute of a type equals `want`; a missing or odd attribute is "no".
bool text_equals(PyObject* text, const char* want) {
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool eq = PyUnicode_Check(text) && PyUnicode_EqualToUTF8(text, want);
    Py_DECREF(text);
    return eq;
}

// NumPy's boolean scalar, recognised by its type's module and name so that NumPy itself
// need not be imported.
bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (!text_equals(PyType_GetModuleName(type), "numpy")) return false;
    PyObject* type_name = PyType_GetName(type);
    if (type_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool named = PyUnicode_Check(type_name) && (PyUnicode_EqualToUTF8(type_name, "bool_") ||
                                                      PyUnicode_EqualToUTF8(type_name, "bool"));
    Py_DECREF(type_name);
    return named;
}

}  // namespace

bool to_bool(PyObject* obj, const char* name) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (!is_numpy_bool(obj)) fail_cast(obj, "bool", name);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(Py_TYPE(obj)));
        fail_argument(name);
    }
    const int truth = number->nb_bool(obj);
    if (truth < 0) fail_argument(name);
    return truth != 0;
}

std::string_view to_text(PyObject* obj, const char* name) {
    if (!PyUnicode_Check(obj)) fail_cast(obj, "str", name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) fail_argument(name);  // e.g. lone surrogates: UnicodeEncodeError
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::array<double, 3> to_triple(PyObject* obj, const char* name) {
    if (!PyTuple_Check(obj)) fail_cast(obj, "tuple", name);
    const Py_ssize_t n = PyTuple_GET_SIZE(obj);
    if (n != 3) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 3, but got tuple of length %zd",
                     n);
        throw PythonErrorSet{};
    }
    std::array<double, 3> out{};
    for (Py_ssize_t i = 0; i < 3; ++i) out[i] = to_double(PyTuple_GET_ITEM(obj, i), name);
    return out;
}

namespace {

// The call's cancellation check: the interpreter's signal handlers run here (on the main
// thread; elsewhere this finds nothing), so Ctrl-C raises KeyboardInterrupt and cancels the
// work.  With the lock released for the work it is taken back for the check, except while
// the interpreter shuts down, when a thread must not take it.
bool signal_raised() noexcept {
    if (t_released_state != nullptr && Py_IsFinalizing()) return false;
    const GilHeld gil;
    return PyErr_CheckSignals() != 0;
}

}  // namespace

PyObject* call_frame(FunctionRef<PyObject*()> body) noexcept {
    try {
        try {
            const auto check = [] { return signal_raised(); };
            parallel::CancelToken token(check);
            const parallel::TokenScope scope(&token);
            PyObject* result = body();
            if (result == nullptr) throw_python_error();
            return result;
        } catch (const PythonErrorSet&) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        } catch (const parallel::Cancelled&) {
            // The check that cancelled the work has set the exception (KeyboardInterrupt).
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        } catch (const Panic& p) {
            set_panic_exception(p.message);
        } catch (const std::bad_alloc&) {
            set_memory_error();
        } catch (...) {
            set_panic_exception(kGenericPanicText);
        }
    } catch (...) {
        trap();
    }
    return nullptr;
}

}  // namespace quelbrin::bindings
