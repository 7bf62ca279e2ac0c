// Double-double primitives against exact rational facts, and refinement's promise to keep
// the bits of a series that was already accurate.
#include <cmath>
#include <cstring>
#include <vector>

#include "core/band.hpp"
#include "core/double_double.hpp"
#include "core/refine.hpp"
#include "core/solver.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin::core;

namespace {

// Error-free transformations: the pair holds the exact sum / product.
QB_TEST(double_double_transformations_are_exact) {
    const double a = 1.0 + std::ldexp(1.0, -52), b = 1.0 - std::ldexp(1.0, -53);
    const DoubleDouble p = dd::two_prod(a, b);  // (1 + 2^-52)(1 - 2^-53) = 1 + 2^-53 - 2^-105
    QB_CHECK(p.hi == 1.0 + std::ldexp(1.0, -52) || p.hi == 1.0);
    QB_CHECK(p.hi + (p.lo) == p.hi);  // normalised
    QB_CHECK((p.hi - 1.0) + p.lo == std::ldexp(1.0, -53) - std::ldexp(1.0, -105));
    const DoubleDouble s = dd::two_sum(1e16, 1.0 + std::ldexp(1.0, -20));
    QB_CHECK(s.hi == 1e16 + 2.0 || s.hi == 1e16);
    QB_CHECK((s.hi - 1e16) + s.lo == 1.0 + std::ldexp(1.0, -20));
    // 1/3 and sqrt(2) to about 104 bits: the residual of each is below 2^-100.
    const DoubleDouble third = dd::div(dd::from(1.0), dd::from(3.0));
    const DoubleDouble r = dd::sub(dd::from(1.0), dd::mul(third, dd::from(3.0)));
    QB_CHECK(std::fabs(r.hi) < std::ldexp(1.0, -100));
    const DoubleDouble root = dd::sqrt(dd::from(2.0));
    const DoubleDouble e = dd::sub(dd::mul(root, root), dd::from(2.0));
    QB_CHECK(std::fabs(e.hi) < std::ldexp(1.0, -100));
}

// A well-conditioned series refined: already accurate, so refine_series keeps it untouched;
// a solution disturbed by 1e-6 is corrected back to within rounding of the solve.
QB_TEST(refinement_keeps_accurate_series_and_corrects_others) {
    const std::size_t T = 200;
    std::vector<double> x(T), w(T, 1.0), y(T), z(T);
    for (std::size_t i = 0; i < T; ++i) {
        x[i] = static_cast<double>(i) + 0.3 * std::sin(static_cast<double>(i));
        y[i] = std::sin(x[i] / 9.0);
    }
    const PenaltyBand<double> band =
        build_penalty_band<double>(std::span<const double>(x), 2, 1e-10);
    solve_banded(band, w.data(), y.data(), 10.0, 1e-10, 1e-10, z.data());
    const ExactPenalty exact(band);
    RefineWork work;
    std::vector<double> kept = z;
    QB_CHECK(refine_series(exact, w.data(), y.data(), 10.0, 1e-10, 1e-10, kept.data(), work) ==
             Refinement::kept);
    QB_CHECK(std::memcmp(kept.data(), z.data(), T * sizeof(double)) == 0);
    std::vector<double> off = z;
    for (std::size_t i = 0; i < T; i += 7) off[i] += 1e-6;
    QB_CHECK(refine_series(exact, w.data(), y.data(), 10.0, 1e-10, 1e-10, off.data(), work) ==
             Refinement::refined);
    for (std::size_t i = 0; i < T; ++i) QB_CHECK(std::fabs(off[i] - z[i]) < 1e-12);
}

}  // namespace
