#include "robust/irls.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "core/solver.hpp"
#include "parallel/for_each_series.hpp"
#include "robust/scale.hpp"
#include "support/panic.hpp"

namespace quelbrin::robust {
namespace {

// Pass from which run_irls starts looking for cycles longer than one step; shorter runs
// (the usual iteration counts) never pay for the saved rows.
constexpr std::uint64_t kWatchFrom = 16;

// Brent's cycle detection on one series' robust-weight rows: keeps one saved row, taken
// at steps whose distance doubles, and compares every later row with it.  A match means
// the rows repeat with the distance as period.
template <class F>
struct CycleWatch {
    std::vector<F> saved;
    std::uint64_t saved_at = 0;
    std::uint64_t power = 0;

    // Sees the row after step k; returns the period when it repeats the saved row, else 0.
    std::uint64_t observe(const F* row, std::size_t T, std::uint64_t k) {
        if (!saved.empty() && std::memcmp(saved.data(), row, T * sizeof(F)) == 0)
            return k - saved_at;
        if (saved.empty() || k - saved_at == power) {
            saved.assign(row, row + T);
            saved_at = k;
            power = power == 0 ? 1 : 2 * power;
        }
        return 0;
    }
};

}  // namespace

template <class F>
void irls_step(const IrlsInputs<F>& in, std::size_t s, std::span<F> z_row, std::span<F> wr_row,
               std::span<F> wt_row) {
    const std::size_t T = in.y.cols;
    QB_ASSERT(z_row.size() == T && wr_row.size() == T && wt_row.size() == T,
              "irls_step: row length does not match the series length");
    std::vector<F> G(T), y_masked(T), r(T);
    std::vector<std::uint8_t> usable(T);

    // Total weights of this solve; an observation is usable when it is finite and its total
    // weight is > 0 (a NaN weight is not).  Negative, -0.0 and NaN totals still reach the
    // solver; only the masked observation is cleared.
    for (std::size_t i = 0; i < T; ++i) {
        const F yi = in.y(s, i);
        const F g = in.base_weights(s, i) * wr_row[i];
        G[i] = g;
        wt_row[i] = g;
        const bool u = std::isfinite(yi) && g > F(0);
        usable[i] = u ? 1 : 0;
        y_masked[i] = u ? yi : F(0);
    }

    core::solve_banded(*in.band, G.data(), y_masked.data(), in.lam, in.ridge, in.eps,
                       z_row.data());

    for (std::size_t i = 0; i < T; ++i) {
        r[i] = usable[i] ? in.y(s, i) - z_row[i] : std::numeric_limits<F>::quiet_NaN();
    }
    const F sc = residual_scale(std::span<const F>(r), std::span<const std::uint8_t>(usable),
                                in.scale_name, in.eps);
    for (std::size_t i = 0; i < T; ++i) {
        wr_row[i] = usable[i] ? robust_weight(in.weighting, in.constants, r[i], sc) : F(0);
    }
}

template <class F>
IrlsResult<F> run_irls(const IrlsInputs<F>& in, std::uint64_t iterations, bool parallel) {
    const std::size_t S = in.y.rows;
    const std::size_t T = in.y.cols;
    QB_ASSERT(in.base_weights.rows == S && in.base_weights.cols == T,
              "run_irls: base weights do not match the observations");
    QB_ASSERT(in.band != nullptr && in.band->T == T, "run_irls: band built for another grid");

    IrlsResult<F> out{Matrix<F>(S, T), Matrix<F>(S, T)};
    Matrix<F> wr(S, T);
    // An observation starts with robust weight 1 when it is finite and its base weight is
    // > 0; everything else is excluded from the first solve on.
    for (std::size_t s = 0; s < S; ++s) {
        for (std::size_t i = 0; i < T; ++i) {
            wr(s, i) = (std::isfinite(in.y(s, i)) && in.base_weights(s, i) > F(0)) ? F(1) : F(0);
        }
    }

    // With no series every pass is empty: skip them rather than spin through up to 2^64
    // empty sections.
    if (S == 0) return out;

    // A step is a pure function of the series' robust-weight row wr[s] (everything else it
    // reads is fixed for the call), and it rewrites z[s], wt[s] and wr[s] from that row
    // alone.  So the rows after step n depend only on wr[s] after step n-1, bit for bit:
    //  - once a step leaves wr[s] bitwise unchanged (NaN payloads and -0.0 compared
    //    exactly), every later step repeats it: the series is settled;
    //  - more generally, once wr[s] after step k equals wr[s] after an earlier step j, the
    //    series cycles with period p = k - j, and step k + m*p produces what step k does,
    //    so only (iterations - k) mod p further steps are needed.
    // Each series therefore has its own last step `stop_at[s]` (iterations, until a repeat
    // is seen), and the loop ends when every series is past its own.  The numbers are
    // those of running every step; a huge iteration count on data that settles or falls
    // into a rounding-level cycle costs only the steps before the repeat is found.  A
    // series that never repeats still runs all its steps.
    const std::uint64_t N = iterations;
    std::vector<std::uint64_t> stop_at(S, N);
    std::vector<CycleWatch<F>> watch;  // allocated only for long runs
    std::size_t lo = 0;                // [lo, hi): the span of series still running
    std::size_t hi = S;
    // Each pass ends for every series before the next begins; series never share rows.
    for (std::uint64_t it = 0; it < N && lo < hi; ++it) {
        const std::uint64_t k = it + 1;  // the step this pass performs
        if (k == kWatchFrom) watch.resize(S);
        parallel::for_each_series_range(parallel, hi - lo, T, [&](std::size_t a, std::size_t b) {
            std::vector<F> before(T);
            for (std::size_t s = lo + a; s < lo + b; ++s) {
                if (stop_at[s] < k) continue;  // finished
                F* wr_row = wr.row(s);
                std::memcpy(before.data(), wr_row, T * sizeof(F));
                irls_step(in, s, std::span<F>(out.z.row(s), T), std::span<F>(wr_row, T),
                          std::span<F>(out.wt.row(s), T));
                if (stop_at[s] != N) continue;  // a repeat was already found
                if (std::memcmp(before.data(), wr_row, T * sizeof(F)) == 0) {
                    stop_at[s] = k;  // settled
                } else if (!watch.empty()) {
                    const std::uint64_t period = watch[s].observe(wr_row, T, k);
                    if (period != 0) stop_at[s] = k + (N - k) % period;
                }
            }
        });
        while (lo < hi && stop_at[lo] <= k) ++lo;
        while (hi > lo && stop_at[hi - 1] <= k) --hi;
    }
    return out;
}

#define QB_INSTANTIATE(F)                                                                     \
    template void irls_step<F>(const IrlsInputs<F>&, std::size_t, std::span<F>, std::span<F>, \
                               std::span<F>);                                                 \
    template IrlsResult<F> run_irls<F>(const IrlsInputs<F>&, std::uint64_t, bool);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
