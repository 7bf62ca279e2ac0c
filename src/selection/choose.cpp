#include "selection/choose.hpp"

#include <cmath>
#include <limits>

namespace quelbrin::selection {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The points of the fallback rule: kSweepLanes values from the upper bound down.
void fallback_grid(double lower, double upper, double* lam) {
    const double a0 = std::log10(lower), b0 = std::log10(upper);
    for (std::size_t l = 0; l < kSweepLanes; ++l) {
        const double f = static_cast<double>(l) / static_cast<double>(kSweepLanes - 1);
        lam[l] = l == 0 ? upper : l + 1 == kSweepLanes ? lower : std::pow(10.0, b0 + (a0 - b0) * f);
    }
}

Choice determined(Evaluator& ev, double lower, double upper) {
    double lam[kSweepLanes];
    fallback_grid(lower, upper, lam);
    SweepSums sums;
    SweepNeeds needs;
    needs.inverse = true;
    ev.sweep(lam, kSweepLanes, needs, nullptr, sums);
    for (double limit : {kStatisticsLimit, kTrustLimit})
        for (std::size_t l = 0; l < kSweepLanes; ++l)
            if (solve_error(sums, l) <= limit) return Choice{lam[l], kNaN, true};
    return Choice{lower, kNaN, true};
}

Choice vcurve(Evaluator& ev, const Bounds& bounds) {
    const SeriesCounts& n = ev.counts();
    SweepSums sums;
    auto curve = [&](const double* lam, std::size_t k, double* F_, double* R_) {
        ev.sweep(lam, k, needs_of(Criterion::vcurve, false), nullptr, sums);
        for (std::size_t l = 0; l < k; ++l) {
            const CurvePoint p = curve_point(sums, l, n);
            const bool ok = std::isfinite(p.F_error) && std::isfinite(p.R_error);
            F_[l] = ok ? p.F : kNaN;
            R_[l] = ok ? p.R : kNaN;
        }
    };
    return vcurve_choice(bounds, curve);
}

}  // namespace

Choice choose_lam(Evaluator& ev, Criterion c, std::uint64_t d, double lower, double upper,
                  std::vector<TriedPoint>* tried) {
    const SeriesCounts& n = ev.counts();
    if (n.m == 0) return Choice{upper, kNaN, true};
    if (n.m <= static_cast<double>(d)) return determined(ev, lower, upper);
    const Bounds bounds{lower, upper};
    if (c == Criterion::vcurve) return vcurve(ev, bounds);
    // Every sweep computes the inverse (its diagonal is half of the condition estimate
    // that bounds each value's error): the choice is almost always one of the evaluated
    // points, whose edf and RSS then serve the statistics without another sweep.
    SweepSums sums;
    auto score = [&](const double* lam, std::size_t k, bool fine, double* values, double* errors) {
        const SweepNeeds needs = needs_of(c, fine);
        ev.sweep(lam, k, needs, nullptr, sums);
        for (std::size_t l = 0; l < k; ++l) {
            const Evaluation e = evaluate_criterion(c, sums, l, lam[l], n);
            values[l] = e.value;
            errors[l] = e.error;
            if (tried != nullptr && needs.inverse)
                tried->push_back(TriedPoint{lam[l], sums.edf[l], sums.rss[l], sums.wzz[l],
                                            solve_error(sums, l)});
        }
    };
    Choice choice = minimise_trusted(bounds, score);
    choice.score = reported_score(c, Evaluation{choice.score, choice.score_error}, n);
    return choice;
}

Statistics statistics_at(const SeriesCounts& n, double edf, double rss, double wzz, double delta) {
    const bool usable = delta <= kStatisticsLimit;
    const double e = usable ? clamped_edf(edf, n) : kNaN;
    const double sigma =
        usable ? residual_scale(rss, e, n, delta, rss_relative_error(rss, wzz, delta, n)) : kNaN;
    return Statistics{e, sigma, usable};
}

}  // namespace quelbrin::selection
