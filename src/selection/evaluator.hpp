// One series prepared for evaluation at many values of lam: its float64 weights and masked
// observations, its counts, and the sweep kernel of the best instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/band.hpp"
#include "core/kernels/batch.hpp"
#include "selection/criteria.hpp"
#include "selection/sweep_api.hpp"
#include "support/views.hpp"

namespace quelbrin::selection {

// The live half-bandwidth of the band: d, or 0 when there is no difference row of order d
// (d >= T; the band is then zero, or the identity for d = 0).
std::size_t live_bandwidth(const core::PenaltyBand<double>& band);

// Bytes of sweep work storage for T positions and half-bandwidth q (std::bad_alloc when
// not representable).
std::size_t sweep_work_bytes(std::size_t T, std::size_t q);

SweepFn best_sweep();

// The rows of D (order d) on the positions, row r's d + 1 coefficients at [r (d + 1)], as
// the band builder forms them; empty where the band's live half-bandwidth is 0.
std::vector<double> difference_matrix(std::span<const double> positions, std::uint64_t d,
                                      double eps);

// What one sweep must compute: edf (the diagonal of A^-1), the leave-one-out sum (with
// the inverse), log det A.
struct SweepNeeds {
    bool inverse = false;
    bool loo = false;
    bool logdet = false;
    bool penalty = false;  // ||Dz||^2 (the V-curve; REML's residual term)
};

// What criterion c needs at a point (always the inverse: the condition estimate reads its
// diagonal); `stats`: what the statistics at the choice need besides.
SweepNeeds needs_of(Criterion c, bool stats);

// Work storage of one leaf; the numbers never depend on what it held before.
struct EvaluatorScratch {
    std::vector<double> w, y;
    core::kernels::LargeBuffer work;
};

class Evaluator {
  public:
    // dcoef: difference_matrix of the band's positions.
    Evaluator(const core::PenaltyBand<double>& band, const std::vector<double>& dcoef, double ridge,
              double eps, EvaluatorScratch& scratch);

    // Takes series s: weight = base weight (1 without) where y is finite, else 0;
    // observation = y where finite and the weight is > 0, else 0 (the smoothers' rule),
    // promoted to float64 and divided by a power of two (counts().scale) that brings the
    // largest |observation| into [1, 2): every criterion's choice is invariant to that
    // scale, the division is exact, and no sum of squares overflows or underflows
    // whatever the data's magnitude.
    template <class F>
    void load(const MatrixView<F>& y_st, const MatrixView<F>* w_base, std::size_t s);

    const SeriesCounts& counts() const { return counts_; }
    const std::vector<double>& weights() const { return scratch_.w; }

    // Sums at lam[0 .. n) (n <= kSweepLanes; the remaining lanes repeat lam[0]), with what
    // `needs` asks for besides RSS, sum w y r and z'Pz; with diag (and needs.inverse), lane
    // 0's diagonal of A^-1.
    void sweep(const double* lam, std::size_t n, SweepNeeds needs, double* diag, SweepSums& out);

  private:
    const core::PenaltyBand<double>& band_;
    const std::vector<double>& dcoef_;
    std::size_t q_;
    double ridge_, eps_;
    EvaluatorScratch& scratch_;
    SweepFn fn_;
    SeriesCounts counts_;
};

}  // namespace quelbrin::selection
