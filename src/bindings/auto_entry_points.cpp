#include "bindings/auto_entry_points.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/auto_arguments.hpp"
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
PyObject* smooth(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    SmoothCall<F> call;
    bind_call(kSmooth<F>, args, nargsf, kwnames, call);
    const ArrayViews<F> in(call.arrays);
    const selection::AutoOptions<F> o = auto_options(call);
    OutputArray<F> z, leverage, se;
    StatsOutput stats;
    selection::AutoOutputs<F> outputs{z, stats, std::nullopt, std::nullopt};
    if (o.uncertainty) {
        outputs.leverage.emplace(leverage);
        outputs.se.emplace(se);
    }
    // Other Python threads run while this computes; the arrays stay referenced by `call`.
    raise_unless(without_gil([&] {
        return selection::smooth_auto_core<F>(in.x.span(), in.y_st, in.w_base_st, o, outputs);
    }));
    QB_ASSERT(z.array && stats.out.array, "the automatic smoother returned without its outputs");
    stats.warn_unfitted();
    PyObject* lev = leverage.array ? leverage.array.get() : Py_None;
    PyObject* sev = se.array ? se.array.get() : Py_None;
    return checked(PyTuple_Pack(4, z.array.get(), stats.out.array.get(), lev, sev)).release();
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
