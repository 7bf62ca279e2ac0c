#include "bindings/auto_entry_points.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "core/arguments.hpp"
#include "selection/driver.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

constexpr const char* kSmoothParams[] = {"x",          "y_st",     "w_base_st",         "lam",
                                         "d",          "ridge",    "normalize",         "eps",
                                         "lam_bounds", "parallel", "return_uncertainty"};
constexpr double kDefaultBounds[2] = {1e-3, 1e9};

// A (rows, cols) output of the smoother, created when the core asks for it.
template <class F>
struct Output {
    Ref array;
    F* operator()(std::size_t rows, std::size_t cols) {
        QB_ASSERT(!array, "the automatic smoother asked for an output twice");
        F* data = nullptr;
        array = new_zeros<F>(rows, cols, &data);
        return data;
    }
};

// lam: a str (criterion name), an array with at least one dimension (one value per
// series, float64), or anything else read as one number (int, float, NumPy scalar, 0-d
// array).
struct LamArgument {
    selection::LamSpec spec;
    std::vector<double> values;  // the per-series values, copied
};

bool has_dimensions(PyObject* obj) {
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
    using Kind = selection::LamSpec::Kind;
    if (obj == nullptr) {
        out.spec.kind = Kind::name;
        out.spec.name = "gcv";
    } else if (PyUnicode_Check(obj)) {
        out.spec.kind = Kind::name;
        out.spec.name = to_text(obj, "lam");
    } else if (has_dimensions(obj)) {
        const InputArray array = to_array<double>(obj, 1, "lam", MaskedEntries::flagged);
        if (array.had_masked) throw_value_error(error("lam must not have masked entries"));
        const FlatArray<double> values = flat<double>(array);
        out.values.assign(values.span().begin(), values.span().end());
        out.spec.kind = Kind::per_series;
        out.spec.per_series = out.values;
    } else {
        out.spec.kind = Kind::value;
        out.spec.value = static_cast<double>(to_float<F>(obj, "lam"));
    }
}

// (lower, upper): a tuple or list of numbers (its length is checked with the values).
std::vector<double> read_bounds(PyObject* obj) {
    if (obj == nullptr) return {kDefaultBounds[0], kDefaultBounds[1]};
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) fail_cast(obj, "tuple", "lam_bounds");
    Ref items = checked(PySequence_Fast(obj, "lam_bounds"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<double> out;
    for (Py_ssize_t i = 0; i < n; ++i)
        out.push_back(to_double(PySequence_Fast_GET_ITEM(items.get(), i), "lam_bounds"));
    return out;
}

template <class F>
PyObject* smooth(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames) {
    const auto slot = bind_slots<11>(sig, args, nargsf, kwnames);
    const InputArray x = to_array<F>(slot[0], 1, "x", MaskedEntries::flagged);
    const InputArray y_st = to_array<F>(slot[1], 2, "y_st", MaskedEntries::missing);
    std::optional<InputArray> w_base_st;
    if (slot.given(2)) w_base_st = to_array<F>(slot[2], 2, "w_base_st", MaskedEntries::zero_weight);
    LamArgument lam;
    read_lam<F>(slot[3], lam);
    selection::AutoOptions<F> o;
    o.lam = lam.spec;
    o.d = slot.present(4) ? to_u64(slot[4], "d") : 2;
    o.ridge = slot.present(5) ? to_float<F>(slot[5], "ridge") : F(1e-10);
    o.normalize = "mean";
    if (slot.present(6))
        o.normalize = slot.given(6) ? std::optional(to_text(slot[6], "normalize")) : std::nullopt;
    o.eps = slot.present(7) ? to_float<F>(slot[7], "eps") : F(1e-10);
    const std::vector<double> bounds = read_bounds(slot[8]);
    o.lam_bounds = bounds;
    o.parallel = slot.present(9) ? to_bool(slot[9], "parallel") : true;
    o.uncertainty = slot.present(10) ? to_bool(slot[10], "return_uncertainty") : false;

    const FlatArray<F> xs = flat<F>(x);
    if (const Result<void> r = core::check_positions_unmasked(x.had_masked); !r)
        throw_value_error(r.error());
    std::optional<MatrixView<F>> w_view;
    if (w_base_st) w_view = matrix_view<F>(*w_base_st);
    Output<F> z, leverage, se;
    Output<double> stats;
    selection::AutoOutputs<F> outputs{z, stats, std::nullopt, std::nullopt};
    if (o.uncertainty) {
        outputs.leverage.emplace(leverage);
        outputs.se.emplace(se);
    }
    const Result<void> r =
        selection::smooth_auto_core<F>(xs.span(), matrix_view<F>(y_st), w_view, o, outputs);
    if (!r) throw_value_error(r.error());
    QB_ASSERT(z.array && stats.array, "the automatic smoother returned without its outputs");
    PyObject* lev = leverage.array ? leverage.array.get() : Py_None;
    PyObject* sev = se.array ? se.array.get() : Py_None;
    return checked(PyTuple_Pack(4, z.array.get(), stats.array.get(), lev, sev)).release();
}

constexpr Signature kSmoothF64{"smooth_f64", kSmoothParams, 2};
constexpr Signature kSmoothF32{"smooth_f32", kSmoothParams, 2};

}  // namespace

PyObject* smooth_f64(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept {
    return call_frame(
        [&]() -> PyObject* { return smooth<double>(kSmoothF64, args, nargsf, kwnames); });
}
PyObject* smooth_f32(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept {
    return call_frame(
        [&]() -> PyObject* { return smooth<float>(kSmoothF32, args, nargsf, kwnames); });
}

}  // namespace quelbrin::bindings
