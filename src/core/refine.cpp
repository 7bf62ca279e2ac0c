#include "core/refine.hpp"

#include <algorithm>
#include <cmath>

#include "core/floor_eps.hpp"
#include "core/trust.hpp"
#include "support/panic.hpp"
#include "support/sizes.hpp"

namespace quelbrin::core {

namespace {

using DD = DoubleDouble;

// The double-double products use std::fma, an instruction where the CPU has one and a slow
// library call otherwise: the routines that run them are compiled twice and the better one
// is chosen at load time.  std::fma is exact either way, so both give the same bits.
#define QB_FMA_CLONES __attribute__((target_clones("fma", "default")))

// Iterative refinement gives up after this many steps of either kind.
constexpr int kMaxSteps = 10;
// Corrections this small relative to max|z| are rounding noise of a float64 solution (four
// units in the last place).
constexpr double kNoise = 4 * 2.220446049250313e-16;

// Rows of D of order d on the positions, in double-double, by the recurrence of the band
// builder (spacings floored by eps); the spacing of two doubles is exact in double-double.
// Returns the T - d rows of d + 1 coefficients, row-major.
QB_FMA_CLONES std::vector<DD> difference_rows(const std::vector<double>& x, std::size_t d,
                                              double eps) {
    const std::size_t T = x.size();
    std::vector<DD> rows(T, dd::from(1.0));  // order 0: one coefficient per row
    for (std::size_t j = 1; j <= d; ++j) {
        const std::size_t n = T - j;
        std::vector<DD> next(checked_count<DD>(n, j + 1));
        for (std::size_t r = 0; r < n; ++r) {
            const DD* lower = &rows[r * j];
            const DD* upper = &rows[(r + 1) * j];
            DD* c = &next[r * (j + 1)];
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = dd::add(c[m + 1], upper[m]);
                c[m] = dd::sub(c[m], lower[m]);
            }
            DD h = dd::two_sum(x[r + j], -x[r]);
            if (!(h.hi >= eps)) h = dd::from(eps);  // floor_eps on the exact spacing
            for (std::size_t m = 0; m <= j; ++m) c[m] = dd::div(c[m], h);
        }
        rows = std::move(next);
    }
    return rows;
}

std::size_t live_rows(const PenaltyBand<double>& band) {
    if (band.T == 0) return 0;
    const std::uint64_t d = band.d;
    return static_cast<std::size_t>(std::min<std::uint64_t>(d, band.T - 1));
}

double max_abs(const double* v, std::size_t T) {
    double m = 0.0;
    for (std::size_t i = 0; i < T; ++i) m = std::max(m, std::fabs(v[i]));
    return m;
}

double max_abs(const std::vector<DD>& v, std::size_t T) {
    double m = 0.0;
    for (std::size_t i = 0; i < T; ++i) m = std::max(m, std::fabs(v[i].hi));
    return m;
}

// The scale of the accuracy promise: max(max |observed y|, max |z|).
double refine_scale(const double* y, const std::vector<DD>& z, std::size_t T) {
    return std::max(max_abs(y, T), max_abs(z, T));
}

// One series' system in double-double: (dl + 1, T), element (j, i) = A[i, i - j].
QB_FMA_CLONES void form_system(const ExactPenalty& exact, const double* w, double lam, double ridge,
                               std::vector<DD>& A) {
    const std::size_t T = exact.band().T;
    const std::size_t dl = exact.live();
    const std::vector<DD>& P = exact.rows();
    A.resize((dl + 1) * T);
    for (std::size_t i = 0; i < T; ++i) {
        A[i] = dd::add(dd::add(dd::mul(P[i], lam), dd::from(w[i])), dd::from(ridge));
    }
    for (std::size_t j = 1; j <= dl; ++j) {
        for (std::size_t i = 0; i < T; ++i) A[j * T + i] = dd::mul(P[j * T + i], lam);
    }
}

// r = b - (w + ridge) z - lam (P z) for a float64 z, every product and sum in double-double,
// rounded to float64 at the end.
QB_FMA_CLONES void residual64(const ExactPenalty& exact, const double* w, const std::vector<DD>& b,
                              double lam, double ridge, const std::vector<double>& z,
                              std::vector<double>& r) {
    const std::vector<DD>& P = exact.rows();
    const std::size_t T = exact.band().T;
    const std::size_t dl = exact.live();
    r.resize(T);
    for (std::size_t i = 0; i < T; ++i) {
        DD pz = dd::mul(P[i], z[i]);
        for (std::size_t j = 1; j <= dl && j <= i; ++j) {
            pz = dd::add_fast(pz, dd::mul(P[j * T + i], z[i - j]));
        }
        for (std::size_t j = 1; j <= dl && i + j < T; ++j) {
            pz = dd::add_fast(pz, dd::mul(P[j * T + i + j], z[i + j]));
        }
        DD acc = dd::add_fast(b[i], dd::neg(dd::two_prod(w[i], z[i])));
        acc = dd::add_fast(acc, dd::neg(dd::two_prod(ridge, z[i])));
        acc = dd::add_fast(acc, dd::neg(dd::mul(pz, lam)));
        r[i] = dd::to_double(acc);
    }
}

// The float64 banded Cholesky of the float64 system (the band's values times lam, plus w and
// ridge; pivots floored by eps as the solver floors them): L (dl + 1, T), row 0 the inverse
// of the floored diagonal (corrections need no correctly rounded quotient: multiplications
// replace the divisions of both substitutions).
void factor_band64(const PenaltyBand<double>& band, std::size_t dl, const double* w, double lam,
                   double ridge, double eps, std::vector<double>& L) {
    const std::size_t T = band.T;
    L.assign((dl + 1) * T, 0.0);
    for (std::size_t i = 0; i < T; ++i) {
        double a = band(0, i) * lam + w[i] + ridge;
        for (std::size_t j = 1; j <= dl && j <= i; ++j) a -= L[j * T + i] * L[j * T + i];
        const double inverse = 1.0 / floor_eps(std::sqrt(floor_eps(a, eps)), eps);
        L[i] = inverse;
        for (std::size_t p = 1; p <= dl && i + p < T; ++p) {
            double acc = band(p, i + p) * lam;
            for (std::size_t m = 1; p + m <= dl && m <= i; ++m) {
                acc -= L[(p + m) * T + i + p] * L[m * T + i];
            }
            L[p * T + i + p] = acc * inverse;
        }
    }
}

// r = b - A z, every product and sum in double-double.
QB_FMA_CLONES void residual(const std::vector<DD>& A, std::size_t dl, std::size_t T,
                            const std::vector<DD>& b, const std::vector<DD>& z,
                            std::vector<DD>& r) {
    r.resize(T);
    for (std::size_t i = 0; i < T; ++i) {
        DD acc = dd::sub_mul(b[i], A[i], z[i]);
        for (std::size_t j = 1; j <= dl && j <= i; ++j) {
            acc = dd::sub_mul(acc, A[j * T + i], z[i - j]);
        }
        for (std::size_t j = 1; j <= dl && i + j < T; ++j) {
            acc = dd::sub_mul(acc, A[j * T + i + j], z[i + j]);
        }
        r[i] = acc;
    }
}

// r <- (L L')^{-1} r in float64, L from factor_band64.
void solve64(const std::vector<double>& L, std::size_t dl, std::size_t T, std::vector<double>& r) {
    for (std::size_t i = 0; i < T; ++i) {
        double s = r[i];
        for (std::size_t p = 1; p <= dl && p <= i; ++p) s -= L[p * T + i] * r[i - p];
        r[i] = s * L[i];
    }
    for (std::size_t i = T; i-- > 0;) {
        double s = r[i];
        for (std::size_t p = 1; p <= dl && i + p < T; ++p) s -= L[p * T + i + p] * r[i + p];
        r[i] = s * L[i];
    }
}

// The double-double banded Cholesky of A; false when a pivot is not positive (the system
// is not positive definite even to 106 bits).
QB_FMA_CLONES bool factor_dd(const std::vector<DD>& A, std::size_t dl, std::size_t T,
                             std::vector<DD>& L) {
    L.assign((dl + 1) * T, DD{});
    for (std::size_t i = 0; i < T; ++i) {
        DD a = A[i];
        for (std::size_t j = 1; j <= dl && j <= i; ++j)
            a = dd::sub_mul(a, L[j * T + i], L[j * T + i]);
        if (!(a.hi > 0.0) || !dd::finite(a)) return false;
        const DD diag = dd::sqrt(a);
        L[i] = diag;
        for (std::size_t p = 1; p <= dl && i + p < T; ++p) {
            DD acc = A[p * T + i + p];
            for (std::size_t m = 1; p + m <= dl && m <= i; ++m) {
                acc = dd::sub_mul(acc, L[(p + m) * T + i + p], L[m * T + i]);
            }
            L[p * T + i + p] = dd::div(acc, diag);
        }
    }
    return true;
}

// r <- (L L')^{-1} r in double-double.
QB_FMA_CLONES void solve_dd(const std::vector<DD>& L, std::size_t dl, std::size_t T,
                            std::vector<DD>& r) {
    for (std::size_t i = 0; i < T; ++i) {
        DD s = r[i];
        for (std::size_t p = 1; p <= dl && p <= i; ++p) s = dd::sub_mul(s, L[p * T + i], r[i - p]);
        r[i] = dd::div(s, L[i]);
    }
    for (std::size_t i = T; i-- > 0;) {
        DD s = r[i];
        for (std::size_t p = 1; p <= dl && i + p < T; ++p) {
            s = dd::sub_mul(s, L[p * T + i + p], r[i + p]);
        }
        r[i] = dd::div(s, L[i]);
    }
}

// Mixed-precision refinement of the float64 solution work.z64: residuals in double-double
// (residual64), corrections from the float64 factor work.L64, z kept in float64 (the answer
// is rounded to it anyway).  True when a correction falls below kRefineConverged of max|z|
// after a contracting step, or two in a row are rounding noise; false when one is not finite
// or the corrections stop contracting (the factor is too poor) or kMaxSteps pass.
bool refine_float64(const ExactPenalty& exact, const double* w, double lam, double ridge,
                    RefineWork& work) {
    const std::size_t T = exact.band().T;
    const std::size_t dl = exact.live();
    std::vector<double>& z = work.z64;
    double previous = 0.0;
    for (int step = 0; step < kMaxSteps; ++step) {
        residual64(exact, w, work.b, lam, ridge, z, work.r64);
        solve64(work.L64, dl, T, work.r64);
        double size = 0.0;
        for (std::size_t i = 0; i < T; ++i) {
            if (!std::isfinite(work.r64[i])) return false;
            size = std::max(size, std::fabs(work.r64[i]));
        }
        const double zmax = max_abs(z.data(), T);
        if (step > 0 && size <= kNoise * zmax && previous <= kNoise * zmax) return true;
        if (step > 0 && !(size <= 0.5 * previous)) return false;
        for (std::size_t i = 0; i < T; ++i) z[i] += work.r64[i];
        if (size == 0.0 || (step > 0 && size <= kRefineConverged * zmax)) return true;
        previous = size;
    }
    return false;
}

// Iterative refinement of work.z: corrections from `correct` (which turns the residual in
// work.r into the correction, in place) until one is below kRefineConverged of max|z| after
// at least one contracting step.  False when a correction is not finite, the corrections
// stop contracting, or kMaxSteps pass; `stalled` then holds the size of the last finite
// correction that was applied (infinity when none), which bounds the error only when the
// factor is accurate.
template <class Correct>
bool refine_loop(const std::vector<DD>& A, std::size_t dl, std::size_t T, RefineWork& work,
                 double& stalled, Correct&& correct) {
    double previous = 0.0;
    stalled = INFINITY;
    for (int step = 0; step < kMaxSteps; ++step) {
        residual(A, dl, T, work.b, work.z, work.r);
        const double size = correct(work.r);  // max|correction|, NaN when not finite
        if (!std::isfinite(size)) return false;
        const double zmax = max_abs(work.z, T);
        // Two corrections in a row at the rounding level of z itself: nothing is left to
        // correct (they no longer contract because they are noise).
        if (step > 0 && size <= kNoise * zmax && previous <= kNoise * zmax) return true;
        if (step > 0 && !(size <= 0.5 * previous)) {
            // No longer contracting: the correction is at the level of the rounding noise
            // (or the factor is too poor to help); it is not applied.
            stalled = previous;
            return false;
        }
        for (std::size_t i = 0; i < T; ++i) work.z[i] = dd::add(work.z[i], work.r[i]);
        if (size == 0.0 || (step > 0 && size <= kRefineConverged * zmax)) return true;
        previous = size;
    }
    stalled = previous;
    return false;
}

}  // namespace

std::size_t ExactPenalty::live() const { return live_rows(*band_); }

const std::vector<DoubleDouble>& ExactPenalty::rows() const {
    std::call_once(built_, [this] {
        const PenaltyBand<double>& band = *band_;
        const std::size_t T = band.T;
        QB_ASSERT(band.positions.size() == T, "refinement needs the band's positions");
        const std::size_t dl = live();
        rows_.assign((dl + 1) * T, DD{});
        if (T == 0) return;
        if (band.d == 0) {
            for (std::size_t i = 0; i < T; ++i) rows_[i] = dd::from(1.0);
            return;
        }
        if (band.d >= T) return;  // no difference row: P = 0
        const std::size_t d = static_cast<std::size_t>(band.d);
        const std::vector<DD> D = difference_rows(band.positions, d, band.eps);
        for (std::size_t r = 0; r + d < T; ++r) {
            const DD* c = &D[r * (d + 1)];
            for (std::size_t l = 0; l <= d; ++l) {
                for (std::size_t m = 0; m <= l; ++m) {
                    DD& e = rows_[(l - m) * T + r + l];
                    e = dd::add(e, dd::mul(c[m], c[l]));
                }
            }
        }
    });
    return rows_;
}

Refinement refine_series(const ExactPenalty& exact, const double* w, const double* y, double lam,
                         double ridge, double eps, double* z, RefineWork& work) {
    const std::size_t T = exact.band().T;
    if (T == 0) return Refinement::kept;
    const std::size_t dl = exact.live();
    work.b.resize(T);
    for (std::size_t i = 0; i < T; ++i) work.b[i] = dd::two_prod(w[i], y[i]);
    work.z64.assign(z, z + T);

    // Corrections from the float64 factor of the system.
    factor_band64(exact.band(), dl, w, lam, ridge, eps, work.L64);
    if (!refine_float64(exact, w, lam, ridge, work)) {
        // The double-double factorisation, from the right-hand side afresh.
        form_system(exact, w, lam, ridge, work.A);
        if (!factor_dd(work.A, dl, T, work.L)) return Refinement::failed;
        work.z = work.b;
        solve_dd(work.L, dl, T, work.z);
        const auto correct_dd = [&](std::vector<DD>& r) {
            solve_dd(work.L, dl, T, r);
            double size = 0.0;
            for (std::size_t i = 0; i < T; ++i) {
                if (!dd::finite(r[i])) return double(NAN);
                size = std::max(size, std::fabs(r[i].hi));
            }
            return size;
        };
        double stalled = 0.0;
        const bool converged = refine_loop(work.A, dl, T, work, stalled, correct_dd);
        // The double-double factor is accurate wherever it exists, so a correction that no
        // longer contracts measures the error left: within kRefineKeep of the scale, the
        // promise holds with a wide margin.
        if (!converged && !(stalled <= kRefineKeep * refine_scale(y, work.z, T))) {
            return Refinement::failed;
        }
        for (std::size_t i = 0; i < T; ++i) work.z64[i] = dd::to_double(work.z[i]);
    }

    // Accurate already: the float64 bits stand.
    const double scale = std::max(max_abs(y, T), max_abs(work.z64.data(), T));
    double moved = 0.0;
    for (std::size_t i = 0; i < T; ++i) moved = std::max(moved, std::fabs(work.z64[i] - z[i]));
    if (moved <= kRefineKeep * scale) return Refinement::kept;
    std::copy(work.z64.begin(), work.z64.end(), z);
    return Refinement::refined;
}

void FailedRows::keep(std::size_t s, bool not_refined) {
    const std::lock_guard<std::mutex> lock(mutex_);
    rows_.emplace(s, not_refined);
}

bool FailedRows::any() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return !rows_.empty();
}

Result<void> FailedRows::outcome() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (rows_.empty()) return {};
    const auto& [first, not_refined] = *rows_.begin();
    return error(std::string(not_refined ? kNotRefined : kUntrustedResult) +
                 failing_rows(first, rows_.size()));
}

std::string failing_rows(std::size_t first_row, std::size_t count) {
    return " (row " + std::to_string(first_row) + "; " + std::to_string(count) +
           (count == 1 ? " row fails)" : " rows fail)");
}

}  // namespace quelbrin::core
