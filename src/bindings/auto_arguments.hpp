// The arguments and the warning every smoother of quelbrin_auto shares: lam (a criterion's
// name, one number or one per series), lam_bounds, and the one RuntimeWarning for rows that
// could not be fitted.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "bindings/smoother_params.hpp"
#include "selection/driver.hpp"

namespace quelbrin::bindings {

inline constexpr double kDefaultBounds[2] = {1e-3, 1e9};

// lam: a str (criterion name), an array with at least one dimension (one value per
// series, float64), or anything else read as one number (int, float, NumPy scalar, 0-d
// array).
struct LamArgument {
    selection::LamChoice choice;
    std::vector<double> values;  // the per-series values, copied
};

inline bool has_dimensions(PyObject* obj) {
    PyObject* ndim = nullptr;
    if (PyObject_GetOptionalAttrString(obj, "ndim", &ndim) < 0) throw_python_error();
    if (ndim == nullptr) return false;
    Ref owned = Ref::steal(ndim);
    const long n = PyLong_Check(ndim) ? PyLong_AsLong(ndim) : 0;
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n > 0;
}

template <class F>
void read_lam(PyObject* obj, LamArgument& out) {
    using Kind = selection::LamChoice::Kind;
    if (PyUnicode_Check(obj)) {
        out.choice.kind = Kind::name;
        out.choice.name = to_text(obj, "lam");
    } else if (has_dimensions(obj)) {
        const InputArray array = to_array<double>(obj, 1, "lam", MaskedEntries::flagged);
        if (array.had_masked) throw_value_error(error("lam must not have masked entries"));
        const FlatArray<double> values = flat<double>(array);
        out.values.assign(values.span().begin(), values.span().end());
        out.choice.kind = Kind::per_series;
        out.choice.per_series = out.values;
    } else {
        out.choice.kind = Kind::value;
        out.choice.value = static_cast<double>(to_float<F>(obj, "lam"));
    }
}

// (lower, upper): a tuple or list of numbers (its length is checked with the values).
inline std::vector<double> read_bounds(PyObject* obj) {
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) fail_cast(obj, "tuple", "lam_bounds");
    Ref items = checked(PySequence_Fast(obj, "lam_bounds"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<double> out;
    for (Py_ssize_t i = 0; i < n; ++i)
        out.push_back(to_double(PySequence_Fast_GET_ITEM(items.get(), i), "lam_bounds"));
    return out;
}

// The automatic smoother's options from a call record (`lam`, `bounds`, `uncertainty` and
// the single-pass options it shares with whittaker_solve_*).
template <class Call, class F = std::remove_cvref_t<decltype(std::declval<Call>().options.lam)>>
selection::AutoOptions<F> auto_options(const Call& call) {
    selection::AutoOptions<F> o;
    o.lam = call.lam.choice;
    o.lam_bounds = call.bounds;
    o.d = call.options.d;
    o.ridge = call.options.ridge;
    o.normalize = call.options.normalize;
    o.eps = call.options.eps;
    o.parallel = call.options.parallel;
    o.uncertainty = call.uncertainty;
    return o;
}

// Rows the smoother could not fit (their lam is NaN): one RuntimeWarning with their count
// and the first few row indices.
void warn_unfitted(const double* lam, std::size_t S);

// The (kStatRows, S) statistics output, remembering where it is so that the rows the
// smoother could not fit (row 0, lam, NaN) can be warned about once it returns.
struct StatsOutput {
    OutputArray<double> out;
    double* data = nullptr;
    std::size_t series = 0;
    double* operator()(std::size_t rows, std::size_t cols) {
        series = cols;
        return data = out(rows, cols);
    }
    void warn_unfitted() const {
        if (data != nullptr) bindings::warn_unfitted(data, series);
    }
};

}  // namespace quelbrin::bindings
