#include "robust/irls.hpp"

#include <cmath>
#include <limits>

#include "core/solver.hpp"
#include "parallel/for_each_series.hpp"
#include "robust/scale.hpp"
#include "support/panic.hpp"

namespace quelbrin::robust {

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
    // Each pass ends for every series before the next begins; series never share rows.
    for (std::uint64_t it = 0; it < iterations; ++it) {
        parallel::for_each_series(parallel, S, T, [&](std::size_t s) {
            irls_step(in, s, std::span<F>(out.z.row(s), T), std::span<F>(wr.row(s), T),
                      std::span<F>(out.wt.row(s), T));
        });
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
