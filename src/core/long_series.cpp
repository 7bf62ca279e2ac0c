#include "core/long_series.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "core/difference_rows.hpp"
#include "core/kernels/batch.hpp"
#include "core/observation.hpp"
#include "core/refine.hpp"
#include "core/trust.hpp"
#include "parallel/cancel.hpp"
#include "support/sizes.hpp"

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

#define QB_INLINE inline __attribute__((always_inline))

// The pass for order D.  The operation sequence per column is the batch kernel's
// (block_kernel.hpp, one lane, loops to the live d), which is solve_banded's with the
// structurally zero rows beyond d left out.  Columns away from both ends (Interior) take
// the same steps without the bounds tests, and every array index is then a constant, so
// the state (a local object whose members are all inlined) stays in registers.
// Columns between two interruption points (a few milliseconds of work).
constexpr std::size_t kColumnsPerCheck = std::size_t{1} << 16;

template <class F, std::size_t D>
class OnePass {
  public:
    OnePass(const LongSeries<F>& in, F* out, F* rec)
        : in_(in), T_(in.x.size()), map_(in.map), rows_(D), out_(out), rec_(rec) {}

    // Factorisation and forward substitution column by column, then back substitution.
    bool run() {
        for (std::size_t t = 0; t < D && t < T_; ++t) add_position<false>(t);
        // Interior columns: D <= i and i + D < T.
        const std::size_t lo = D < T_ ? D : T_;
        const std::size_t hi = T_ > D ? T_ - D : 0;
        std::size_t i = 0;
        for (; i < lo; ++i) column<false>(i);
        while (i < hi) {  // in stretches, so that a long series can be cancelled
            const std::size_t end = hi - i > kColumnsPerCheck ? i + kColumnsPerCheck : hi;
            for (; i < end; ++i) column<true>(i);
            parallel::interruption_point();
        }
        for (; i < T_; ++i) column<false>(i);
        back_substitute();
        return !bad_;
    }

  private:
    // Position t enters the window and row t-D of D is added to the band columns it
    // touches (t >= D).
    template <bool Steady>
    QB_INLINE void add_position(std::size_t t) {
        for (std::size_t j = D; j >= 1; --j) xs_[j] = xs_[j - 1];
        xs_[0] = map_(in_.x[t]);
        if (!Steady && t == 0) return;
        const auto back = [this](std::size_t j) { return xs_[j]; };
        const F* c = rows_.template advance<Steady>(t, back, in_.eps);
        if (!Steady && t < D) return;
        for (std::size_t l = 0; l <= D; ++l) {
            for (std::size_t m = 0; m <= l; ++m) acc_[m][l - m] = acc_[m][l - m] + c[m] * c[l];
        }
    }

    template <bool Interior>
    QB_INLINE void column(std::size_t i) {
        // Difference row i completes band column i (and adds to columns i+1 .. i+D).
        if (Interior || i + D < T_) add_position<Interior>(i + D);
        // The masked inputs of column i (observation.hpp).
        const F yi = in_.y[i];
        const F wi = observation::weight(yi, in_.w_base ? in_.w_base[i] : F(1));
        const F yv = observation::masked(yi, wi);
        if constexpr (std::is_same_v<F, float>) {
            if (std::isfinite(yv)) max_y_ = (max_y_ < std::fabs(yv)) ? std::fabs(yv) : max_y_;
        }
        const F a = diagonal<Interior>(i, wi);
        if constexpr (std::is_same_v<F, double>) {
            // The doubt indicator (core/refine.hpp), on the same values as the kernels'.
            F start = acc_[0][0] * in_.lam;
            start = start + wi;
            start = start + in_.ridge;
            run_ = (wi > F(0)) ? F(0) : run_ + F(1);
            doubtful_ |= doubtful_column(a, start, run_, run_limit_);
        }
        const F diag = std::sqrt(above_floor(a, in_.eps));
        const F pivot = above_floor(diag, in_.eps);
        const F u = forward<Interior>(i, wi * yv) / pivot;
        bad_ |= is_negative_zero(u);
        out_[i] = u;
        F next[D + 1] = {};
        below_diagonal<Interior>(i, diag, next);
        F* r = rec_ + i * (D + 1);
        r[0] = pivot;
        for (std::size_t p = 1; p <= D; ++p) r[p] = next[p];
        slide_window(next, u);
    }

    // P[i, i] * lam + w + ridge minus the squares of row i of L.
    template <bool Interior>
    QB_INLINE F diagonal(std::size_t i, F wi) const {
        F a = acc_[0][0] * in_.lam;
        a = a + wi;
        a = a + in_.ridge;
        for (std::size_t j = 1; j <= D; ++j) {
            if (Interior || j <= i) a = a - prev_[j][j] * prev_[j][j];
        }
        return a;
    }

    // Forward substitution of column i: b = w*y less the earlier columns' terms.
    template <bool Interior>
    QB_INLINE F forward(std::size_t i, F b) const {
        for (std::size_t p = D; p >= 1; --p) {
            if (Interior || p <= i) b = b - prev_[p][p] * uprev_[p];
        }
        return b;
    }

    // The entries below the diagonal, L(p, i+p), into next[1..D].
    template <bool Interior>
    QB_INLINE void below_diagonal(std::size_t i, F diag, F* next) {
        for (std::size_t p = 1; p <= D; ++p) {
            if (!Interior && i + p >= T_) break;
            const F product = acc_[0][p] * in_.lam;
            bad_ |= is_negative_zero(product);
            F s = product;
            for (std::size_t m = 1; m + p <= D; ++m) {
                if (Interior || m <= i) s = s - prev_[m][p + m] * prev_[m][m];
            }
            next[p] = s / diag;
        }
    }

    // Column i's factor entries and u(i) become the newest of the window; the band
    // columns move up by one.
    QB_INLINE void slide_window(const F* next, F u) {
        for (std::size_t k = D; k >= 2; --k) {
            for (std::size_t p = 0; p <= D; ++p) prev_[k][p] = prev_[k - 1][p];
            uprev_[k] = uprev_[k - 1];
        }
        for (std::size_t p = 0; p <= D; ++p) prev_[1][p] = next[p];
        uprev_[1] = u;
        for (std::size_t k = 0; k < D; ++k) {
            for (std::size_t p = 0; p <= D; ++p) acc_[k][p] = acc_[k + 1][p];
        }
        for (std::size_t p = 0; p <= D; ++p) acc_[D][p] = F(0);
    }

    // z(i) = (u(i) less L(p, i+p) z(i+p), p = D .. 1) / pivot(i); then the float32
    // reliability test of solve_banded (trust.hpp).
    void back_substitute() {
        F znext[D + 1] = {};  // znext[p] = z(i+p)
        F max_z = F(0);
        for (std::size_t i = T_; i-- > 0;) {
            const F* r = rec_ + i * (D + 1);
            F b = out_[i];
            for (std::size_t p = D; p >= 1; --p) {
                if (i + p < T_) b = b - r[p] * znext[p];
            }
            const F z = b / r[0];
            out_[i] = z;
            bad_ |= !std::isfinite(z);
            if constexpr (std::is_same_v<F, float>) {
                max_z = (max_z < std::fabs(z)) ? std::fabs(z) : max_z;
            }
            for (std::size_t p = D; p >= 2; --p) znext[p] = znext[p - 1];
            znext[1] = z;
        }
        if constexpr (std::is_same_v<F, float>) bad_ |= max_z > growth_bound(max_y_);
    }

    const LongSeries<F>& in_;
    const std::size_t T_;
    const GridMap<F> map_;
    DifferenceRows<F, D> rows_;
    F* const out_;
    F* const rec_;
    F xs_[D + 1] = {};  // xs[j]: normalised position t - j
    // acc[k][p] = P[i+k+p, i+k] as summed so far: columns i .. i+D of the band.
    F acc_[D + 1][D + 1] = {};
    // prev[k][p] = L(p, i-k+p), the factor entries column i-k produced; uprev[k] = u(i-k).
    F prev_[D + 1][D + 1] = {};
    F uprev_[D + 1] = {};
    bool bad_ = false;
    F max_y_ = F(0);
    F run_ = F(0);  // unobserved positions in a row so far
    const F run_limit_ = static_cast<F>(unobserved_run_limit(in_.d));

  public:
    bool doubtful_ = false;
};

#undef QB_INLINE

template <class F, std::size_t D>
bool solve_order(const LongSeries<F>& in, F* out, F* rec, bool* doubtful) {
    OnePass<F, D> pass(in, out, rec);
    const bool solved = pass.run();
    if (doubtful) *doubtful = pass.doubtful_;
    return solved;
}

}  // namespace

template <class F>
bool long_series_applies(std::size_t T, std::uint64_t d, F lam, F eps) {
    return d >= 1 && d <= 3 && T >= d + 2 && std::isfinite(lam) && lam > F(0) &&
           eps >= std::numeric_limits<F>::min();
}

template <class F>
bool solve_long_series(const LongSeries<F>& problem, F* out, bool* doubtful) {
    const std::size_t T = problem.x.size();
    const std::size_t D = static_cast<std::size_t>(problem.d);
    kernels::LargeBuffer work;
    F* const rec =
        static_cast<F*>(work.reserve(checked_count<F>(checked_count<F>(T, D + 1), sizeof(F))));
    switch (D) {
        case 1:
            return solve_order<F, 1>(problem, out, rec, doubtful);
        case 2:
            return solve_order<F, 2>(problem, out, rec, doubtful);
        case 3:
            return solve_order<F, 3>(problem, out, rec, doubtful);
        default:
            return false;
    }
}

template bool long_series_applies<float>(std::size_t, std::uint64_t, float, float);
template bool long_series_applies<double>(std::size_t, std::uint64_t, double, double);
template bool solve_long_series<float>(const LongSeries<float>&, float*, bool*);
template bool solve_long_series<double>(const LongSeries<double>&, double*, bool*);

}  // namespace quelbrin::core
