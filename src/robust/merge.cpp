#include "robust/merge.hpp"

#include <cmath>

#include "core/observation.hpp"
#include "parallel/cancel.hpp"
#include "support/panic.hpp"

namespace quelbrin::robust {
namespace {

// Series merged or expanded between two interruption points of a cancellable call.
constexpr std::size_t kSeriesPerCheck = 64;

}  // namespace

template <class F>
MergedGrid<F> merge_groups(std::span<const F> x, F tol) {
    const std::size_t T = x.size();
    MergedGrid<F> out;
    if (!(tol > F(0))) {
        out.groups.reserve(T);
        for (std::size_t i = 0; i < T; ++i) out.groups.push_back({i, i + 1});
        out.x.assign(x.begin(), x.end());
        return out;
    }
    for (std::size_t start = 0; start < T;) {
        std::size_t end = start + 1;
        // Compared with the left neighbour, in F; a NaN difference ends the group.
        while (end < T && tol >= x[end] - x[end - 1]) ++end;
        double sum = 0.0;
        for (std::size_t i = start; i < end; ++i) sum += static_cast<double>(x[i]);
        out.groups.push_back({start, end});
        out.x.push_back(static_cast<F>(sum / static_cast<double>(end - start)));
        start = end;
    }
    return out;
}

template <class F>
MergedSeries<F> merge_series(const MatrixView<F>& y, const MatrixView<F>& wbase_work,
                             std::span<const MergeGroup> groups) {
    const std::size_t S = y.rows;
    QB_ASSERT(wbase_work.rows == S && wbase_work.cols == y.cols,
              "merge_series: base weights do not match the observations");
    MergedSeries<F> out{Matrix<F>(S, groups.size()), Matrix<F>(S, groups.size())};
    for (std::size_t s = 0; s < S; ++s) {
        if (s % kSeriesPerCheck == 0) parallel::interruption_point();
        for (std::size_t g = 0; g < groups.size(); ++g) {
            double total = 0.0;
            double acc = 0.0;
            for (std::size_t t = groups[g].start; t < groups[g].end; ++t) {
                const F yv = y(s, t);
                const F w = wbase_work(s, t);
                // Only a finite weight can be summed: an infinite one does not count here.
                if (core::observation::counts(yv, w) && core::observation::finite(w)) {
                    total += static_cast<double>(w);
                    acc += static_cast<double>(yv) * static_cast<double>(w);
                }
            }
            if (total > 0.0) {
                out.y(s, g) = static_cast<F>(acc / total);
                out.w(s, g) = static_cast<F>(total);
            }
        }
    }
    return out;
}

template <class F>
IrlsResult<F> expand_results(const Matrix<F>& z_m, const Matrix<F>& wt_m, const Matrix<F>& w_m,
                             const MatrixView<F>& wbase_work, std::span<const MergeGroup> groups) {
    const std::size_t S = wbase_work.rows;
    const std::size_t T = wbase_work.cols;
    QB_ASSERT(z_m.rows == S && wt_m.rows == S && w_m.rows == S && z_m.cols == groups.size() &&
                  wt_m.cols == groups.size() && w_m.cols == groups.size(),
              "expand_results: merged results do not match the groups");
    QB_ASSERT(groups.empty() ? T == 0 : groups.back().end == T,
              "expand_results: groups do not cover the grid");
    IrlsResult<F> out{Matrix<F>(S, T), Matrix<F>(S, T)};
    for (std::size_t s = 0; s < S; ++s) {
        if (s % kSeriesPerCheck == 0) parallel::interruption_point();
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const F zg = z_m(s, g);
            const F wm = w_m(s, g);
            const F wtg = wt_m(s, g);
            for (std::size_t t = groups[g].start; t < groups[g].end; ++t) {
                out.z(s, t) = zg;
                out.wt(s, t) = wm > F(0) ? (wbase_work(s, t) / wm) * wtg : F(0);
            }
        }
    }
    return out;
}

#define QB_INSTANTIATE(F)                                                                          \
    template MergedGrid<F> merge_groups<F>(std::span<const F>, F);                                 \
    template MergedSeries<F> merge_series<F>(const MatrixView<F>&, const MatrixView<F>&,           \
                                             std::span<const MergeGroup>);                         \
    template IrlsResult<F> expand_results<F>(const Matrix<F>&, const Matrix<F>&, const Matrix<F>&, \
                                             const MatrixView<F>&, std::span<const MergeGroup>);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
