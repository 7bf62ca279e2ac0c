// Smoothers that re-weight their observations between fits and choose lam per series at
// every fit: the asymmetric (envelope / baseline) smoother behind quelbrin_auto.envelope_*
// and the robust smoother behind quelbrin_auto.smooth_*(robust=...).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "selection/driver.hpp"

namespace quelbrin::selection {

// How the weights of the next fit follow from the last one.
template <class F>
struct ReweightRule {
    enum class Kind { asymmetric, robust };
    Kind kind = Kind::asymmetric;
    // asymmetric: base weight x p where y > z, x (1 - p) elsewhere; 0 < p < 1.
    double p = 0.9;
    // robust: the weighting, its constants and the scale of robust_whittaker_irls_*.
    std::string_view weighting = "tukey";
    std::string_view scale = "mad";
    std::optional<std::array<F, 3>> tuning;
};

template <class F>
struct ReweightOptions {
    AutoOptions<F> fit;             // lam (a criterion, a number, one per series), bounds, ...
    std::uint64_t iterations = 10;  // fits per series at most
    ReweightRule<F> rule;
};

template <class F>
struct ReweightOutputs {
    AutoOutputs<F> fit;           // z, the statistics at the last lam, the uncertainty
    core::OutputSink<F> weights;  // (S, T): the weights of every series' last fit
};

// For every series: the counted observations (finite y, base weight > 0; the base weight
// is 1 without w_base_st) that are gross (selection/gross.hpp) get weight 0 for good; then
// the series is fitted up to `iterations` times, the rule giving the next weights from each
// fit.  lam (a criterion) is chosen on the weights the fit is about to use: before every fit
// by the robust rule, and by the asymmetric rule at the first fit and whenever its weights
// have settled at the current lam.  A series stops early when its weights repeat and lam
// was chosen on them (every later fit would repeat the last).
//
// The last fit of series s is, bit for bit, the single-pass smoother on that series alone
// with w_base = weights[s] and lam = stats lam[s] (as F); weights[s] is 0 wherever the
// observation does not count.  The statistics and the uncertainty are those of that fit
// (as smooth_auto_core reports them).  Validation: smooth_auto_core's, then p (asymmetric)
// or the weighting, iterations, scale and tuning (robust), then iterations.
template <class F>
Result<void> reweighted_core(std::span<const F> x, const MatrixView<F>& y_st,
                             const std::optional<MatrixView<F>>& w_base_st,
                             const ReweightOptions<F>& options, ReweightOutputs<F>& outputs);

}  // namespace quelbrin::selection
