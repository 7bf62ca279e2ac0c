// Banded symmetric solver: (diag(w) + lam*P + ridge*I) z = w*y by banded Cholesky.
#pragma once

#include <vector>

#include "core/band.hpp"

namespace quelbrin::core {

// Work storage of solve_banded.  It may be kept across calls (one per thread or per
// leaf of a parallel section) to save allocations: every element a solve reads is written
// earlier in the same solve, so the numbers never depend on what a previous call left.
template <class F>
struct SolveScratch {
    std::vector<F> factor;  // L in the band layout: (stored_k()+1, T), (j, i) = L[i, i-j]
    std::vector<F> rhs;     // T: w*y, then the forward solution, then z
    // The float32 variant's float64 re-solve (left empty by the float64 variant).
    std::vector<double> factor64;
    std::vector<double> rhs64;
};

// w, y: band.T values (y already masked by the caller); out: band.T slots.
// float: checks its own result and re-solves in double when it is not reliable.
// The first form allocates its own work storage; the second uses the caller's and, float64
// only, can give the doubt indicator of refinement (core/refine.hpp) in *doubtful.
template <class F>
void solve_banded(const PenaltyBand<F>& band, const F* w, const F* y, F lam, F ridge, F eps,
                  F* out);
template <class F>
void solve_banded(const PenaltyBand<F>& band, const F* w, const F* y, F lam, F ridge, F eps, F* out,
                  SolveScratch<F>& scratch, bool* doubtful = nullptr);

}  // namespace quelbrin::core
