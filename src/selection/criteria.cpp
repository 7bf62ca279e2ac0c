#include "selection/criteria.hpp"

#include <cmath>
#include <limits>

#include "support/panic.hpp"

namespace quelbrin::selection {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kUnit = 2.220446049250313e-16;  // float64 rounding unit (epsilon)

// A relative error beyond this leaves no digit worth comparing: the value is untrusted.
constexpr double kMeaningless = 1e-3;

// sigma is reported where RSS's relative error bound is below this (sigma's is half).
constexpr double kSigmaTolerance = 1e-5;

// RSS's relative error: each residual y - z carries the solve's relative error of z (and
// one rounding), so |delta RSS| <= 2 sqrt(RSS sum w z^2) (delta + u); plus the summation.
double rss_error(const SweepSums& s, std::size_t l, double delta, double T) {
    SeriesCounts n;
    n.T = T;
    return rss_relative_error(s.rss[l], s.wzz[l], delta, n);
}

// ||Dz||^2's relative error: each difference carries rounding of the size of its terms
// (the error the solve leaves in z lies along the polynomials D annihilates, to first
// order), so the bound grows with the cancellation sqrt(sum (sum |c z|)^2 / ||Dz||^2).
double penalty_error(const SweepSums& s, std::size_t l, double d, double T) {
    if (!(s.zpz[l] > 0)) return kInf;
    return 4.0 * (d + 1.0) * kUnit * std::sqrt(s.zpz_mag[l] / s.zpz[l]) + T * kUnit;
}

Evaluation untrusted() { return {kNaN, kInf}; }

// value with the relative error rel: untrusted when rel leaves no digit.
Evaluation relative(double value, double rel) {
    if (!(rel <= kMeaningless) || !std::isfinite(value)) return untrusted();
    return {value, std::fabs(value) * rel};
}

}  // namespace

std::optional<Criterion> parse_criterion(std::string_view name) {
    if (name == "gcv") return Criterion::gcv;
    if (name == "loocv") return Criterion::loocv;
    if (name == "reml") return Criterion::reml;
    if (name == "vcurve") return Criterion::vcurve;
    return std::nullopt;
}

const char* criterion_names() { return "'gcv', 'loocv', 'reml' or 'vcurve'"; }

double solve_error(const SweepSums& s, std::size_t l) {
    const double c = s.cond[l];
    return std::isfinite(c) ? 8.0 * kUnit * std::fmax(c, 1.0) : kInf;
}

Evaluation evaluate_criterion(Criterion c, const SweepSums& s, std::size_t l, double lam,
                              const SeriesCounts& n) {
    const double delta = solve_error(s, l);
    if (!(delta <= kTrustLimit)) return untrusted();
    switch (c) {
        case Criterion::gcv: {
            const double dof = n.m - s.edf[l];
            const double edf_error = delta * n.m + n.T * kUnit;
            if (!(dof > edf_error)) return untrusted();
            const double rel = rss_error(s, l, delta, n.T) + 2.0 * edf_error / dof;
            return relative(n.m * s.rss[l] / (dof * dof), rel);
        }
        case Criterion::loocv: {
            // A relative error e of h moves each term by 2 e h / (1 - h) of itself.
            if (!(n.wsum > 0) || !(s.loo[l] > 0)) return untrusted();
            const double rel = rss_error(s, l, delta, n.T) +
                               2.0 * (delta + n.T * kUnit) * std::fabs(s.loo_sens[l]) / s.loo[l];
            return relative(s.loo[l] / n.wsum, rel);
        }
        case Criterion::reml: {
            if (!(n.m > n.d)) return untrusted();
            const double pen = lam * s.zpz[l];
            const double Q = s.rss[l] + pen;
            const double q_rel =
                (s.rss[l] * rss_error(s, l, delta, n.T) + pen * penalty_error(s, l, n.d, n.T)) / Q;
            if (!(Q > 0) || !(q_rel <= kMeaningless) || !std::isfinite(s.logdet[l]))
                return untrusted();
            const double value =
                (n.m - n.d) * std::log(Q) + s.logdet[l] - (n.T - n.d) * std::log(lam);
            const double error = (n.m - n.d) * q_rel + n.T * delta;
            return std::isfinite(value) ? Evaluation{value, error} : untrusted();
        }
        case Criterion::vcurve:
            break;
    }
    QB_PANIC("the V-curve has no pointwise criterion value");
}

double criterion_value(Criterion c, const SweepSums& s, std::size_t l, double lam,
                       const SeriesCounts& n) {
    return evaluate_criterion(c, s, l, lam, n).value;
}

double reported_score(Criterion c, const Evaluation& e, const SeriesCounts& n) {
    const double value = e.value;
    const double size = c == Criterion::reml ? std::fmax(1.0, std::fabs(value)) : std::fabs(value);
    if (!(e.error <= kScoreTolerance * size)) return kNaN;
    switch (c) {
        case Criterion::gcv:
        case Criterion::loocv:
            return value * n.scale * n.scale;
        case Criterion::reml:
            return value + 2.0 * (n.m - n.d) * std::log(n.scale);
        case Criterion::vcurve:
            break;
    }
    return value;  // the V-curve's speed does not depend on the scale
}

CurvePoint curve_point(const SweepSums& s, std::size_t l, const SeriesCounts& n) {
    CurvePoint p{std::log10(s.rss[l]), std::log10(s.zpz[l]), kInf, kInf};
    const double delta = solve_error(s, l);
    if (!(delta <= kTrustLimit)) return p;
    const double eF = rss_error(s, l, delta, n.T);
    const double eR = penalty_error(s, l, n.d, n.T);
    if (eF <= kMeaningless && std::isfinite(p.F)) p.F_error = eF / std::log(10.0);
    if (eR <= kMeaningless && std::isfinite(p.R)) p.R_error = eR / std::log(10.0);
    return p;
}

double clamped_edf(double edf, const SeriesCounts& n) {
    if (edf != edf) return edf;
    return edf < 0 ? 0.0 : edf > n.m ? n.m : edf;
}

double rss_relative_error(double rss, double wzz, double delta, const SeriesCounts& n) {
    if (!(rss > 0)) return kInf;
    return 2.0 * std::sqrt(wzz / rss) * (delta + kUnit) + n.T * kUnit;
}

double residual_scale(double rss, double edf, const SeriesCounts& n, double delta, double rss_rel) {
    // With m <= d every lam interpolates the observations: no residual is left to scale.
    if (!(n.m > n.d) || !(rss_rel <= kSigmaTolerance)) return kNaN;
    const double dof = n.m - edf;
    const double edf_error = delta * n.m + n.T * kUnit;
    if (!(dof > 1e3 * edf_error)) return kNaN;
    return std::sqrt(rss / dof) * n.scale;
}

}  // namespace quelbrin::selection
