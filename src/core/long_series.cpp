#include "core/long_series.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/difference_rows.hpp"
#include "core/kernels/batch.hpp"
#include "core/observation.hpp"
#include "core/sizes.hpp"
#include "core/trust.hpp"

namespace quelbrin::core {

namespace {

template <class F>
bool is_negative_zero(F v) {
    return v == F(0) && std::signbit(v);
}

// floor_eps(v, floor) for a positive normal floor, kept off the factor's dependency chain:
// v itself except below the floor or NaN, which a well-predicted branch settles (the empty
// asm keeps the compiler from turning the branch back into a select, whose latency would
// add to every column's chain).
template <class F>
inline F above_floor(F v, F floor) {
    if (__builtin_expect(!(v >= floor), 0)) {
        v = floor;
        asm volatile("" : "+x"(v));
    }
    return v;
}

// The pass for order D.  The operation sequence per column is the batch kernel's
// (block_kernel.hpp, one lane, loops to the live d), which is solve_banded's with the
// structurally zero rows beyond d left out.  Columns away from both ends (Interior) take
// the same steps without the bounds tests, and every array index is then a constant, so
// the state stays in registers.
template <class F, std::size_t D>
bool solve_order(const LongSeries<F>& in, F* out, F* rec) {
    const std::size_t T = in.x.size();
    const F lam = in.lam, ridge = in.ridge, eps = in.eps;
    const F* const x = in.x.data();
    const F* const y = in.y;
    const F* const base = in.w_base;
    const GridMap<F> map = in.map;

    DifferenceRows<F, D> rows(D);
    F xs[D + 1] = {};  // xs[j]: normalised position t - j
    const auto back = [&xs](std::size_t j) { return xs[j]; };
    // acc[k][p] = P[i+k+p, i+k] as summed so far: columns i .. i+D of the band.
    F acc[D + 1][D + 1] = {};
    // prev[k][p] = L(p, i-k+p), the factor entries column i-k produced; uprev[k] = u(i-k).
    F prev[D + 1][D + 1] = {};
    F uprev[D + 1] = {};
    bool bad = false;
    F max_y = F(0);

    // Position t enters the window and row t-D of D is added to the band columns it
    // touches (t >= D).
    const auto add_position = [&]<bool Steady>(std::size_t t) __attribute__((always_inline)) {
        for (std::size_t j = D; j >= 1; --j) xs[j] = xs[j - 1];
        xs[0] = map(x[t]);
        if (!Steady && t == 0) return;
        const F* c = rows.template advance<Steady>(t, back, eps);
        if (!Steady && t < D) return;
        for (std::size_t l = 0; l <= D; ++l) {
            for (std::size_t m = 0; m <= l; ++m) acc[m][l - m] = acc[m][l - m] + c[m] * c[l];
        }
    };

    const auto column = [&]<bool Interior>(std::size_t i) __attribute__((always_inline)) {
        // Difference row i completes band column i (and adds to columns i+1 .. i+D).
        if (Interior || i + D < T) add_position.template operator()<Interior>(i + D);

        // The masked inputs of column i (observation.hpp).
        const F yi = y[i];
        const F wi = observation::weight(yi, base ? base[i] : F(1));
        const F yv = observation::masked(yi, wi);
        if constexpr (std::is_same_v<F, float>) {
            if (std::isfinite(yv)) max_y = (max_y < std::fabs(yv)) ? std::fabs(yv) : max_y;
        }

        // Diagonal: P[i, i] * lam + w + ridge minus the squares of row i of L.
        F a = acc[0][0] * lam;
        a = a + wi;
        a = a + ridge;
        for (std::size_t j = 1; j <= D; ++j) {
            if (Interior || j <= i) a = a - prev[j][j] * prev[j][j];
        }
        const F diag = std::sqrt(above_floor(a, eps));
        const F pivot = above_floor(diag, eps);

        // Forward substitution of column i: b = w*y less the earlier columns' terms.
        F b = wi * yv;
        for (std::size_t p = D; p >= 1; --p) {
            if (Interior || p <= i) b = b - prev[p][p] * uprev[p];
        }
        const F u = b / pivot;
        bad |= is_negative_zero(u);
        out[i] = u;

        // The entries below the diagonal, L(p, i+p).
        F next[D + 1] = {};
        for (std::size_t p = 1; p <= D; ++p) {
            if (!Interior && i + p >= T) break;
            const F product = acc[0][p] * lam;
            bad |= is_negative_zero(product);
            F s = product;
            for (std::size_t m = 1; m + p <= D; ++m) {
                if (Interior || m <= i) s = s - prev[m][p + m] * prev[m][m];
            }
            next[p] = s / diag;
        }
        F* r = rec + i * (D + 1);
        r[0] = pivot;
        for (std::size_t p = 1; p <= D; ++p) r[p] = next[p];

        for (std::size_t k = D; k >= 2; --k) {
            for (std::size_t p = 0; p <= D; ++p) prev[k][p] = prev[k - 1][p];
            uprev[k] = uprev[k - 1];
        }
        for (std::size_t p = 0; p <= D; ++p) prev[1][p] = next[p];
        uprev[1] = u;
        for (std::size_t k = 0; k < D; ++k) {
            for (std::size_t p = 0; p <= D; ++p) acc[k][p] = acc[k + 1][p];
        }
        for (std::size_t p = 0; p <= D; ++p) acc[D][p] = F(0);
    };

    for (std::size_t t = 0; t < D && t < T; ++t) add_position.template operator()<false>(t);
    // Interior columns: D <= i and i + D < T.
    const std::size_t lo = D < T ? D : T;
    const std::size_t hi = T > D ? T - D : 0;
    std::size_t i = 0;
    for (; i < lo; ++i) column.template operator()<false>(i);
    for (; i < hi; ++i) column.template operator()<true>(i);
    for (; i < T; ++i) column.template operator()<false>(i);

    // Back substitution: z(i) = (u(i) less L(p, i+p) z(i+p), p = D .. 1) / pivot(i).
    F znext[D + 1] = {};  // znext[p] = z(i+p)
    F max_z = F(0);
    for (std::size_t i = T; i-- > 0;) {
        const F* r = rec + i * (D + 1);
        F b = out[i];
        for (std::size_t p = D; p >= 1; --p) {
            if (i + p < T) b = b - r[p] * znext[p];
        }
        const F z = b / r[0];
        out[i] = z;
        bad |= !std::isfinite(z);
        if constexpr (std::is_same_v<F, float>) {
            max_z = (max_z < std::fabs(z)) ? std::fabs(z) : max_z;
        }
        for (std::size_t p = D; p >= 2; --p) znext[p] = znext[p - 1];
        znext[1] = z;
    }
    if constexpr (std::is_same_v<F, float>) {
        // The float32 reliability test of solve_banded (trust.hpp).
        bad |= max_z > growth_bound(max_y);
    }
    return !bad;
}

}  // namespace

template <class F>
bool long_series_applies(std::size_t T, std::uint64_t d, F lam, F eps) {
    return d >= 1 && d <= 3 && T >= d + 2 && std::isfinite(lam) && lam > F(0) &&
           eps >= std::numeric_limits<F>::min();
}

template <class F>
bool solve_long_series(const LongSeries<F>& problem, F* out) {
    const std::size_t T = problem.x.size();
    const std::size_t D = static_cast<std::size_t>(problem.d);
    kernels::LargeBuffer work;
    F* const rec = static_cast<F*>(
        work.reserve(checked_count<F>(checked_count<F>(T, D + 1), sizeof(F))));
    switch (D) {
        case 1: return solve_order<F, 1>(problem, out, rec);
        case 2: return solve_order<F, 2>(problem, out, rec);
        case 3: return solve_order<F, 3>(problem, out, rec);
        default: return false;
    }
}

template bool long_series_applies<float>(std::size_t, std::uint64_t, float, float);
template bool long_series_applies<double>(std::size_t, std::uint64_t, double, double);
template bool solve_long_series<float>(const LongSeries<float>&, float*);
template bool solve_long_series<double>(const LongSeries<double>&, double*);

}  // namespace quelbrin::core
