#include "bindings/envelope_entry_points.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/auto_arguments.hpp"
#include "bindings/call.hpp"
#include "bindings/gil.hpp"
#include "bindings/params.hpp"
#include "bindings/smoother_params.hpp"
#include "core/single_pass.hpp"
#include "selection/reweighted.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

// Fits at most: the envelope's are cheap (lam is chosen again only once its two-valued
// weights settle); the robust rule chooses lam before every fit, and its fits gain little
// after about five.
constexpr std::uint64_t kEnvelopeIterations = 10;
constexpr std::uint64_t kRobustIterations = 5;

// The arguments of both functions; each table fills what it takes.
template <class F>
struct ReweightCall {
    ReweightCall(const char* criterion, std::uint64_t fits) : iterations(fits) {
        lam.choice = selection::LamChoice{selection::LamChoice::Kind::name, criterion, 0.0, {}};
    }
    Arrays arrays;
    core::SolveOptions<F> options;  // lam unused: the lam of this call is `lam`
    LamArgument lam;
    std::vector<double> bounds{kDefaultBounds[0], kDefaultBounds[1]};
    bool uncertainty = false;
    std::uint64_t iterations;
    double p = 0.9;
    std::optional<std::string_view> robust;  // None: no reweighting
    std::string_view scale = "mad";
    std::optional<std::array<F, 3>> tuning;
};

template <class F>
constexpr Param<ReweightCall<F>> kLamParam{
    "lam", false, NoneMeans::invalid,
    [](ReweightCall<F>& c, PyObject* o, const char*) { read_lam<F>(o, c.lam); }};
template <class F>
constexpr Param<ReweightCall<F>> kBoundsParam{
    "lam_bounds", false, NoneMeans::invalid,
    [](ReweightCall<F>& c, PyObject* o, const char*) { c.bounds = read_bounds(o); }};
template <class F>
constexpr Param<ReweightCall<F>> kUncertaintyParam{
    "return_uncertainty", false, NoneMeans::invalid,
    [](ReweightCall<F>& c, PyObject* o, const char* n) { c.uncertainty = to_bool(o, n); }};
template <class F>
constexpr Param<ReweightCall<F>> kIterationsParam{
    "iterations", false, NoneMeans::invalid,
    [](ReweightCall<F>& c, PyObject* o, const char* n) { c.iterations = to_u64(o, n); }};

// envelope_f32 / _f64(x, y_st, w_base_st=None, p=0.9, lam="vcurve", iterations=10, d=2,
// ridge=1e-10, normalize="mean", eps=1e-10, lam_bounds=(1e-3, 1e9), parallel=True,
// return_uncertainty=False)
template <class F>
constexpr ParamTable<ReweightCall<F>, 13> kEnvelope{
    flavour<F>("envelope_f64", "envelope_f32"),
    {{
        kX<ReweightCall<F>, F>,
        kYSt<ReweightCall<F>, F>,
        kWBaseSt<ReweightCall<F>, F>,
        {"p", false, NoneMeans::invalid,
         [](ReweightCall<F>& c, PyObject* o, const char* n) { c.p = to_double(o, n); }},
        kLamParam<F>,
        kIterationsParam<F>,
        kD<ReweightCall<F>>,
        kRidge<ReweightCall<F>, F>,
        kNormalize<ReweightCall<F>>,
        kEps<ReweightCall<F>, F>,
        kBoundsParam<F>,
        kParallel<ReweightCall<F>>,
        kUncertaintyParam<F>,
    }}};

// smooth_robust_f32 / _f64: smooth_*'s parameters, then robust=None, iterations=5,
// tuning=None, scale="mad".
template <class F>
constexpr ParamTable<ReweightCall<F>, 15> kSmoothRobust{
    flavour<F>("smooth_f64", "smooth_f32"),
    {{
        kX<ReweightCall<F>, F>,
        kYSt<ReweightCall<F>, F>,
        kWBaseSt<ReweightCall<F>, F>,
        kLamParam<F>,
        kD<ReweightCall<F>>,
        kRidge<ReweightCall<F>, F>,
        kNormalize<ReweightCall<F>>,
        kEps<ReweightCall<F>, F>,
        kBoundsParam<F>,
        kParallel<ReweightCall<F>>,
        kUncertaintyParam<F>,
        {"robust", false, NoneMeans::absent,
         [](ReweightCall<F>& c, PyObject* o, const char* n) { c.robust = optional_text(o, n); }},
        kIterationsParam<F>,
        {"tuning", false, NoneMeans::default_value,
         [](ReweightCall<F>& c, PyObject* o, const char* n) {
             c.tuning = to_float_triple<F>(o, n);
         }},
        {"scale", false, NoneMeans::invalid,
         [](ReweightCall<F>& c, PyObject* o, const char* n) { c.scale = to_text(o, n); }},
    }}};

// The outputs of a smoother of this module: z, the statistics, the uncertainty, and (when
// the smoother re-weights) the weights; packed as (z, stats, leverage, se, weights).
template <class F>
struct Outputs {
    OutputArray<F> z, leverage, se, weights;
    StatsOutput stats;
    selection::AutoOutputs<F> sinks(bool uncertainty) {
        selection::AutoOutputs<F> out{z, stats, std::nullopt, std::nullopt};
        if (uncertainty) {
            out.leverage.emplace(leverage);
            out.se.emplace(se);
        }
        return out;
    }
    PyObject* pack() const {
        QB_ASSERT(z.array && stats.out.array, "a smoother returned without its outputs");
        stats.warn_unfitted();
        auto or_none = [](const Ref& a) { return a ? a.get() : Py_None; };
        return checked(PyTuple_Pack(5, z.array.get(), stats.out.array.get(),
                                    or_none(leverage.array), or_none(se.array),
                                    or_none(weights.array)))
            .release();
    }
};

template <class F>
PyObject* reweighted(const ReweightCall<F>& call, const selection::ReweightRule<F>& rule) {
    const ArrayViews<F> in(call.arrays);
    selection::ReweightOptions<F> o;
    o.fit = auto_options(call);
    o.iterations = call.iterations;
    o.rule = rule;
    Outputs<F> out;
    selection::ReweightOutputs<F> sinks{out.sinks(o.fit.uncertainty), out.weights};
    // Other Python threads run while this computes; the arrays stay referenced by `call`.
    raise_unless(without_gil([&] {
        return selection::reweighted_core<F>(in.x.span(), in.y_st, in.w_base_st, o, sinks);
    }));
    QB_ASSERT(out.weights.array, "a reweighting smoother returned without its weights");
    return out.pack();
}

template <class F>
PyObject* envelope(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    ReweightCall<F> call("vcurve", kEnvelopeIterations);
    bind_call(kEnvelope<F>, args, nargsf, kwnames, call);
    selection::ReweightRule<F> rule;
    rule.kind = selection::ReweightRule<F>::Kind::asymmetric;
    rule.p = call.p;
    return reweighted(call, rule);
}

template <class F>
PyObject* smooth_robust(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    ReweightCall<F> call("gcv", kRobustIterations);
    bind_call(kSmoothRobust<F>, args, nargsf, kwnames, call);
    if (!call.robust) {
        // No reweighting: smooth_* itself.
        const ArrayViews<F> in(call.arrays);
        const selection::AutoOptions<F> o = auto_options(call);
        Outputs<F> out;
        selection::AutoOutputs<F> sinks = out.sinks(o.uncertainty);
        raise_unless(without_gil([&] {
            return selection::smooth_auto_core<F>(in.x.span(), in.y_st, in.w_base_st, o, sinks);
        }));
        return out.pack();
    }
    selection::ReweightRule<F> rule;
    rule.kind = selection::ReweightRule<F>::Kind::robust;
    rule.weighting = *call.robust;
    rule.scale = call.scale;
    rule.tuning = call.tuning;
    return reweighted(call, rule);
}

}  // namespace

PyObject* envelope_f64(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return envelope<double>(args, nargsf, kwnames); });
}
PyObject* envelope_f32(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return envelope<float>(args, nargsf, kwnames); });
}
PyObject* smooth_robust_f64(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return smooth_robust<double>(args, nargsf, kwnames); });
}
PyObject* smooth_robust_f32(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return call_frame([&]() -> PyObject* { return smooth_robust<float>(args, nargsf, kwnames); });
}

}  // namespace quelbrin::bindings
