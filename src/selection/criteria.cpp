#include "selection/criteria.hpp"

#include <cmath>

#include "support/panic.hpp"

namespace quelbrin::selection {

std::optional<Criterion> parse_criterion(std::string_view name) {
    if (name == "gcv") return Criterion::gcv;
    if (name == "loocv") return Criterion::loocv;
    if (name == "reml") return Criterion::reml;
    if (name == "vcurve") return Criterion::vcurve;
    return std::nullopt;
}

const char* criterion_names() { return "'gcv', 'loocv', 'reml' or 'vcurve'"; }

double criterion_value(Criterion c, const SweepSums& s, std::size_t l, double lam,
                       const SeriesCounts& n) {
    switch (c) {
        case Criterion::gcv: {
            const double dof = n.m - s.edf[l];
            return n.m * s.rss[l] / (dof * dof);
        }
        case Criterion::loocv:
            return s.loo[l] / n.wsum;
        case Criterion::reml:
            return (n.m - n.d) * std::log(s.wyr[l]) + s.logdet[l] - (n.T - n.d) * std::log(lam);
        case Criterion::vcurve:
            break;
    }
    QB_PANIC("the V-curve has no pointwise criterion value");
}

CurvePoint curve_point(const SweepSums& s, std::size_t l) {
    return {std::log10(s.rss[l]), std::log10(s.zpz[l])};
}

double residual_scale(double rss, double edf, const SeriesCounts& n) {
    return std::sqrt(rss / (n.m - edf));
}

}  // namespace quelbrin::selection
