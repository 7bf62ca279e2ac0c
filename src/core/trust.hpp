// When a smoothed series can be trusted.  The smoothers never hand back a number they cannot
// vouch for: a float32 series that fails is solved again as the float64 flavour would solve
// it, and a float64 result that fails is an error.
#pragma once

#include <cmath>
#include <cstddef>

namespace quelbrin::core {

// A smoothed series is a weighted average of its data pulled by the penalty: it may
// overshoot into gaps, but never by orders of magnitude.  Beyond this many times
// max(1, max|observed y|) the solve has broken down.
template <class F>
constexpr F kGrowthLimit = F(1000000);

// The bound on max|z| for a series whose largest finite |observation| is max_y, computed in
// F as every path computes it: max(1, max_y) * 1e6.
template <class F>
inline F growth_bound(F max_y) {
    return ((F(1) < max_y) ? max_y : F(1)) * kGrowthLimit<F>;
}

// The largest finite |y_at(t)| for t < T (0 when none is finite).  a - a is 0 exactly for
// finite a, and the selection keeps the loop free of branches.
template <class F, class At>
F max_finite_abs(std::size_t T, At&& y_at) {
    F m = F(0);
    for (std::size_t t = 0; t < T; ++t) {
        const F a = std::fabs(y_at(t));
        m = (a - a == F(0) && m < a) ? a : m;
    }
    return m;
}

// Every z finite and max|z| within growth_bound(max |y| over the finite y).  `y` is the series'
// data as the caller defines it (masked observations, or the caller's whole row).
template <class F>
bool trusted_result(const F* z, const F* y, std::size_t T) {
    const F bound = growth_bound(max_finite_abs<F>(T, [y](std::size_t t) { return y[t]; }));
    F max_z = F(0);
    for (std::size_t i = 0; i < T; ++i) {
        if (!std::isfinite(z[i])) return false;
        if (max_z < std::fabs(z[i])) max_z = std::fabs(z[i]);
    }
    return !(max_z > bound);
}

// The rule for a robust series, judged against the caller's own row of observations (its
// bound from max_finite_abs of that row): every |z| within the bound (a NaN fails), and every
// total weight finite when they are given.  No early exit: the loops vectorise.
template <class F>
bool trusted_robust_series(const F* z, const F* wt, std::size_t T, F bound) {
    bool bad = false;
    for (std::size_t t = 0; t < T; ++t) bad |= !(std::fabs(z[t]) <= bound);
    if (wt != nullptr) {
        for (std::size_t t = 0; t < T; ++t) bad |= !(wt[t] - wt[t] == F(0));
    }
    return !bad;
}

// A float32 solution is accepted when one step of refinement (the residual against the
// float64 system, corrected with the float32 factor) moves no value by more than this share
// of max|observed y|.  The callers are promised 1e-3; the margin covers the estimate's own
// error.
constexpr float kFloat32Tolerance = 1e-4f;

// The error of a float64 result that fails trusted_result on finite inputs.
constexpr const char* kUntrustedResult =
    "the smoothed result is not finite or exceeds 1e6 x max(1, max|y|): the system is too "
    "ill-conditioned to solve (positions closer together than the eps floor allows, or an "
    "extreme lam or weights); merge near-duplicate positions (merge_x_tol of the robust "
    "smoother), use a larger eps, or a less extreme lam or weights";

}  // namespace quelbrin::core
