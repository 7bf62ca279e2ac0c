#include "bindings/entry_points.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "bindings/arrays.hpp"
#include "bindings/call.hpp"
#include "core/arguments.hpp"
#include "core/band.hpp"
#include "core/normalize.hpp"
#include "core/single_pass.hpp"
#include "robust/driver.hpp"
#include "support/panic.hpp"

namespace quelbrin::bindings {
namespace {

constexpr const char* kBuildPbParams[] = {"x", "d", "normalize", "eps"};
constexpr const char* kSolveParams[] = {"x",     "y_st",      "w_base_st", "lam",     "d",
                                        "ridge", "normalize", "eps",       "parallel"};
constexpr const char* kRobustParams[] = {
    "x",     "y_st",      "w_base_st", "lam",      "d",      "iterations",     "weighting",
    "scale", "ridge",     "normalize", "eps",      "parallel", "tuning", "return_weights",
    "merge_x_tol"};

// The spacing floor of build_pb when eps is None or absent.
template <class F>
constexpr F default_band_eps() {
    if constexpr (std::is_same_v<F, float>)
        return 1e-6f;
    else
        return 1e-12;
}

Ref pair(Ref a, Ref b) { return checked(PyTuple_Pack(2, a.get(), b.get())); }

// Raises the ValueError of a failed argument check.
void raise_unless(const Result<void>& r) {
    if (!r) throw_value_error(r.error());
}

// At least two strictly increasing finite positions, as build_pb requires before it
// builds anything.
template <class F>
void check_band_positions(std::span<const F> x) {
    if (x.size() < 2) throw_value_error(error("x must have length >=2"));
    raise_unless(core::check_positions(x));
}

template <class F>
PyObject* build_pb(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames) {
    const auto slot = bind_slots<4>(sig, args, nargsf, kwnames);
    const InputArray x = to_array<F>(slot[0], 1, "x", MaskedEntries::flagged);
    const std::uint64_t d = slot.present(1) ? to_u64(slot[1], "d") : 2;
    std::optional<std::string_view> mode;
    if (slot.given(2)) mode = to_text(slot[2], "normalize");
    std::optional<F> given_eps;
    if (slot.given(3)) given_eps = to_float<F>(slot[3], "eps");

    const FlatArray<F> xs = flat<F>(x);
    raise_unless(core::check_positions_unmasked(x.had_masked));
    const std::span<const F> positions_in = xs.span();
    check_band_positions(positions_in);
    raise_unless(core::validate_band_arguments<F>(mode, given_eps));
    const F eps = given_eps.value_or(default_band_eps<F>());
    const std::size_t T = positions_in.size();

    // pb has 2d+1 rows: when that count cannot even be represented (or passed to NumPy)
    // the array could never be allocated, so say so before doing any work.
    if (d > (std::numeric_limits<std::uint64_t>::max() - 1) / 2) throw_memory_error();
    const std::uint64_t k = 2 * d;
    if (k >= static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max()))
        throw_memory_error();

    std::vector<F> normalized;
    std::span<const F> positions = positions_in;
    if (mode) {
        normalized = core::normalize_x<F>(positions_in, mode);
        positions = normalized;
    }
    const core::PenaltyBand<F> band = core::build_penalty_band<F>(positions, d, eps);
    const std::size_t stored_rows = band.stored_k() + 1;
    QB_ASSERT(band.T == T && band.stored_k() <= k && band.values.size() >= stored_rows * T,
              "build_penalty_band returned a band of the wrong shape");

    F* out = nullptr;
    Ref pb = new_zeros<F>(static_cast<std::size_t>(k) + 1, T, &out);
    // Rows beyond the stored ones are zero, as the fresh array already is.
    std::memcpy(out, band.values.data(), stored_rows * T * sizeof(F));
    return pair(std::move(pb), checked(PyLong_FromUnsignedLongLong(k))).release();
}

// The single (S, T) output of the single-pass core.
template <class F>
struct OneOutput {
    Ref array;
    F* operator()(std::size_t rows, std::size_t cols) {
        QB_ASSERT(!array, "the smoother asked for a second output");
        F* data = nullptr;
        array = new_zeros<F>(rows, cols, &data);
        return data;
    }
};

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

template <class F>
PyObject* whittaker_solve(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    const auto slot = bind_slots<9>(sig, args, nargsf, kwnames);
    const InputArray x = to_array<F>(slot[0], 1, "x", MaskedEntries::flagged);
    const InputArray y_st = to_array<F>(slot[1], 2, "y_st", MaskedEntries::missing);
    std::optional<InputArray> w_base_st;
    if (slot.given(2)) w_base_st = to_array<F>(slot[2], 2, "w_base_st", MaskedEntries::zero_weight);
    const F lam = slot.present(3) ? to_float<F>(slot[3], "lam") : F(10.0);
    const std::uint64_t d = slot.present(4) ? to_u64(slot[4], "d") : 2;
    const F ridge = slot.present(5) ? to_float<F>(slot[5], "ridge") : F(1e-10);
    std::optional<std::string_view> normalize = "mean";
    if (slot.present(6)) normalize = slot.given(6) ? std::optional(to_text(slot[6], "normalize"))
                                                   : std::nullopt;
    const F eps = slot.present(7) ? to_float<F>(slot[7], "eps") : F(1e-10);
    const bool parallel = slot.present(8) ? to_bool(slot[8], "parallel") : true;

    const FlatArray<F> xs = flat<F>(x);
    raise_unless(core::check_positions_unmasked(x.had_masked));
    std::optional<MatrixView<F>> w_view;
    if (w_base_st) w_view = matrix_view<F>(*w_base_st);
    OneOutput<F> output;
    const Result<void> r = core::whittaker_solve_core<F>(xs.span(), matrix_view<F>(y_st), w_view,
                                                         lam, d, ridge, normalize, eps, parallel,
                                                         output);
    raise_unless(r);
    QB_ASSERT(output.array, "the smoother returned without an output");
    return output.array.release();
}

template <class F>
PyObject* robust_irls(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                      PyObject* kwnames) {
    const auto slot = bind_slots<15>(sig, args, nargsf, kwnames);
    const InputArray x = to_array<F>(slot[0], 1, "x", MaskedEntries::flagged);
    const InputArray y_st = to_array<F>(slot[1], 2, "y_st", MaskedEntries::missing);
    std::optional<InputArray> w_base_st;
    if (slot.given(2)) w_base_st = to_array<F>(slot[2], 2, "w_base_st", MaskedEntries::zero_weight);

    robust::RobustOptions<F> o;
    o.lam = slot.present(3) ? to_float<F>(slot[3], "lam") : F(10.0);
    o.d = slot.present(4) ? to_u64(slot[4], "d") : 2;
    o.iterations = slot.present(5) ? to_u64(slot[5], "iterations") : 1;
    o.weighting = slot.present(6) ? to_text(slot[6], "weighting") : "tukey";
    o.scale = slot.present(7) ? to_text(slot[7], "scale") : "mad";
    o.ridge = slot.present(8) ? to_float<F>(slot[8], "ridge") : F(1e-10);
    o.normalize = "mean";
    if (slot.present(9))
        o.normalize =
            slot.given(9) ? std::optional(to_text(slot[9], "normalize")) : std::nullopt;
    o.eps = slot.present(10) ? to_float<F>(slot[10], "eps") : F(1e-10);
    o.parallel = slot.present(11) ? to_bool(slot[11], "parallel") : true;
    if (slot.given(12)) o.tuning = to_float_triple<F>(slot[12], "tuning");
    o.return_weights = slot.present(13) ? to_bool(slot[13], "return_weights") : false;
    // Absent means the default tolerance; None means no merging at all.
    o.merge_x_tol = F(0.01);
    if (slot.present(14))
        o.merge_x_tol =
            slot.given(14) ? std::optional(to_float<F>(slot[14], "merge_x_tol")) : std::nullopt;

    const FlatArray<F> xs = flat<F>(x);
    raise_unless(core::check_positions_unmasked(x.had_masked));
    std::optional<MatrixView<F>> w_view;
    if (w_base_st) w_view = matrix_view<F>(*w_base_st);
    TwoOutputs<F> outputs;
    const Result<void> r =
        robust::robust_irls_core<F>(xs.span(), matrix_view<F>(y_st), w_view, o, outputs);
    raise_unless(r);
    QB_ASSERT(outputs.z_st, "the robust driver returned without an output");
    if (!o.return_weights) return outputs.z_st.release();
    QB_ASSERT(outputs.w_total_st, "the robust driver returned no weights");
    return pair(std::move(outputs.z_st), std::move(outputs.w_total_st)).release();
}

constexpr Signature kBuildPbF64{"build_pb_f64", kBuildPbParams, 1};
constexpr Signature kBuildPbF32{"build_pb_f32", kBuildPbParams, 1};
constexpr Signature kSolveF64{"whittaker_solve_f64", kSolveParams, 2};
constexpr Signature kSolveF32{"whittaker_solve_f32", kSolveParams, 2};
constexpr Signature kRobustF64{"robust_whittaker_irls_f64", kRobustParams, 2};
constexpr Signature kRobustF32{"robust_whittaker_irls_f32", kRobustParams, 2};

}  // namespace

#define QB_ENTRY_POINT(name, body, F, sig)                                                   \
    PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargsf,                      \
                   PyObject* kwnames) noexcept {                                             \
        return call_frame([&]() -> PyObject* { return body<F>(sig, args, nargsf, kwnames); }); \
    }
QB_ENTRY_POINT(build_pb_f64, build_pb, double, kBuildPbF64)
QB_ENTRY_POINT(build_pb_f32, build_pb, float, kBuildPbF32)
QB_ENTRY_POINT(whittaker_solve_f64, whittaker_solve, double, kSolveF64)
QB_ENTRY_POINT(whittaker_solve_f32, whittaker_solve, float, kSolveF32)
QB_ENTRY_POINT(robust_whittaker_irls_f64, robust_irls, double, kRobustF64)
QB_ENTRY_POINT(robust_whittaker_irls_f32, robust_irls, float, kRobustF32)
#undef QB_ENTRY_POINT

}  // namespace quelbrin::bindings
