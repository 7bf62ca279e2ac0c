#include "robust/driver.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/arguments.hpp"
#include "core/band.hpp"
#include "core/normalize.hpp"
#include "robust/irls.hpp"
#include "robust/merge.hpp"
#include "robust/weights.hpp"
#include "support/panic.hpp"

namespace quelbrin::robust {
namespace {

// The caller's base weights (or 1), with 0 at every non-finite observation.  Negative,
// zero and NaN base weights are kept as given; the IRLS decides what they mean.
template <class F>
Matrix<F> make_wbase_work(const MatrixView<F>& y, const std::optional<MatrixView<F>>& w_base) {
    Matrix<F> wb(y.rows, y.cols);
    for (std::size_t s = 0; s < y.rows; ++s) {
        for (std::size_t t = 0; t < y.cols; ++t) {
            const F base = w_base ? (*w_base)(s, t) : F(1);
            wb(s, t) = std::isfinite(y(s, t)) ? base : F(0);
        }
    }
    return wb;
}

// float32 acceptance test: no series may grow beyond 1e6 times its largest finite
// observation (at least 1), and every smoothed value and total weight must be finite.
bool accept_f32(const IrlsResult<float>& res, const MatrixView<float>& y_st) {
    for (std::size_t s = 0; s < res.z.rows; ++s) {
        float zmax = 0.0f;
        for (std::size_t g = 0; g < res.z.cols; ++g) {
            const float v = std::abs(res.z(s, g));
            if (std::isfinite(v) && v > zmax) zmax = v;
        }
        float ymax = 0.0f;
        for (std::size_t t = 0; t < y_st.cols; ++t) {
            const float v = std::abs(y_st(s, t));
            if (std::isfinite(v) && v > ymax) ymax = v;
        }
        if (zmax > (ymax > 1.0f ? ymax : 1.0f) * 1000000.0f) return false;
    }
    for (float v : res.z.data) {
        if (!std::isfinite(v)) return false;
    }
    for (float v : res.wt.data) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

Matrix<double> widen(const MatrixView<float>& m) {
    Matrix<double> out(m.rows, m.cols);
    for (std::size_t s = 0; s < m.rows; ++s) {
        for (std::size_t t = 0; t < m.cols; ++t) out(s, t) = static_cast<double>(m(s, t));
    }
    return out;
}

bool all_finite(const Matrix<float>& m) {
    for (float v : m.data) {
        if (!std::isfinite(v)) return false;
    }
    return true;
}

// Repeats the whole IRLS in float64 on the same (normalised) positions and inputs, widened
// exactly, and rounds the answer back to float32.  Fails when the rounded result is still
// not finite.
Result<void> refit_in_f64(IrlsResult<float>& res, const IrlsInputs<float>& in,
                          std::span<const float> positions, const RobustOptions<float>& o) {
    {
        const std::vector<double> pos64(positions.begin(), positions.end());
        const core::PenaltyBand<double> band64 = core::build_penalty_band<double>(
            std::span<const double>(pos64), o.d, static_cast<double>(o.eps));
        const Matrix<double> y64 = widen(in.y);
        const Matrix<double> wb64 = in.base_weights ? widen(*in.base_weights) : Matrix<double>();
        IrlsInputs<double> in64;
        in64.y = y64.view();
        if (in.base_weights) in64.base_weights = wb64.view();
        in64.zero_missing = in.zero_missing;
        in64.band = &band64;
        in64.lam = static_cast<double>(in.lam);
        in64.ridge = static_cast<double>(in.ridge);
        in64.eps = static_cast<double>(in.eps);
        in64.weighting = in.weighting;
        in64.constants = {static_cast<double>(in.constants.a),
                          static_cast<double>(in.constants.b),
                          static_cast<double>(in.constants.c)};
        in64.scale_name = in.scale_name;
        const IrlsResult<double> r64 = run_irls<double>(in64, o.iterations, o.parallel);
        for (std::size_t i = 0; i < r64.z.data.size(); ++i) {
            res.z.data[i] = static_cast<float>(r64.z.data[i]);
            res.wt.data[i] = static_cast<float>(r64.wt.data[i]);
        }
    }
    if (!all_finite(res.z) || !all_finite(res.wt)) {
        return error(
            "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase "
            "eps/ridge");
    }
    return {};
}

template <class F>
void copy_out(const Matrix<F>& m, F* dst) {
    if (!m.data.empty()) std::memcpy(dst, m.data.data(), m.data.size() * sizeof(F));
}

}  // namespace

template <class F>
Result<void> robust_irls_core(std::span<const F> x, const MatrixView<F>& y_st,
                              const std::optional<MatrixView<F>>& w_base_st,
                              const RobustOptions<F>& o, core::OutputSink<F> make_output) {
    const std::size_t T = x.size();
    if (y_st.cols != T) return error("y_st shape must be (S,T) with T=len(x)");
    const std::size_t S = y_st.rows;
    if (Result<void> r = core::check_positions(x); !r) return r;
    Result<Weighting> weighting = parse_weighting(o.weighting);
    if (!weighting) return weighting.error();
    if (Result<void> r = core::validate_robust_arguments(
            o.lam, o.iterations, o.scale, o.ridge, o.normalize, o.eps, o.tuning,
            reads_a_and_b(weighting.value()));
        !r)
        return r;
    const TuningConstants<F> constants =
        o.tuning ? TuningConstants<F>{(*o.tuning)[0], (*o.tuning)[1], (*o.tuning)[2]}
                 : default_tuning<F>(weighting.value());
    const F tol = o.merge_x_tol.value_or(F(0));
    if (T == 0) return error("x must have length >=2 after merging");

    const MergedGrid<F> grid = merge_groups(x, tol);
    const std::size_t Tm = grid.groups.size();
    if (Tm < 2) return error("x must have length >=2 after merging");
    // Compared as 64-bit integers: a huge d is rejected here, before anything is sized by it.
    if (static_cast<std::uint64_t>(Tm) <= o.d) return error("x must have length > d after merging");
    for (std::size_t g = 1; g < Tm; ++g) {
        if (!(grid.x[g] > grid.x[g - 1])) {
            return error("x must be strictly increasing after merging");
        }
    }
    // Normalisation and band building report nothing, so testing the base-weight shape
    // before them reports the same message while doing no work for a doomed call.
    if (w_base_st && (w_base_st->rows != S || w_base_st->cols != T)) {
        return error("w_base_st must match y_st shape");
    }
    if (Result<void> r = core::check_base_weights(y_st, w_base_st); !r) return r;

    const std::vector<F> positions =
        core::normalize_x<F>(std::span<const F>(grid.x), o.normalize);
    const core::PenaltyBand<F> band =
        core::build_penalty_band<F>(std::span<const F>(positions), o.d, o.eps);
    // Without a group of two or more the IRLS reads the caller's observations and base
    // weights directly (the base weight of a missing observation taken as 0 on the fly);
    // merging builds the merged series from the cleared base weights.
    const bool merging = Tm < T;
    Matrix<F> wbase_work;
    std::optional<MergedSeries<F>> merged;
    if (merging) {
        wbase_work = make_wbase_work(y_st, w_base_st);
        merged = merge_series(y_st, wbase_work.view(), grid.groups);
    }
    IrlsInputs<F> in;
    if (merging) {
        in.y = merged->y.view();
        in.base_weights = merged->w.view();
    } else {
        in.y = y_st;
        in.base_weights = w_base_st;
        in.zero_missing = true;
    }
    in.band = &band;
    in.lam = o.lam;
    in.ridge = o.ridge;
    in.eps = o.eps;
    in.weighting = weighting.value();
    in.constants = constants;
    in.scale_name = o.scale;
    if constexpr (std::is_same_v<F, double>) {
        if (!merging) {
            // In float64 no error can follow the IRLS, so the outputs are created first and
            // the steps write their final rows straight into them.
            F* const z = make_output(S, T);
            F* const wt = o.return_weights ? make_output(S, T) : nullptr;
            run_irls_into(in, o.iterations, o.parallel, RowMajor<F>{z, S, T}, wt);
            return {};
        }
    }
    IrlsResult<F> res = run_irls(in, o.iterations, o.parallel);

    if constexpr (std::is_same_v<F, float>) {
        if (!accept_f32(res, y_st)) {
            Result<void> refit = refit_in_f64(res, in, std::span<const float>(positions), o);
            if (!refit) return refit;
        }
    }

    if (merging) {
        QB_ASSERT(merged.has_value(), "wbase_work must exist when merging");
        res = expand_results(res.z, res.wt, merged->w, wbase_work.view(), grid.groups);
    }

    // No error can follow: only now do the outputs exist.
    copy_out(res.z, make_output(S, T));
    if (o.return_weights) copy_out(res.wt, make_output(S, T));
    return {};
}

#define QB_INSTANTIATE(F)                                                                \
    template Result<void> robust_irls_core<F>(std::span<const F>, const MatrixView<F>&,  \
                                              const std::optional<MatrixView<F>>&,       \
                                              const RobustOptions<F>&, core::OutputSink<F>);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
