#include "core/band.hpp"

#include <algorithm>
#include <new>

#include "core/floor_eps.hpp"
#include "core/huge_pages.hpp"
#include "core/sizes.hpp"

namespace quelbrin::core {

namespace {

// min(2*d, T-1) for T >= 1, without forming 2*d (which overflows for d >= 2**63).
std::size_t stored_half_bandwidth(std::uint64_t d, std::size_t T) {
    const std::size_t last = T - 1;
    return d > last / 2 ? last : static_cast<std::size_t>(2 * d);
}

// Adds P = D.T @ D of order d >= 1 on T > d positions into the zero band pb.  The rows of D
// are built order by order from order 1 (row r of order j from rows r and r+1 of order
// j-1), streaming over the positions: at position t, row t-j of every order j is formed,
// and row t-d of order d is added to the band at once.  Each order keeps its last two rows
// only, so the work storage is d(d+3) values whatever T is, and every coefficient and band
// element goes through the same operations in the same order as when whole orders are
// built one after the other.  Dc, when not 0, is d fixed at compile time (the common small
// orders), so that the short loops unroll and the rows stay in registers: the same
// operations in the same order.
template <class F, std::size_t Dc>
void add_penalty(std::span<const F> x, std::size_t d_runtime, F eps, F* pb) {
    const std::size_t d = Dc != 0 ? Dc : d_runtime;
    const std::size_t T = x.size();
    // Order j's two rows start at base[j]: base[j] = sum over i < j of 2 (i + 1), that is
    // j (j + 1) - 2 for j >= 1.
    std::size_t total = 0;
    for (std::size_t j = 1; j <= d; ++j) {
        const std::size_t add = checked_count<F>(2, j + 1);
        if (total + add < total) throw std::bad_alloc();
        total += add;
    }
    constexpr std::size_t kFixed = Dc != 0 ? Dc * (Dc + 3) : 1;
    F fixed[kFixed];
    std::vector<F> heap;
    if constexpr (Dc == 0) heap.resize(total);
    F* const ring = Dc != 0 ? fixed : heap.data();
    auto row = [ring](std::size_t j, std::size_t r) {
        return ring + (j * (j + 1) - 2) + (r & 1) * (j + 1);
    };
    for (std::size_t t = 1; t < T; ++t) {
        F* first = row(1, t - 1);
        const F h = floor_eps(x[t] - x[t - 1], eps);
        first[0] = F(-1) / h;
        first[1] = F(1) / h;
        for (std::size_t j = 2; j <= d && j <= t; ++j) {
            const std::size_t r = t - j;
            const F* lower = row(j - 1, r);
            const F* upper = row(j - 1, r + 1);
            F* c = row(j, r);
            for (std::size_t m = 0; m <= j; ++m) c[m] = F(0);
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = c[m + 1] + upper[m];
                c[m] = c[m] - lower[m];
            }
            const F g = F(1) / floor_eps(x[r + j] - x[r], eps);
            for (std::size_t m = 0; m <= j; ++m) c[m] = c[m] * g;
        }
        if (t < d) continue;
        const std::size_t r = t - d;
        const F* c = row(d, r);
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
        case 1: add_penalty<F, 1>(x, 1, eps, pb); break;
        case 2: add_penalty<F, 2>(x, 2, eps, pb); break;
        case 3: add_penalty<F, 3>(x, 3, eps, pb); break;
        default: add_penalty<F, 0>(x, static_cast<std::size_t>(d), eps, pb); break;
    }
    return band;
}

template PenaltyBand<float> build_penalty_band<float>(std::span<const float>, std::uint64_t,
                                                      float);
template PenaltyBand<double> build_penalty_band<double>(std::span<const double>, std::uint64_t,
                                                        double);

}  // namespace quelbrin::core
