#include "core/solver.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/floor_eps.hpp"
#include "core/refine.hpp"
#include "core/trust.hpp"
#include "support/panic.hpp"
#include "support/sizes.hpp"

namespace quelbrin::core {

namespace {

// The float64 machine epsilon: the least pivot floor of the float32 variant's re-solve.
constexpr double kFallbackFloor = 2.220446049250313e-16;

// Makes v hold at least n elements.  Contents are not cleared: see SolveScratch.
template <class C>
C* reserve_work(std::vector<C>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// The factorisation and both substitutions in arithmetic type C on inputs of type In
// (each input converted exactly to C).  On return b[0 .. T-1] holds z.
//
// Every loop runs to min(k, ...) with k = 2d in the arithmetic.  Running them to the stored
// half-bandwidth kk = min(2d, T-1) visits exactly the same indices, because no index i, p,
// T-1-i exceeds T-1 (and for the inner loop min(k-p, i) = min(kk-p, i) since i <= T-1-p).
//
// FloorOffDiagonal selects the float32 re-solve's rule: entries below the diagonal are
// divided by the floored diagonal instead of the diagonal itself.
//
// doubt, when given (float64), receives the doubt indicator of refinement (core/refine.hpp)
// on the same values the batch kernels judge.
template <class C, bool FloorOffDiagonal, class In>
void cholesky_solve(const In* pb, std::size_t kk, std::size_t T, const In* w, const In* y, C lam,
                    C ridge, C floor, C* L, C* b, bool* doubt = nullptr, C run_limit = C(0)) {
    for (std::size_t i = 0; i < T; ++i) b[i] = static_cast<C>(w[i]) * static_cast<C>(y[i]);

    C run = C(0);
    bool doubtful = false;
    for (std::size_t i = 0; i < T; ++i) {
        C a = static_cast<C>(pb[i]) * lam;
        a = a + static_cast<C>(w[i]);
        a = a + ridge;
        const C start = a;
        const std::size_t above = std::min(kk, i);
        for (std::size_t j = 1; j <= above; ++j) {
            const C l = L[j * T + i];
            a = a - l * l;
        }
        if (doubt) {
            run = (static_cast<C>(w[i]) > C(0)) ? C(0) : run + C(1);
            doubtful |= doubtful_column(a, start, run, run_limit);
        }
        const C diag = std::sqrt(floor_eps(a, floor));
        L[i] = diag;
        C pivot = diag;
        if constexpr (FloorOffDiagonal) pivot = floor_eps(diag, floor);
        const std::size_t below = std::min(kk, T - 1 - i);
        for (std::size_t p = 1; p <= below; ++p) {
            C acc = static_cast<C>(pb[p * T + i + p]) * lam;
            const std::size_t terms = std::min(kk - p, above);
            for (std::size_t m = 1; m <= terms; ++m) {
                acc = acc - L[(p + m) * T + i + p] * L[m * T + i];
            }
            L[p * T + i + p] = acc / pivot;
        }
    }

    if (doubt) *doubt = doubtful;
    for (std::size_t i = 0; i < T; ++i) {
        const C u = b[i] / floor_eps(L[i], floor);
        b[i] = u;
        const std::size_t below = std::min(kk, T - 1 - i);
        for (std::size_t p = 1; p <= below; ++p) b[i + p] = b[i + p] - L[p * T + i + p] * u;
    }

    for (std::size_t i = T; i-- > 0;) {
        const C z = b[i] / floor_eps(L[i], floor);
        b[i] = z;
        const std::size_t above = std::min(kk, i);
        for (std::size_t p = 1; p <= above; ++p) b[i - p] = b[i - p] - L[p * T + i] * z;
    }
}

}  // namespace

template <class F>
void solve_banded(const PenaltyBand<F>& band, const F* w, const F* y, F lam, F ridge, F eps, F* out,
                  SolveScratch<F>& scratch, bool* doubtful) {
    const std::size_t T = band.T;
    if (T == 0) return;
    const std::size_t kk = band.stored_k();
    const std::size_t factor_size = checked_count<F>(kk + 1, T);
    F* L = reserve_work(scratch.factor, factor_size);
    F* b = reserve_work(scratch.rhs, T);
    if constexpr (std::is_same_v<F, double>) {
        cholesky_solve<F, false>(band.values.data(), kk, T, w, y, lam, ridge, eps, L, b, doubtful,
                                 unobserved_run_limit(band.d));
    } else {
        QB_ASSERT(doubtful == nullptr, "the doubt indicator is float64's");
        cholesky_solve<F, false>(band.values.data(), kk, T, w, y, lam, ridge, eps, L, b);
    }

    if constexpr (std::is_same_v<F, float>) {
        if (!trusted_result(b, y, T)) {
            const double floor = floor_eps(static_cast<double>(eps), kFallbackFloor);
            double* L64 = reserve_work(scratch.factor64, factor_size);
            double* b64 = reserve_work(scratch.rhs64, T);
            cholesky_solve<double, true>(band.values.data(), kk, T, w, y, static_cast<double>(lam),
                                         static_cast<double>(ridge), floor, L64, b64);
            for (std::size_t i = 0; i < T; ++i) out[i] = static_cast<float>(b64[i]);
            return;
        }
    }
    std::copy(b, b + T, out);
}

template <class F>
void solve_banded(const PenaltyBand<F>& band, const F* w, const F* y, F lam, F ridge, F eps,
                  F* out) {
    SolveScratch<F> scratch;
    solve_banded(band, w, y, lam, ridge, eps, out, scratch);
}

#define QB_INSTANTIATE(F)                                                                  \
    template void solve_banded<F>(const PenaltyBand<F>&, const F*, const F*, F, F, F, F*); \
    template void solve_banded<F>(const PenaltyBand<F>&, const F*, const F*, F, F, F, F*,  \
                                  SolveScratch<F>&, bool*);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::core
