// The divided-difference penalty band P = D.T @ D.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quelbrin::core {

// Lower band of P: element (j, i) = P[i, i-j].  The nominal half-bandwidth is k = 2*d,
// but rows beyond T-1 can never hold a matrix element and rows beyond d are always zero,
// so only rows 0 .. stored_k() are kept, stored_k() = min(2*d, T-1) (0 when T = 0).
// Rows d+1 .. stored_k() are present and zero, so the solver can run its loops to
// min(k, ...) exactly as with the full band.  Nothing here is proportional to d itself.
template <class F>
struct PenaltyBand {
    std::vector<F> values;  // row-major (stored_k()+1, T)
    std::uint64_t d = 0;    // divided-difference order
    std::size_t T = 0;      // number of positions
    std::size_t kk = 0;     // stored_k()
    // The positions and spacing floor the band was built from: the exact system a solution
    // is refined against (core/refine.hpp) is formed from them, not from the rounded band.
    std::vector<F> positions;
    F eps{};

    std::size_t stored_k() const { return kk; }
    F operator()(std::size_t j, std::size_t i) const { return values[j * T + i]; }
    const F* row(std::size_t j) const { return values.data() + j * T; }
};

// Builds the band on positions x (T >= 0 values, normalised or not) with spacing floor
// eps.  With fewer than d+1 positions there is no difference row of order d and the band
// is all zero.
template <class F>
PenaltyBand<F> build_penalty_band(std::span<const F> x, std::uint64_t d, F eps);

}  // namespace quelbrin::core
