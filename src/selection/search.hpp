// The search for lam in log10 lam: a coarse grid shared by every series, then a
// bracketed refinement around the best point (or, for the V-curve, the reference grid of
// ten points per decade around the best coarse segment).  Pure logic: the criterion comes
// in as a function that evaluates up to kSweepLanes values of lam at once.
#pragma once

#include <cstddef>

#include "selection/sweep_api.hpp"
#include "support/function_ref.hpp"

namespace quelbrin::selection {

struct Bounds {
    double lo;  // lam_bounds, 0 < lo < hi, both finite
    double hi;
};

struct Choice {
    double lam = 0;
    double score = 0;
    bool at_bound = false;
    double score_error = 0;  // the score's evaluation error bound (minimise_trusted)
};

// values[i] = criterion at lam[i], i < n <= kSweepLanes.  NaN counts as +infinity.
// `fine`: points of a refinement (the choice is one of them or a coarse point), not of the
// coarse grid; an evaluator may compute more there (what the statistics at the choice need).
using ScoreFn = FunctionRef<void(const double* lam, std::size_t n, bool fine, double* values)>;
// The same with errors[i], a bound on the evaluation error of values[i] (absolute; +infinity
// where the value cannot be trusted at all: it is then never chosen).
using TrustedScoreFn =
    FunctionRef<void(const double* lam, std::size_t n, bool fine, double* values, double* errors)>;
// F[i], R[i]: the V-curve's coordinates at lam[i]; NaN where they cannot be trusted.
using CurveFn = FunctionRef<void(const double* lam, std::size_t n, double* F, double* R)>;

// The lam of least criterion.  The coarse grid has at least two points per decade; each
// refinement round narrows a bracket around the best point at least two-fold (its points
// around the vertex of the parabola through the best point and its neighbours, at
// geometrically growing distances) until it is narrower than kRefineWidth decades.
// Other coarse local minima are refined too when they might be as deep (see basins()).
// Ends of the bounds are returned as the exact bound values (at_bound true).
inline constexpr double kRefineWidth = 2e-3;
Choice minimise(Bounds b, ScoreFn score);

// minimise on a criterion whose values carry evaluation errors.  Untrusted values are
// never chosen; a candidate beats the best point only by more than their errors (a tie
// within rounding keeps both sides of the bracket).  Then the ends: when every trusted
// coarse value from the best point towards an end of the bounds lies within the errors of
// the best one (the criterion is flat there, as far as it can be evaluated), the choice is
// that end (the upper one when both), at_bound true; where the end itself cannot be
// evaluated, the farthest trusted coarse point towards it (the fit there could not be
// trusted either).  When the best point is the last trusted one towards an end and the criterion
// still falls into it, the choice is that point with at_bound true (the edge of where the
// criterion can be evaluated).  Nothing trusted anywhere: the upper bound, at_bound true,
// score NaN.
Choice minimise_trusted(Bounds b, TrustedScoreFn score);

// The V-curve choice: on the grid of n = round(10 * decades) equal steps in log10 lam
// (about ten points per decade), the midpoint in log10 of the segment of least
// length / step in the (F, R) plane.  Only every fifth point is evaluated first; the
// grid is then completed around the shortest of those coarse segments.  at_bound: the
// chosen segment touches an end of the bounds, or a point where the curve cannot be
// evaluated (segments touching such a point are never chosen).  No segment evaluable: the
// upper bound, at_bound true, speed NaN.
Choice vcurve_choice(Bounds b, CurveFn curve);

// The exact points of the V-curve grid, for tests: point k of n segments.
double vcurve_grid_log10(Bounds b, std::size_t k, std::size_t n);
std::size_t vcurve_segments(Bounds b);

}  // namespace quelbrin::selection
