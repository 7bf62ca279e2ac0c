// The selection criteria: their names, their values from the sums of one sweep, and how far
// each value can be trusted.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "selection/sweep_api.hpp"

namespace quelbrin::selection {

enum class Criterion { gcv, loocv, reml, vcurve };

// The accepted names, exactly as spelled: "gcv", "loocv", "reml", "vcurve".
std::optional<Criterion> parse_criterion(std::string_view name);
// "'gcv', 'loocv', 'reml' or 'vcurve'", for messages.
const char* criterion_names();

// What a criterion needs to know about its series besides the sweep sums.
struct SeriesCounts {
    double m = 0;      // observed positions (finite y, weight > 0)
    double wsum = 0;   // sum of their weights
    double T = 0;      // positions
    double d = 0;      // difference order
    double scale = 1;  // the power of two the evaluated observations were divided by
};

// A value and a bound on its evaluation error (absolute; +infinity where the sums cannot be
// trusted to any digit, and the value NaN where it means nothing).
struct Evaluation {
    double value;
    double error;
};

// A solve whose relative error bound exceeds this leaves a criterion untrusted: it is never
// chosen.  Below it the value's own error bound decides what can be told apart.
inline constexpr double kTrustLimit = 1e-4;
// The statistics at a lam (edf, sigma, the uncertainty) are reported where the solve's
// relative error is below this, NaN elsewhere.
inline constexpr double kStatisticsLimit = 1e-5;

// The relative error bound of the solve at lane l (z, the diagonal of A^-1): a few
// rounding units times the condition estimate.
double solve_error(const SweepSums& s, std::size_t l);

// The value at lane l (lam = lam) of gcv, loocv or reml (vcurve has no pointwise value),
// on the evaluated (scaled) observations:
//   gcv    m RSS / (m - edf)^2
//   loocv  sum w (r / (1 - h))^2 / sum w           (h = w diag(A^-1))
//   reml   (m - d) log Q + log det A - (T - d) log lam,  Q = RSS + lam ||Dz||^2
// REML's Q leaves out the ridge's share ridge z'z of sum w y r: a constant added to the
// data is not penalised, and the choice must not depend on it.
// GCV and LOOCV need the inverse, REML the log det and the penalty.
Evaluation evaluate_criterion(Criterion c, const SweepSums& s, std::size_t l, double lam,
                              const SeriesCounts& n);
double criterion_value(Criterion c, const SweepSums& s, std::size_t l, double lam,
                       const SeriesCounts& n);
// A criterion value of the scaled observations as the caller's data would give it; NaN
// where its evaluation error may exceed kScoreTolerance (relative; for REML, whose value
// has no scale of its own, of max(1, |value|)).
inline constexpr double kScoreTolerance = 1e-7;
double reported_score(Criterion c, const Evaluation& e, const SeriesCounts& n);

// The V-curve's coordinates at lane l: F = log10 RSS, R = log10 ||Dz||^2, each with its
// evaluation error (in log10 units; infinite where untrusted).
struct CurvePoint {
    double F;
    double R;
    double F_error = 0;
    double R_error = 0;
};
CurvePoint curve_point(const SweepSums& s, std::size_t l, const SeriesCounts& n);

// edf within [0, m], as the exact trace is.
double clamped_edf(double edf, const SeriesCounts& n);
// sigma = sqrt(RSS / (m - edf)) of the caller's data; NaN where m - edf is not positive
// beyond a thousand times its evaluation error (delta: the solve's relative error), and
// where m <= d.
// rss_rel: RSS's relative error bound (rss_relative_error); sigma is NaN where it exceeds
// 1e-5.
double residual_scale(double rss, double edf, const SeriesCounts& n, double delta, double rss_rel);
// RSS's relative error bound: each residual y - z carries the solve's relative error of z
// (delta) and one rounding: |delta RSS| <= 2 sqrt(RSS sum w z^2) (delta + u), plus the sum.
double rss_relative_error(double rss, double wzz, double delta, const SeriesCounts& n);

}  // namespace quelbrin::selection
