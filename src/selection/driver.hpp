// The automatic smoother behind quelbrin_auto.smooth_f32 / smooth_f64: validation, the
// choice of lam per series, the final fit by the single-pass core and the statistics.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/single_pass.hpp"
#include "selection/search.hpp"
#include "support/function_ref.hpp"
#include "support/result.hpp"
#include "support/views.hpp"

namespace quelbrin::selection {

// What lam is: a criterion name, one number for every series, or one number per series.
struct LamChoice {
    enum class Kind { name, value, per_series };
    Kind kind = Kind::name;
    std::string_view name;               // Kind::name
    double value = 0;                    // Kind::value (already rounded to the element type)
    std::span<const double> per_series;  // Kind::per_series
};

template <class F>
struct AutoOptions {
    LamChoice lam;
    std::span<const double> lam_bounds;  // (lower, upper) when valid
    std::uint64_t d = 2;
    F ridge{};
    std::optional<std::string_view> normalize;
    F eps{};
    bool parallel = true;
    bool uncertainty = false;
};

// Rows of the statistics output, one column per series.
enum StatRow : std::size_t { kLam, kEdf, kScore, kSigma, kAtBound, kStatRows };

template <class F>
struct AutoOutputs {
    core::OutputSink<F> z;                                 // (S, T)
    FunctionRef<double*(std::size_t, std::size_t)> stats;  // (kStatRows, S)
    std::optional<core::OutputSink<F>> leverage;           // (S, T), with uncertainty
    std::optional<core::OutputSink<F>> se;                 // (S, T), with uncertainty
};

// Validates exactly as the single-pass smoother does (its own checks, its messages, in
// its order), then lam and lam_bounds, the V-curve's lower bound against the ridge, and the
// base weights (finite and not negative where y is observed).  For every series s, z[s]
// is what whittaker_solve_core gives for that series alone with lam = the returned lam[s]
// (as F): the final fit is that call.  The choice, edf, score, sigma and the uncertainty
// are computed in float64 (on the promoted data for F = float), at the returned lam.
// A series whose final fit fails the trust rule does not fail the call: its row of z, its
// statistics (lam included) and its uncertainty are NaN; a NaN lam marks exactly those
// rows (the caller warns).
template <class F>
Result<void> smooth_auto_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const AutoOptions<F>& options, AutoOutputs<F>& outputs);

}  // namespace quelbrin::selection
