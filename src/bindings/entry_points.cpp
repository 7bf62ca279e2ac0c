#include "bindings/entry_points.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "bindings/params.hpp"
#include "bindings/smoother_params.hpp"
#include "core/arguments.hpp"
#include "core/band.hpp"
#include "core/build_pb.hpp"
#include "core/normalize.hpp"
#include "core/single_pass.hpp"
#include "robust/driver.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

Ref pair(Ref a, Ref b) { return checked(PyTuple_Pack(2, a.get(), b.get())); }

// build_pb_f32 / build_pb_f64(x, d=2, normalize=None, eps=None)
template <class F>
struct BuildPbCall {
    InputArray x;
    core::BandOptions<F> options;
};

template <class F>
constexpr ParamTable<BuildPbCall<F>, 4> kBuildPb{
    flavour<F>("build_pb_f64", "build_pb_f32"),
    {{
        {"x", true, NoneMeans::invalid,
         [](BuildPbCall<F>& c, PyObject* o, const char* n) {
             c.x = to_array<F>(o, 1, n, MaskedEntries::flagged);
         }},
        {"d", false, NoneMeans::invalid,
         [](BuildPbCall<F>& c, PyObject* o, const char* n) { c.options.d = to_u64(o, n); }},
        {"normalize", false, NoneMeans::default_value,
         [](BuildPbCall<F>& c, PyObject* o, const char* n) {
             c.options.normalize = to_text(o, n);
         }},
        {"eps", false, NoneMeans::default_value,
         [](BuildPbCall<F>& c, PyObject* o, const char* n) { c.options.eps = to_float<F>(o, n); }},
    }}};

// pb has 2d+1 rows: when that count cannot even be represented (or passed to NumPy) the
// array could never be allocated, so say so before doing any work.
inline std::uint64_t band_rows_or_memory_error(std::uint64_t d) {
    if (d > (std::numeric_limits<std::uint64_t>::max() - 1) / 2) throw_memory_error();
    const std::uint64_t k = 2 * d;
    if (k >= static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()))
        throw_memory_error();
    return k;
}

template <class F>
PyObject* build_pb(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BuildPbCall<F> call;
    bind_call(kBuildPb<F>, args, nargsf, kwnames, call);
    const core::BandOptions<F>& o = call.options;
    const FlatArray<F> xs = flat<F>(call.x);
    raise_unless(core::check_positions_unmasked(call.x.had_masked));
    raise_unless(core::check_band_inputs(xs.span(), o));
    const std::uint64_t k = band_rows_or_memory_error(o.d);

    const std::size_t T = xs.span().size();
    const core::PenaltyBand<F> band = core::band_for(xs.span(), o.normalize, o.d, o.eps);
    const std::size_t stored_rows = band.stored_k() + 1;
    QB_ASSERT(band.T == T && band.stored_k() <= k && band.values.size() >= stored_rows * T,
              "build_penalty_band returned a band of the wrong shape");

    F* out = nullptr;
    Ref pb = new_zeros<F>(static_cast<std::size_t>(k) + 1, T, &out);
    // Rows beyond the stored ones are zero, as the fresh array already is.
    std::memcpy(out, band.values.data(), stored_rows * T * sizeof(F));
    return pair(std::move(pb), checked(PyLong_FromUnsignedLongLong(k))).release();
}

// The robust driver's outputs: z_st first, then w_total_st when weights are returned.
template <class F>
struct TwoOutputs {
    Ref z_st;
    Ref w_total_st;
    F* operator()(std::size_t rows, std::size_t cols) {
        QB_ASSERT(!w_total_st, "the robust driver asked for a third output");
        F* data = nullptr;
        (z_st ? w_total_st : z_st) = new_zeros<F>(rows, cols, &data);
        return data;
    }
};

// whittaker_solve_f32 / _f64(x, y_st, w_base_st=None, lam=10.0, d=2, ridge=1e-10,
// normalize="mean", eps=1e-10, parallel=True)
template <class F>
struct SolveCall {
    Arrays arrays;
    core::SolveOptions<F> options;
};

template <class F>
constexpr ParamTable<SolveCall<F>, 9> kSolve{
    flavour<F>("whittaker_solve_f64", "whittaker_solve_f32"),
    {{
        kX<SolveCall<F>, F>,
        kYSt<SolveCall<F>, F>,
        kWBaseSt<SolveCall<F>, F>,
        kLam<SolveCall<F>, F>,
        kD<SolveCall<F>>,
        kRidge<SolveCall<F>, F>,
        kNormalize<SolveCall<F>>,
        kEps<SolveCall<F>, F>,
        kParallel<SolveCall<F>>,
    }}};

template <class F>
PyObject* whittaker_solve(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    SolveCall<F> call;
    bind_call(kSolve<F>, args, nargsf, kwnames, call);
    const ArrayViews<F> in(call.arrays);
    OutputArray<F> output;
    raise_unless(
        core::whittaker_solve_core<F>(in.x.span(), in.y_st, in.w_base_st, call.options, output));
    QB_ASSERT(output.array, "the smoother returned without an output");
    return output.array.release();
}

// robust_whittaker_irls_f32 / _f64(x, y_st, w_base_st=None, lam=10.0, d=2, iterations=1,
// weighting="tukey", scale="mad", ridge=1e-10, normalize="mean", eps=1e-10, parallel=True,
// tuning=None, return_weights=False, merge_x_tol=1e-2)
template <class F>
struct RobustCall {
    Arrays arrays;
    robust::RobustOptions<F> options;
};

template <class F>
constexpr ParamTable<RobustCall<F>, 15> kRobust{
    flavour<F>("robust_whittaker_irls_f64", "robust_whittaker_irls_f32"),
    {{
        kX<RobustCall<F>, F>,
        kYSt<RobustCall<F>, F>,
        kWBaseSt<RobustCall<F>, F>,
        kLam<RobustCall<F>, F>,
        kD<RobustCall<F>>,
        {"iterations", false, NoneMeans::invalid,
         [](RobustCall<F>& c, PyObject* o, const char* n) { c.options.iterations = to_u64(o, n); }},
        {"weighting", false, NoneMeans::invalid,
         [](RobustCall<F>& c, PyObject* o, const char* n) { c.options.weighting = to_text(o, n); }},
        {"scale", false, NoneMeans::invalid,
         [](RobustCall<F>& c, PyObject* o, const char* n) { c.options.scale = to_text(o, n); }},
        kRidge<RobustCall<F>, F>,
        kNormalize<RobustCall<F>>,
        kEps<RobustCall<F>, F>,
        kParallel<RobustCall<F>>,
        {"tuning", false, NoneMeans::default_value,
         [](RobustCall<F>& c, PyObject* o, const char* n) {
             c.options.tuning = to_float_triple<F>(o, n);
         }},
        {"return_weights", false, NoneMeans::invalid,
         [](RobustCall<F>& c, PyObject* o, const char* n) {
             c.options.return_weights = to_bool(o, n);
         }},
        {"merge_x_tol", false, NoneMeans::absent,
         [](RobustCall<F>& c, PyObject* o, const char* n) {
             c.options.merge_x_tol = o ? std::optional(to_float<F>(o, n)) : std::nullopt;
         }},
    }}};

template <class F>
PyObject* robust_irls(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    RobustCall<F> call;
    bind_call(kRobust<F>, args, nargsf, kwnames, call);
    const ArrayViews<F> in(call.arrays);
    TwoOutputs<F> outputs;
    raise_unless(
        robust::robust_irls_core<F>(in.x.span(), in.y_st, in.w_base_st, call.options, outputs));
    QB_ASSERT(outputs.z_st, "the robust driver returned without an output");
    if (!call.options.return_weights) return outputs.z_st.release();
    QB_ASSERT(outputs.w_total_st, "the robust driver returned no weights");
    return pair(std::move(outputs.z_st), std::move(outputs.w_total_st)).release();
}

}  // namespace

#define QB_ENTRY_POINT(name, body, F)                                                     \
    PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargsf,                   \
                   PyObject* kwnames) noexcept {                                          \
        return call_frame([&]() -> PyObject* { return body<F>(args, nargsf, kwnames); }); \
    }
QB_ENTRY_POINT(build_pb_f64, build_pb, double)
QB_ENTRY_POINT(build_pb_f32, build_pb, float)
QB_ENTRY_POINT(whittaker_solve_f64, whittaker_solve, double)
QB_ENTRY_POINT(whittaker_solve_f32, whittaker_solve, float)
QB_ENTRY_POINT(robust_whittaker_irls_f64, robust_irls, double)
QB_ENTRY_POINT(robust_whittaker_irls_f32, robust_irls, float)
#undef QB_ENTRY_POINT

}  // namespace quelbrin::bindings
