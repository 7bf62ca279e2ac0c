#include "core/band.hpp"

#include <algorithm>
#include <new>

#include "core/difference_rows.hpp"
#include "core/floor_eps.hpp"
#include "parallel/cancel.hpp"
#include "support/huge_pages.hpp"
#include "support/sizes.hpp"

namespace quelbrin::core {

namespace {

// min(2*d, T-1) for T >= 1, without forming 2*d (which overflows for d >= 2**63).
std::size_t stored_half_bandwidth(std::uint64_t d, std::size_t T) {
    const std::size_t last = T - 1;
    return d > last / 2 ? last : static_cast<std::size_t>(2 * d);
}

// Adds P = D.T @ D of order d >= 1 on T > d positions into the zero band pb: row r of D
// (difference_rows.hpp) is added to the band as soon as it is complete, so every band
// element sums its products in increasing r.
// Positions between two interruption points (a few milliseconds of work).
constexpr std::size_t kPositionsPerCheck = std::size_t{1} << 16;

template <class F, std::size_t Dc>
void add_penalty(std::span<const F> x, std::size_t d_runtime, F eps, F* pb) {
    const std::size_t T = x.size();
    DifferenceRows<F, Dc> rows(d_runtime);
    const std::size_t d = rows.order();
    for (std::size_t t = 1; t < T; ++t) {
        if (t % kPositionsPerCheck == 0) parallel::interruption_point();  // long grids
        const F* c = rows.advance(t, [x, t](std::size_t j) { return x[t - j]; }, eps);
        if (c == nullptr) continue;
        const std::size_t r = t - d;
        for (std::size_t l = 0; l <= d; ++l) {
            for (std::size_t m = 0; m <= l; ++m) {
                F& slot = pb[(l - m) * T + r + l];
                slot = slot + c[m] * c[l];
            }
        }
    }
}

}  // namespace

// Only rows 0 .. min(2d, T-1) are stored (see PenaltyBand).  With d >= T there is no
// difference row of order d, so the band is zero and the recurrence is not run at all:
// nothing here is proportional to d, whatever its size.
template <class F>
PenaltyBand<F> build_penalty_band(std::span<const F> x, std::uint64_t d, F eps) {
    PenaltyBand<F> band;
    band.d = d;
    band.T = x.size();
    band.positions.assign(x.begin(), x.end());
    band.eps = eps;
    const std::size_t T = x.size();
    if (T == 0) return band;
    band.kk = stored_half_bandwidth(d, T);
    assign_on_huge_pages(band.values, checked_count<F>(band.kk + 1, T), F(0));
    if (d == 0) {
        std::fill(band.values.begin(), band.values.end(), F(1));  // D is the identity
        return band;
    }
    if (d >= T) return band;

    F* const pb = band.values.data();
    switch (d) {
        case 1:
            add_penalty<F, 1>(x, 1, eps, pb);
            break;
        case 2:
            add_penalty<F, 2>(x, 2, eps, pb);
            break;
        case 3:
            add_penalty<F, 3>(x, 3, eps, pb);
            break;
        default:
            add_penalty<F, 0>(x, static_cast<std::size_t>(d), eps, pb);
            break;
    }
    return band;
}

template PenaltyBand<float> build_penalty_band<float>(std::span<const float>, std::uint64_t, float);
template PenaltyBand<double> build_penalty_band<double>(std::span<const double>, std::uint64_t,
                                                        double);

}  // namespace quelbrin::core
