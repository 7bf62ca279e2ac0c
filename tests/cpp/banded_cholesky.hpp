// A textbook banded Cholesky, written from the definition and from nothing else in the
// library: the reference the batch kernels are checked against, bit for bit.
//
// The system is A z = w*y with A = diag(w) + lam * P + ridge * I, P given by its lower band
// (PenaltyBand: element (p, i) = P[i, i-p], half-bandwidth k = stored_k()).  A = L L^T with
// L lower triangular and k wide, column by column:
//   L[j][j] = sqrt(floor(A[j][j] - sum_c L[j][c]^2))
//   L[i][j] = (A[i][j] - sum_c L[i][c] * L[j][c]) / L[j][j]        j < i <= j + k
// over the columns c < j that lie in the band of both rows; then L u = w*y and L^T z = u,
// dividing by floor(L[j][j]).  floor(v) is the floor rule: eps where v is NaN or below eps.
//
// Rounding is behaviour, so each sum is taken in one fixed order, the order of the
// documented scalar routine: the diagonal terms of A as (P * lam + w) + ridge; in the factor
// the nearest column first (c = j-1, j-2, ...); in both substitutions the farthest position
// first.  A float32 result that is not trusted (core/trust.hpp) is solved again in float64
// with the floor at least the float64 machine epsilon, the entries below the diagonal then
// divided by the floored diagonal, and rounded to float32.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "core/band.hpp"
#include "core/trust.hpp"

namespace quelbrin_test {

// The factor and both substitutions in arithmetic C; inputs In are converted exactly.
template <class C, class In>
std::vector<C> textbook_cholesky_solve(const quelbrin::core::PenaltyBand<In>& band, const In* w,
                                       const In* y, C lam, C ridge, C eps, bool floor_below) {
    const std::size_t T = band.T, k = band.stored_k();
    const auto floor = [eps](C v) { return (v != v || v < eps) ? eps : v; };
    const auto lam_p = [&](std::size_t i, std::size_t j) {  // lam * P[i][j], i >= j
        return static_cast<C>(band(i - j, i)) * lam;
    };
    const auto first_in_band = [k](std::size_t i) { return i > k ? i - k : 0; };
    std::vector<C> L(T * T, C(0));  // dense, row-major; only the band is ever written
    const auto l = [&L, T](std::size_t i, std::size_t j) -> C& { return L[i * T + j]; };

    for (std::size_t j = 0; j < T; ++j) {
        C a = lam_p(j, j) + static_cast<C>(w[j]);
        a = a + ridge;
        for (std::size_t c = j; c-- > first_in_band(j);) a = a - l(j, c) * l(j, c);
        l(j, j) = std::sqrt(floor(a));
        const C divisor = floor_below ? floor(l(j, j)) : l(j, j);
        for (std::size_t i = j + 1; i < T && i <= j + k; ++i) {
            C s = lam_p(i, j);
            for (std::size_t c = j; c-- > first_in_band(i);) s = s - l(i, c) * l(j, c);
            l(i, j) = s / divisor;
        }
    }

    std::vector<C> u(T), z(T);
    for (std::size_t i = 0; i < T; ++i) {
        C s = static_cast<C>(w[i]) * static_cast<C>(y[i]);
        for (std::size_t c = first_in_band(i); c < i; ++c) s = s - l(i, c) * u[c];
        u[i] = s / floor(l(i, i));
    }
    for (std::size_t i = T; i-- > 0;) {
        C s = u[i];
        for (std::size_t r = (i + k < T ? i + k : T - 1); r > i; --r) s = s - l(r, i) * z[r];
        z[i] = s / floor(l(i, i));
    }
    return z;
}

// The solution the smoothers hand out for one series (w, y: T values, y already masked).
template <class F>
std::vector<F> textbook_solve(const quelbrin::core::PenaltyBand<F>& band, const F* w, const F* y,
                              F lam, F ridge, F eps) {
    std::vector<F> z = textbook_cholesky_solve<F>(band, w, y, lam, ridge, eps, false);
    if constexpr (sizeof(F) == 4) {
        if (!quelbrin::core::trusted_result(z.data(), y, band.T)) {
            const double machine_eps = 2.220446049250313e-16;
            const double floor = (eps != eps || eps < machine_eps) ? machine_eps : double(eps);
            const std::vector<double> z64 = textbook_cholesky_solve<double>(
                band, w, y, double(lam), double(ridge), floor, true);
            for (std::size_t i = 0; i < band.T; ++i) z[i] = static_cast<F>(z64[i]);
        }
    }
    return z;
}

}  // namespace quelbrin_test
