// The parameter records the smoothers of both modules share: the arrays every smoother
// takes first, and the options with the same name, conversion and meaning of None.  Each
// record writes into `call.arrays` or `call.options` of the function's call record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string_view>
#include <type_traits>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "bindings/params.hpp"
#include "core/arguments.hpp"
#include "support/panic.hpp"
#include "support/result.hpp"
#include "support/views.hpp"

namespace quelbrin::bindings {

// The float64 or the float32 name of a function.
template <class F>
constexpr const char* flavour(const char* f64, const char* f32) {
    return std::is_same_v<F, double> ? f64 : f32;
}

// A text option that None (a null object here) switches off.
inline std::optional<std::string_view> optional_text(PyObject* obj, const char* name) {
    if (obj == nullptr) return std::nullopt;
    return to_text(obj, name);
}

// Raises the ValueError of a failed argument check.
inline void raise_unless(const Result<void>& r) {
    if (!r) throw_value_error(r.error());
}

// A new zero-filled (rows, cols) output array, made when the core asks for it (the cores'
// output sinks).
template <class F>
struct OutputArray {
    Ref array;
    F* operator()(std::size_t rows, std::size_t cols) {
        QB_ASSERT(!array, "a smoother asked for the same output twice");
        F* data = nullptr;
        array = new_zeros<F>(rows, cols, &data);
        return data;
    }
};

// The three arrays every smoother takes first.
struct Arrays {
    InputArray x;
    InputArray y_st;
    std::optional<InputArray> w_base_st;
};

template <class Call, class F>
constexpr Param<Call> kX{"x", true, NoneMeans::invalid, [](Call& c, PyObject* o, const char* n) {
                             c.arrays.x = to_array<F>(o, 1, n, MaskedEntries::flagged);
                         }};
template <class Call, class F>
constexpr Param<Call> kYSt{"y_st", true, NoneMeans::invalid,
                           [](Call& c, PyObject* o, const char* n) {
                               c.arrays.y_st = to_array<F>(o, 2, n, MaskedEntries::missing);
                           }};
template <class Call, class F>
constexpr Param<Call> kWBaseSt{
    "w_base_st", false, NoneMeans::default_value, [](Call& c, PyObject* o, const char* n) {
        c.arrays.w_base_st = to_array<F>(o, 2, n, MaskedEntries::zero_weight);
    }};

// The options both smoothers take, with the same name, conversion and meaning of None.
template <class Call, class F>
constexpr Param<Call> kLam{
    "lam", false, NoneMeans::invalid,
    [](Call& c, PyObject* o, const char* n) { c.options.lam = to_float<F>(o, n); }};
template <class Call>
constexpr Param<Call> kD{"d", false, NoneMeans::invalid,
                         [](Call& c, PyObject* o, const char* n) { c.options.d = to_u64(o, n); }};
template <class Call, class F>
constexpr Param<Call> kRidge{
    "ridge", false, NoneMeans::invalid,
    [](Call& c, PyObject* o, const char* n) { c.options.ridge = to_float<F>(o, n); }};
template <class Call>
constexpr Param<Call> kNormalize{
    "normalize", false, NoneMeans::absent,
    [](Call& c, PyObject* o, const char* n) { c.options.normalize = optional_text(o, n); }};
template <class Call, class F>
constexpr Param<Call> kEps{
    "eps", false, NoneMeans::invalid,
    [](Call& c, PyObject* o, const char* n) { c.options.eps = to_float<F>(o, n); }};
template <class Call>
constexpr Param<Call> kParallel{
    "parallel", false, NoneMeans::invalid,
    [](Call& c, PyObject* o, const char* n) { c.options.parallel = to_bool(o, n); }};

// The arrays as the cores read them; x must be contiguous and have no masked entries.
template <class F>
struct ArrayViews {
    explicit ArrayViews(const Arrays& a) : x(flat<F>(a.x)), y_st(matrix_view<F>(a.y_st)) {
        raise_unless(core::check_positions_unmasked(a.x.had_masked));
        if (a.w_base_st) w_base_st = matrix_view<F>(*a.w_base_st);
    }
    const FlatArray<F> x;
    const MatrixView<F> y_st;
    std::optional<MatrixView<F>> w_base_st;
};

}  // namespace quelbrin::bindings
