// The selection criteria: their names and their values from the sums of one sweep.
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
    double m = 0;     // observed positions (finite y, weight > 0)
    double wsum = 0;  // sum of their weights
    double T = 0;     // positions
    double d = 0;     // difference order
};

// The value at lane l (lam = lam) of gcv, loocv or reml (vcurve has no pointwise value):
//   gcv    m RSS / (m - edf)^2
//   loocv  sum w (r / (1 - h))^2 / sum w           (h = w diag(A^-1))
//   reml   (m - d) log Q + log det A - (T - d) log lam,  Q = sum w y r
double criterion_value(Criterion c, const SweepSums& s, std::size_t l, double lam,
                       const SeriesCounts& n);

// The V-curve's coordinates at lane l: F = log10 RSS, R = log10 z'Pz.
struct CurvePoint {
    double F;
    double R;
};
CurvePoint curve_point(const SweepSums& s, std::size_t l);

// sigma = sqrt(RSS / (m - edf)), the residual scale.
double residual_scale(double rss, double edf, const SeriesCounts& n);

}  // namespace quelbrin::selection
