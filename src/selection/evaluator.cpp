#include "selection/evaluator.hpp"

#include <cmath>

#include "core/difference_rows.hpp"
#include "support/sizes.hpp"

namespace quelbrin::selection {

std::size_t live_bandwidth(const core::PenaltyBand<double>& band) {
    return band.d < band.T ? static_cast<std::size_t>(band.d) : 0;
}

std::size_t sweep_work_bytes(std::size_t T, std::size_t q) {
    // L (T q), 1/pivot (T), substitution (T), ring of A^-1's band ((q + 1)^2), in vectors.
    const std::size_t per_row = q + 2;
    if (per_row < q) throw std::bad_alloc();
    std::size_t vectors = checked_count<double>(T, per_row);
    const std::size_t ring = checked_count<double>(q + 1, q + 1);
    if (vectors + ring < vectors) throw std::bad_alloc();
    vectors += ring;
    return checked_count<double>(vectors, kSweepLanes) * sizeof(double);
}

std::vector<double> difference_matrix(std::span<const double> positions, std::uint64_t d,
                                      double eps) {
    const std::size_t T = positions.size();
    std::vector<double> out;
    if (d == 0 || d >= T) return out;
    out.reserve(checked_count<double>(T - d, d + 1));
    core::DifferenceRows<double, 0> rows(d);
    for (std::size_t t = 1; t < T; ++t) {
        const double* row = rows.advance(t, [&](std::size_t j) { return positions[t - j]; }, eps);
        if (row != nullptr) out.insert(out.end(), row, row + d + 1);
    }
    return out;
}

SweepFn best_sweep() {
    using core::kernels::Isa;
    static const SweepFn fn = [] {
        switch (core::kernels::best_isa()) {
            case Isa::avx512:
                return sweep_set_avx512().sweep;
            case Isa::avx2:
                return sweep_set_avx2().sweep;
            case Isa::baseline:
                break;
        }
        return sweep_set_baseline().sweep;
    }();
    return fn;
}

Evaluator::Evaluator(const core::PenaltyBand<double>& band, const std::vector<double>& dcoef,
                     double ridge, double eps, EvaluatorScratch& scratch)
    : band_(band),
      dcoef_(dcoef),
      q_(live_bandwidth(band)),
      ridge_(ridge),
      eps_(eps),
      scratch_(scratch),
      fn_(best_sweep()) {
    scratch_.w.resize(band.T);
    scratch_.y.resize(band.T);
    scratch_.work.reserve(sweep_work_bytes(band.T, q_));
    counts_.T = static_cast<double>(band.T);
    counts_.d = static_cast<double>(band.d);
}

template <class F>
void Evaluator::load(const MatrixView<F>& y_st, const MatrixView<F>* w_base, std::size_t s) {
    double m = 0, wsum = 0;
    for (std::size_t t = 0; t < band_.T; ++t) {
        const F v = y_st(s, t);
        const bool finite = std::isfinite(v);
        F wt = F(0);
        if (finite) wt = w_base ? (*w_base)(s, t) : F(1);
        const bool observed = finite && wt > F(0);
        scratch_.w[t] = static_cast<double>(wt);
        scratch_.y[t] = observed ? static_cast<double>(v) : 0.0;
        if (observed) {
            m += 1;
            wsum += static_cast<double>(wt);
        }
    }
    counts_.m = m;
    counts_.wsum = wsum;
    double largest = 0;
    for (std::size_t t = 0; t < band_.T; ++t)
        largest = std::fmax(largest, std::fabs(scratch_.y[t]));
    const int e = largest > 0 && std::isfinite(largest) ? std::ilogb(largest) : 0;
    counts_.scale = std::ldexp(1.0, e);
    if (e != 0)
        for (std::size_t t = 0; t < band_.T; ++t) scratch_.y[t] = std::ldexp(scratch_.y[t], -e);
}

SweepNeeds needs_of(Criterion c, bool stats) {
    SweepNeeds n;
    // Every criterion's sweep computes the inverse: its diagonal is the half of the
    // condition estimate that sees a poorly determined stretch (a long extrapolation), and
    // without it a value there would pass for trusted.
    (void)stats;
    n.inverse = true;
    n.loo = c == Criterion::loocv;
    n.logdet = c == Criterion::reml;
    n.penalty = c == Criterion::reml || c == Criterion::vcurve;
    return n;
}

void Evaluator::sweep(const double* lam, std::size_t n, SweepNeeds needs, double* diag,
                      SweepSums& out) {
    SweepInput in{};
    in.pb = band_.values.data();
    in.T = band_.T;
    in.q = q_;
    in.w = scratch_.w.data();
    in.y = scratch_.y.data();
    in.ridge = ridge_;
    in.eps = eps_;
    for (std::size_t l = 0; l < kSweepLanes; ++l) in.lam[l] = lam[l < n ? l : 0];
    in.inverse = needs.inverse;
    in.loo = needs.loo;
    in.logdet = needs.logdet;
    in.penalty = needs.penalty;
    in.dcoef = dcoef_.empty() ? nullptr : dcoef_.data();
    in.diag = needs.inverse ? diag : nullptr;
    in.work = scratch_.work.reserve(sweep_work_bytes(band_.T, q_));
    fn_(in, out);
}

template void Evaluator::load<float>(const MatrixView<float>&, const MatrixView<float>*,
                                     std::size_t);
template void Evaluator::load<double>(const MatrixView<double>&, const MatrixView<double>*,
                                      std::size_t);

}  // namespace quelbrin::selection
