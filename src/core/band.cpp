#include "core/band.hpp"

#include <algorithm>

#include "core/floor_eps.hpp"
#include "core/sizes.hpp"

namespace quelbrin::core {

namespace {

// min(2*d, T-1) for T >= 1, without forming 2*d (which overflows for d >= 2**63).
std::size_t stored_half_bandwidth(std::uint64_t d, std::size_t T) {
    const std::size_t last = T - 1;
    return d > last / 2 ? last : static_cast<std::size_t>(2 * d);
}

// The rows of D of order d >= 1 on T > d positions, flat: row r holds d+1 coefficients
// at r*(d+1).  Built order by order from order 1; only two orders exist at a time.
template <class F>
std::vector<F> difference_rows(std::span<const F> x, std::size_t d, F eps) {
    const std::size_t T = x.size();
    std::vector<F> old(checked_count<F>(T - 1, 2));
    for (std::size_t r = 0; r + 1 < T; ++r) {
        const F h = floor_eps(x[r + 1] - x[r], eps);
        old[2 * r] = F(-1) / h;
        old[2 * r + 1] = F(1) / h;
    }
    for (std::size_t j = 2; j <= d; ++j) {
        // Order j: T-j rows of j+1 coefficients from the T-j+1 rows of j coefficients.
        const std::size_t rows = T - j;
        std::vector<F> next(checked_count<F>(rows, j + 1), F(0));
        for (std::size_t r = 0; r < rows; ++r) {
            const F* lower = old.data() + r * j;        // old row r
            const F* upper = old.data() + (r + 1) * j;  // old row r+1
            F* c = next.data() + r * (j + 1);
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = c[m + 1] + upper[m];
                c[m] = c[m] - lower[m];
            }
            const F g = F(1) / floor_eps(x[r + j] - x[r], eps);
            for (std::size_t m = 0; m <= j; ++m) c[m] = c[m] * g;
        }
        old = std::move(next);
    }
    return old;
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
    const std::size_t T = x.size();
    if (T == 0) return band;
    band.kk = stored_half_bandwidth(d, T);
    band.values.assign(checked_count<F>(band.kk + 1, T), F(0));
    if (d == 0) {
        std::fill(band.values.begin(), band.values.end(), F(1));  // D is the identity
        return band;
    }
    if (d >= T) return band;

    const std::size_t order = static_cast<std::size_t>(d);
    const std::vector<F> rows = difference_rows(x, order, eps);
    F* pb = band.values.data();
    for (std::size_t r = 0; r + order < T; ++r) {
        const F* c = rows.data() + r * (order + 1);
        for (std::size_t l = 0; l <= order; ++l) {
            for (std::size_t m = 0; m <= l; ++m) {
                F& slot = pb[(l - m) * T + r + l];
                slot = slot + c[m] * c[l];
            }
        }
    }
    return band;
}

template PenaltyBand<float> build_penalty_band<float>(std::span<const float>, std::uint64_t,
                                                      float);
template PenaltyBand<double> build_penalty_band<double>(std::span<const double>, std::uint64_t,
                                                        double);

}  // namespace quelbrin::core
