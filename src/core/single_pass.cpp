#include "core/single_pass.hpp"

#include <cmath>

#include "core/normalize.hpp"
#include "parallel/for_each_series.hpp"

namespace quelbrin::core {

namespace {

template <class F>
bool strictly_increasing(std::span<const F> x) {
    for (std::size_t i = 0; i + 1 < x.size(); ++i) {
        if (!(x[i + 1] > x[i])) return false;  // NaN fails too
    }
    return true;
}

}  // namespace

template <class F>
void solve_series(const SeriesContext<F>& context, std::size_t s, F* out_row,
                  SeriesScratch<F>& scratch) {
    const std::size_t T = context.y_st.cols;
    scratch.wts.resize(T);
    scratch.yv.resize(T);
    F* wts = scratch.wts.data();
    F* yv = scratch.yv.data();
    for (std::size_t t = 0; t < T; ++t) {
        const F y = context.y_st(s, t);
        const bool observed = std::isfinite(y);
        F w = F(0);
        if (observed) w = context.w_base_st ? (*context.w_base_st)(s, t) : F(1);
        wts[t] = w;
        yv[t] = (w > F(0) && observed) ? y : F(0);  // a NaN weight is not > 0
    }
    solve_banded(*context.band, wts, yv, context.lam, context.ridge, context.eps, out_row,
                 scratch.solve);
}

template <class F>
void solve_series(const SeriesContext<F>& context, std::size_t s, F* out_row) {
    SeriesScratch<F> scratch;
    solve_series(context, s, out_row, scratch);
}

template <class F>
Result<void> whittaker_solve_core(std::span<const F> x, const MatrixView<F>& y_st,
                                  const std::optional<MatrixView<F>>& w_base_st, F lam,
                                  std::uint64_t d, F ridge,
                                  std::optional<std::string_view> normalize, F eps,
                                  bool parallel, OutputSink<F> make_output) {
    const std::size_t T = x.size();
    const std::size_t S = y_st.rows;
    if (y_st.cols != T) return error("y_st shape must be (S,T) with T=len(x)");
    if (!strictly_increasing(x)) return error("x must be strictly increasing");

    const std::vector<F> positions =
        normalize ? normalize_x(x, normalize) : std::vector<F>(x.begin(), x.end());
    const PenaltyBand<F> band = build_penalty_band(std::span<const F>(positions), d, eps);

    if (w_base_st && (w_base_st->rows != S || w_base_st->cols != T)) {
        return error("w_base_st must match y_st shape");
    }

    F* z = make_output(S, T);
    if (S == 0 || T == 0) return {};  // nothing to solve: the zero-filled output stands

    const SeriesContext<F> context{y_st, w_base_st, &band, lam, ridge, eps};
    // One scratch per leaf: a leaf's series run one after another on one thread.
    parallel::for_each_series_range(parallel, S, T, [&](std::size_t lo, std::size_t hi) {
        SeriesScratch<F> scratch;
        for (std::size_t s = lo; s < hi; ++s) solve_series(context, s, z + s * T, scratch);
    });
    return {};
}

#define QB_INSTANTIATE(F)                                                                  \
    template Result<void> whittaker_solve_core<F>(                                         \
        std::span<const F>, const MatrixView<F>&, const std::optional<MatrixView<F>>&, F, \
        std::uint64_t, F, std::optional<std::string_view>, F, bool, OutputSink<F>);        \
    template void solve_series<F>(const SeriesContext<F>&, std::size_t, F*);               \
    template void solve_series<F>(const SeriesContext<F>&, std::size_t, F*, SeriesScratch<F>&);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
