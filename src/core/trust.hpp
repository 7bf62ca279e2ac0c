// When a smoothed series can be trusted.  The smoothers never hand back a number they cannot
// vouch for: a float32 series that fails is solved again as the float64 flavour would solve
// it, and a float64 result that fails is an error.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

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

namespace trust_detail {

// Whole rows are scanned on every call, so the scans run on plain 16-byte vectors (any
// x86-64); every lane applies the scalar rule.
template <class F>
struct Vec {
    using I = std::conditional_t<sizeof(F) == 8, std::int64_t, std::int32_t>;
    typedef F V __attribute__((vector_size(16)));
    typedef I M __attribute__((vector_size(16)));
    static constexpr std::size_t n = 16 / sizeof(F);
    static V load(const F* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static V abs(V v) {
        return reinterpret_cast<V>(reinterpret_cast<M>(v) & (std::numeric_limits<I>::max() + M{}));
    }
};

}  // namespace trust_detail

// The largest |v| over the finite v[0 .. T) (0 when there is none).
template <class F>
F max_finite_abs(const F* v, std::size_t T) {
    using X = trust_detail::Vec<F>;
    typename X::V m{};
    std::size_t i = 0;
    for (; i + X::n <= T; i += X::n) {
        const typename X::V a = X::abs(X::load(v + i));
        const typename X::V kept = (a - a == typename X::V{}) ? a : typename X::V{};  // finite
        m = (m < kept) ? kept : m;
    }
    F out = F(0);
    for (std::size_t l = 0; l < X::n; ++l) out = (out < m[l]) ? m[l] : out;
    for (; i < T; ++i) {
        const F a = std::fabs(v[i]);
        if (std::isfinite(a) && out < a) out = a;
    }
    return out;
}

// Every v[0 .. T) finite with |v| <= bound (a NaN or infinity fails, whatever the bound).
template <class F>
bool all_within(const F* v, std::size_t T, F bound) {
    using X = trust_detail::Vec<F>;
    typename X::M bad{};
    std::size_t i = 0;
    for (; i + X::n <= T; i += X::n) {
        const typename X::V a = X::abs(X::load(v + i));
        bad |= ~((a - a == typename X::V{}) & (a <= bound));  // an infinite bound too
    }
    bool out = false;
    for (std::size_t l = 0; l < X::n; ++l) out |= bad[l] != 0;
    for (; i < T; ++i) out |= !(std::isfinite(v[i]) && std::fabs(v[i]) <= bound);
    return !out;
}

// Every v[0 .. T) finite.
template <class F>
bool all_finite(const F* v, std::size_t T) {
    return all_within(v, T, std::numeric_limits<F>::max());
}

// The largest finite |y_at(t)| for t < T (0 when none is finite), for rows read through an
// accessor (strided views).
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
    return all_within(z, T, growth_bound(max_finite_abs(y, T)));
}

// The rule for a robust series, judged against the caller's own row of observations (its
// bound from max_finite_abs of that row): every z finite and within the bound, and every
// total weight finite when they are given.
template <class F>
bool trusted_robust_series(const F* z, const F* wt, std::size_t T, F bound) {
    return all_within(z, T, bound) && (wt == nullptr || all_finite(wt, T));
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
