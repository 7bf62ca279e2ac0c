// Extra-precise refinement of float64 solutions that the factorisation cannot vouch for.
//
// Cholesky on the normal equations squares the condition number: long unobserved stretches
// (a sensor started late, a season without images) and extreme lam leave a float64 answer
// that is rounding noise in places while it stays bounded.  A series the indicator below
// flags is refined against the exact system of the definition on the float64 positions,
// A = diag(w) + lam D'D + ridge I with D the divided differences of those positions,
// formed and applied in double-double: iterative refinement with residuals in double-double
// and corrections from a float64 factor, or, where that does not contract, a double-double
// banded factorisation.  A flagged series that was already accurate keeps its bits; a
// series that cannot be made accurate is an error naming its row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/band.hpp"
#include "core/double_double.hpp"
#include "support/result.hpp"

namespace quelbrin::core {

// The doubt indicator, judged column by column during the factorisation (block_kernel.hpp,
// long_series.cpp).  A series is flagged when
// - a pivot keeps less than kPivotShare of the diagonal it started from (before the square
//   root and the floor): the elimination cancelled that many digits; large lam and
//   trailing gaps show up here;
// - or kUnobservedRun(d) positions in a row have no weight > 0: the polynomials the penalty
//   does not see are pinned only from the ends of the stretch, and the factorisation,
//   running forward, does not show it in its pivots (a leading gap keeps them healthy).
// Tuned on an ill-conditioned corpus so that no series whose float64 error exceeds the
// promise goes unflagged, with a margin of more than 10 on either test; ordinary series (lam up to
// about 1e4, short gaps) stay clear of both.
constexpr double kPivotShare = 1e-6;
constexpr double unobserved_run_limit(std::uint64_t d) {
    return d <= 1 ? 1e300 : d == 2 ? 8.0 : d == 3 ? 3.0 : 2.0;
}

// The scalar form of the indicator for one column: a = the pivot before the floor, a0 =
// the diagonal it started from (pb * lam + w + ridge), run = unobserved positions so far.
// (run >= run_limit for whole numbers, written as the kernels test it.)
inline bool doubtful_column(double a, double a0, double run, double run_limit) {
    return kPivotShare * a0 > a || run > run_limit - 0.5;
}

// The accuracy promised for a refined series: max|z - exact| <= kRefineTolerance * max(max
// |observed y|, max |exact z|).  Refinement stops when a correction is below
// kRefineConverged of max|z|; a flagged series whose refined value moves by less than
// kRefineKeep of that scale keeps its float64 bits.
constexpr double kRefineTolerance = 1e-8;
constexpr double kRefineConverged = 1e-12;
constexpr double kRefineKeep = 1e-10;

enum class Refinement { kept, refined, failed };

// The exact penalty P = D'D of a band's positions in double-double, built once on first
// need and then shared read-only by every series of the call.
class ExactPenalty {
  public:
    explicit ExactPenalty(const PenaltyBand<double>& band) : band_(&band) {}
    const PenaltyBand<double>& band() const { return *band_; }
    // Rows 0 .. live() of P, (live() + 1, T): element (j, i) = P[i, i - j].
    const std::vector<DoubleDouble>& rows() const;
    std::size_t live() const;

  private:
    const PenaltyBand<double>* band_;
    mutable std::once_flag built_;
    mutable std::vector<DoubleDouble> rows_;
};

// Work storage of one thread's refinements, reused series after series.
struct RefineWork {
    std::vector<DoubleDouble> A, L, z, r, b;
    std::vector<double> L64, r64, z64;
};

// Refines the float64 solution z of (diag(w) + lam P + ridge I) z = w y (y masked) in
// place.  kept: z was already accurate and is untouched; refined: z now holds the refined
// solution rounded to float64; failed: neither the float64 factor nor the double-double one
// could reach the tolerance (z holds the float64 solution).  The band must carry its
// positions (build_penalty_band stores them).
Refinement refine_series(const ExactPenalty& exact, const double* w, const double* y, double lam,
                         double ridge, double eps, double* z, RefineWork& work);

// The error of a series that cannot be made accurate.
constexpr const char* kNotRefined =
    "the smoothed result cannot be computed to 1e-8 of the data even with extra-precise "
    "refinement: the system is too ill-conditioned (long stretches without observations at a "
    "high order d, or an extreme lam or weights); use a smaller lam or d, a larger ridge, or "
    "leave out series with too few observations";

// " (row r; n rows fail)": what an error caused by individual series appends to its text.
std::string failing_rows(std::size_t first_row, std::size_t count);

// The series of a call that cannot be handed out: the lowest row with its cause, and how
// many (a row reported again, by a later step or check, counts once).  Series are judged
// on any thread in any order; the error names the same row.
class FailedRows {
  public:
    // not_refined: the series could not be refined (kNotRefined); otherwise its result is
    // not trusted (kUntrustedResult, core/trust.hpp).
    void keep(std::size_t s, bool not_refined);
    bool any() const;
    Result<void> outcome() const;

  private:
    mutable std::mutex mutex_;
    std::map<std::size_t, bool> rows_;  // row -> its first cause (not_refined)
};

}  // namespace quelbrin::core
