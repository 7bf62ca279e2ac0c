#include "bindings/auto_entry_points.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "bindings/gil.hpp"
#include "bindings/params.hpp"
#include "bindings/smoother_params.hpp"
#include "core/arguments.hpp"
#include "core/single_pass.hpp"
#include "selection/driver.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

constexpr double kDefaultBounds[2] = {1e-3, 1e9};

// lam: a str (criterion name), an array with at least one dimension (one value per
// series, float64), or anything else read as one number (int, float, NumPy scalar, 0-d
// array).
struct LamArgument {
    selection::LamChoice choice;
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
std::vector<double> read_bounds(PyObject* obj) {
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) fail_cast(obj, "tuple", "lam_bounds");
    Ref items = checked(PySequence_Fast(obj, "lam_bounds"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<double> out;
    for (Py_ssize_t i = 0; i < n; ++i)
        out.push_back(to_double(PySequence_Fast_GET_ITEM(items.get(), i), "lam_bounds"));
    return out;
}

// smooth_f32 / _f64(x, y_st, w_base_st=None, lam="gcv", d=2, ridge=1e-10, normalize="mean",
// eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True, return_uncertainty=False).  The options
// it shares with whittaker_solve_* are read by the same records into the same struct.
template <class F>
struct SmoothCall {
    Arrays arrays;
    core::SolveOptions<F> options;  // lam unused: the lam of this call is `lam`
    LamArgument lam{selection::LamChoice{selection::LamChoice::Kind::name, "gcv", 0.0, {}}, {}};
    std::vector<double> bounds{kDefaultBounds[0], kDefaultBounds[1]};
    bool uncertainty = false;
};

template <class F>
constexpr ParamTable<SmoothCall<F>, 11> kSmooth{
    flavour<F>("smooth_f64", "smooth_f32"),
    {{
        kX<SmoothCall<F>, F>,
        kYSt<SmoothCall<F>, F>,
        kWBaseSt<SmoothCall<F>, F>,
        {"lam", false, NoneMeans::invalid,
         [](SmoothCall<F>& c, PyObject* o, const char*) { read_lam<F>(o, c.lam); }},
        kD<SmoothCall<F>>,
        kRidge<SmoothCall<F>, F>,
        kNormalize<SmoothCall<F>>,
        kEps<SmoothCall<F>, F>,
        {"lam_bounds", false, NoneMeans::invalid,
         [](SmoothCall<F>& c, PyObject* o, const char*) { c.bounds = read_bounds(o); }},
        kParallel<SmoothCall<F>>,
        {"return_uncertainty", false, NoneMeans::invalid,
         [](SmoothCall<F>& c, PyObject* o, const char* n) { c.uncertainty = to_bool(o, n); }},
    }}};

template <class F>
selection::AutoOptions<F> auto_options(const SmoothCall<F>& call) {
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
void warn_unfitted(const double* lam, std::size_t S) {
    constexpr std::size_t kShown = 5;
    std::size_t count = 0;
    std::string rows;
    for (std::size_t s = 0; s < S; ++s) {
        if (lam[s] == lam[s]) continue;
        if (count < kShown) rows += (count == 0 ? "" : ", ") + std::to_string(s);
        ++count;
    }
    if (count == 0) return;
    if (count > kShown) rows += ", ...";
    const std::string text = std::to_string(count) + " series" +
                             " could not be fitted to the trust rule at their lam (rows " + rows +
                             "); their z, lam and statistics are NaN";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) throw_python_error();
}

template <class F>
PyObject* smooth(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    SmoothCall<F> call;
    bind_call(kSmooth<F>, args, nargsf, kwnames, call);
    const ArrayViews<F> in(call.arrays);
    const selection::AutoOptions<F> o = auto_options(call);
    OutputArray<F> z, leverage, se;
    OutputArray<double> stats;
    double* stats_data = nullptr;
    std::size_t series = 0;
    auto stats_sink = [&](std::size_t rows, std::size_t cols) {
        series = cols;
        stats_data = stats(rows, cols);
        return stats_data;
    };
    selection::AutoOutputs<F> outputs{z, stats_sink, std::nullopt, std::nullopt};
    if (o.uncertainty) {
        outputs.leverage.emplace(leverage);
        outputs.se.emplace(se);
    }
    // Other Python threads run while this computes; the arrays stay referenced by `call`.
    raise_unless(without_gil([&] {
        return selection::smooth_auto_core<F>(in.x.span(), in.y_st, in.w_base_st, o, outputs);
    }));
    QB_ASSERT(z.array && stats.array, "the automatic smoother returned without its outputs");
    warn_unfitted(stats_data, series);  // row 0 of stats is lam
    PyObject* lev = leverage.array ? leverage.array.get() : Py_None;
    PyObject* sev = se.array ? se.array.get() : Py_None;
    return checked(PyTuple_Pack(4, z.array.get(), stats.array.get(), lev, sev)).release();
}

}  // namespace

PyObject* smooth_f64(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return smooth<double>(args, nargsf, kwnames); });
}
PyObject* smooth_f32(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return smooth<float>(args, nargsf, kwnames); });
}

}  // namespace quelbrin::bindings
