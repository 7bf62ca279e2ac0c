#include "bindings/arrays.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL quelbrin_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "bindings/gil.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

// The float32 and float64 dtype descriptors, taken once the API table is in place.
PyArray_Descr* g_dtype_f32 = nullptr;
PyArray_Descr* g_dtype_f64 = nullptr;

// "Type: message" of the current Python exception, which is cleared.
std::string take_error_text() {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return "no exception was set";
    std::string out = "<unknown exception>";
    if (PyObject* name = PyType_GetQualName(Py_TYPE(exc))) {
        if (const char* s = PyUnicode_AsUTF8(name)) out = s;
        Py_DECREF(name);
    }
    PyErr_Clear();
    if (PyObject* text = PyObject_Str(exc)) {
        if (const char* s = PyUnicode_AsUTF8(text)) {
            out += ": ";
            out += s;
        }
        Py_DECREF(text);
    }
    PyErr_Clear();
    Py_DECREF(exc);
    return out;
}

// Attribute `attr` of module `module` (both imported as needed); null on failure.
Ref module_attr(const char* module, const char* attr) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (!m) return {};
    return Ref::steal(PyObject_GetAttrString(m.get(), attr));
}

// NumPy's major version by its own version parser, as a small unsigned integer.
bool numpy_major(unsigned& major) {
    Ref version = module_attr("numpy", "__version__");
    if (!version) return false;
    Ref parser = module_attr("numpy.lib", "NumpyVersion");
    if (!parser) return false;
    Ref parsed = Ref::steal(PyObject_CallOneArg(parser.get(), version.get()));
    if (!parsed) return false;
    Ref value = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!value) return false;
    Ref index = Ref::steal(PyNumber_Index(value.get()));
    if (!index) return false;
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) {
        PyErr_Format(PyExc_OverflowError, "NumPy major version %ld out of range", v);
        return false;
    }
    major = static_cast<unsigned>(v);
    return true;
}

// Fetches the API table and the dtypes.  On failure leaves nothing behind (so a later
// call tries again) and returns false with a Python exception set.
bool load_api() {
    unsigned major = 0;
    if (!numpy_major(major)) return false;
    const char* api_module = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref capsule = module_attr(api_module, "_ARRAY_API");
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (table == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is a null pointer");
        return false;
    }
    // The same compatibility checks as NumPy's own import: the table must be at least as
    // new as the headers this module was compiled with.
    PyArray_API = static_cast<void**>(table);
    if (NPY_VERSION < PyArray_GetNDArrayCVersion() ||
        NPY_FEATURE_VERSION > static_cast<int>(PyArray_GetNDArrayCFeatureVersion())) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against NumPy C-API 0x%x, running NumPy has 0x%x",
                     static_cast<int>(NPY_FEATURE_VERSION),
                     static_cast<int>(PyArray_GetNDArrayCFeatureVersion()));
        PyArray_API = nullptr;
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT);
    PyArray_Descr* f64 = PyArray_DescrFromType(NPY_DOUBLE);
    if (f32 == nullptr || f64 == nullptr) {
        Py_XDECREF(f32);
        Py_XDECREF(f64);
        PyArray_API = nullptr;
        PyArray_RUNTIME_VERSION = 0;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no float dtypes");
        return false;
    }
    g_dtype_f32 = f32;
    g_dtype_f64 = f64;
    return true;
}

void ensure_api() {
    if (PyArray_API != nullptr) return;
    if (!load_api()) QB_PANIC("Failed to access NumPy array API capsule: " + take_error_text());
}

template <class F>
PyArray_Descr* dtype_of() {
    if constexpr (std::is_same_v<F, float>)
        return g_dtype_f32;
    else
        return g_dtype_f64;
}

// numpy.ma.MaskedArray and numpy.ma.is_masked, imported on first need and kept for the
// life of the process.  Null (with the Python exception set) when numpy.ma cannot be had.
struct MaskedApi {
    PyObject* type = nullptr;
    PyObject* is_masked = nullptr;
};

const MaskedApi* masked_api() {
    static MaskedApi api;
    if (api.type != nullptr) return &api;
    Ref type = module_attr("numpy.ma", "MaskedArray");
    if (!type) return nullptr;
    Ref is_masked = module_attr("numpy.ma", "is_masked");
    if (!is_masked) return nullptr;
    api.is_masked = is_masked.release();
    api.type = type.release();
    return &api;
}

// True when `obj` (an ndarray subclass) is a MaskedArray with at least one masked entry.
bool has_masked_entries(PyObject* obj) {
    const MaskedApi* api = masked_api();
    if (api == nullptr) throw_python_error();
    const int is_ma = PyObject_IsInstance(obj, api->type);
    if (is_ma < 0) throw_python_error();
    if (is_ma == 0) return false;
    Ref any = checked(PyObject_CallOneArg(api->is_masked, obj));
    const int truth = PyObject_IsTrue(any.get());
    if (truth < 0) throw_python_error();
    return truth != 0;
}

template <class F>
constexpr const char* dtype_name() {
    return std::is_same_v<F, float> ? "float32" : "float64";
}

// str(obj), or "?" when it cannot be had.
std::string text_of(PyObject* obj) {
    std::string out = "?";
    if (PyObject* text = PyObject_Str(obj)) {
        if (const char* s = PyUnicode_AsUTF8(text)) out = s;
        Py_DECREF(text);
    }
    PyErr_Clear();
    return out;
}

// "(365,)", "(3, 10)", "()": a shape as NumPy prints it.
std::string shape_text(int ndim, const npy_intp* dims) {
    std::string out = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i != 0) out += ", ";
        out += std::to_string(static_cast<long long>(dims[i]));
    }
    return out + (ndim == 1 ? ",)" : ")");
}

bool is_masked_array(PyObject* obj) {
    if (Py_IS_TYPE(obj, &PyArray_Type)) return false;
    const MaskedApi* api = masked_api();
    const int is_ma = api != nullptr ? PyObject_IsInstance(obj, api->type) : 0;
    PyErr_Clear();
    return is_ma > 0;
}

// What an array argument should have been and what it was, after the cast message:
// "expected a 1-D float64 array, got int64 with shape (365,)", with a hint where the fix
// is not obvious from that (the other float type, a foreign byte order).
template <class F>
std::string expected_array(PyObject* obj, int ndim) {
    std::string out = "expected a " + std::to_string(ndim) + "-D " + dtype_name<F>() + " array";
    if (!PyArray_Check(obj)) return out;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    PyArray_Descr* have = PyArray_DESCR(arr);
    const bool masked = is_masked_array(obj);
    if (masked) out += " (masked arrays are accepted)";
    out += ", got ";
    if (masked) out += "a masked array of ";
    out += text_of(reinterpret_cast<PyObject*>(have)) + " with shape " +
           shape_text(PyArray_NDIM(arr), PyArray_DIMS(arr));
    const bool floating = have->type_num == NPY_FLOAT || have->type_num == NPY_DOUBLE;
    if (floating && !PyArray_ISNBO(have->byteorder)) {
        out += " (not in native byte order: pass a.astype(np.";
        out += dtype_name<F>();
        out += "))";
    } else if (have->type_num == (std::is_same_v<F, float> ? NPY_DOUBLE : NPY_FLOAT)) {
        out += std::is_same_v<F, float> ? " (float64 data goes to the _f64 functions)"
                                        : " (float32 data goes to the _f32 functions)";
    }
    return out;
}

// The cast TypeError unless `obj` is an ndarray of `ndim` dimensions with F's dtype.
template <class F>
void check_ndarray(PyObject* obj, int ndim, const char* name) {
    const auto refuse = [&] { fail_cast(obj, "ndarray", name, expected_array<F>(obj, ndim)); };
    if (!PyArray_Check(obj)) refuse();
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) refuse();
    PyArray_Descr* have = PyArray_DESCR(arr);
    PyArray_Descr* want = dtype_of<F>();
    if (have != want) {
        const bool equivalent = PyArray_EquivTypes(have, want);
        if (PyErr_Occurred()) PyErr_Clear();
        if (!equivalent) refuse();
    }
}

PyArrayObject* as_ndarray(const InputArray& a) {
    return reinterpret_cast<PyArrayObject*>(a.array.get());
}

}  // namespace

template <class F>
InputArray to_array(PyObject* obj, int ndim, const char* name, MaskedEntries masked) {
    ensure_api();
    check_ndarray<F>(obj, ndim, name);
    // Plain ndarrays, by far the usual argument, never look at numpy.ma.
    if (Py_IS_TYPE(obj, &PyArray_Type) || !has_masked_entries(obj))
        return InputArray{Ref::borrow(obj), false, name};
    if (masked == MaskedEntries::flagged) return InputArray{Ref::borrow(obj), true, name};
    Ref fill = checked(PyFloat_FromDouble(
        masked == MaskedEntries::missing ? std::numeric_limits<double>::quiet_NaN() : 0.0));
    Ref filled = checked(PyObject_CallMethod(obj, "filled", "O", fill.get()));
    check_ndarray<F>(filled.get(), ndim, name);
    return InputArray{std::move(filled), true, name};
}

template <class F>
FlatArray<F> flat(const InputArray& a) {
    PyArrayObject* arr = as_ndarray(a);
    if (!PyArray_CHKFLAGS(arr, NPY_ARRAY_C_CONTIGUOUS) &&
        !PyArray_CHKFLAGS(arr, NPY_ARRAY_F_CONTIGUOUS))
        throw_new_error(PyExc_TypeError, "The given array is not contiguous: argument '" +
                                             std::string(a.name) +
                                             "' must be contiguous, got strides " +
                                             shape_text(PyArray_NDIM(arr), PyArray_STRIDES(arr)) +
                                             " (pass numpy.ascontiguousarray(" + a.name + "))");
    const auto size = static_cast<std::size_t>(PyArray_SIZE(arr));
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    if (size == 0) return FlatArray<F>(nullptr, 0);
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(F) == 0)
        return FlatArray<F>(reinterpret_cast<const F*>(data), size);
    std::vector<F> copy(size);
    std::memcpy(copy.data(), data, size * sizeof(F));
    return FlatArray<F>(std::move(copy));
}

template <class F>
MatrixView<F> matrix_view(const InputArray& a) {
    PyArrayObject* arr = as_ndarray(a);
    QB_ASSERT(PyArray_NDIM(arr) == 2, "matrix_view of an array that is not 2-D");
    const npy_intp* dims = PyArray_DIMS(arr);
    const npy_intp* strides = PyArray_STRIDES(arr);
    MatrixView<F> v;
    v.origin = static_cast<const char*>(PyArray_DATA(arr));
    v.rows = static_cast<std::size_t>(dims[0]);
    v.cols = static_cast<std::size_t>(dims[1]);
    v.row_stride = static_cast<std::ptrdiff_t>(strides[0]);
    v.col_stride = static_cast<std::ptrdiff_t>(strides[1]);
    return v;
}

template <class F>
Ref new_zeros(std::size_t rows, std::size_t cols, F** data) {
    const GilHeld gil;  // the cores ask for their outputs while they compute
    ensure_api();
    constexpr auto max_dim = static_cast<std::size_t>(std::numeric_limits<npy_intp>::max());
    if (rows > max_dim || cols > max_dim) throw_memory_error();
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    PyArray_Descr* descr = dtype_of<F>();
    Py_INCREF(descr);  // PyArray_Zeros takes this reference
    Ref out = checked(PyArray_Zeros(2, dims, descr, 0));
    *data = static_cast<F*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    return out;
}

#define QB_INSTANTIATE(F)                                                        \
    template InputArray to_array<F>(PyObject*, int, const char*, MaskedEntries); \
    template FlatArray<F> flat<F>(const InputArray&);                            \
    template MatrixView<F> matrix_view<F>(const InputArray&);                    \
    template Ref new_zeros<F>(std::size_t, std::size_t, F**);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::bindings
