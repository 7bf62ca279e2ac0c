// run_irls skips the steps of a series whose robust weights repeat (settled, or in a cycle)
// and must give exactly the numbers of running every step: compared bit for bit with a
// plain loop of irls_step.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/band.hpp"
#include "core/normalize.hpp"
#include "robust/irls.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin;
using namespace quelbrin::robust;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Three series on one grid.  Row 1 falls into a period-4 cycle of rounding-level weight
// changes under hampel with the huber scale; rows 0 and 2 settle (period 1).
const std::vector<double> kX = {1.731042511869072,  2.7177089372717305, 4.394502371477533,
                                5.489905843508652,  7.406941696411628,  8.868496580502939,
                                10.701496576372568, 12.591981587759012, 14.216249284763324,
                                14.548747623294787};
const std::vector<double> kY = {0.3,
                                -1.1,
                                0.7,
                                2.0,
                                0.1,
                                -0.4,
                                30.0,
                                0.2,
                                -0.9,
                                0.5,
                                -47.33038426346261,
                                -0.3494634711099121,
                                -2.03126901304909,
                                0.5409699634514118,
                                kNaN,
                                0.5484868325965845,
                                0.9176724874612288,
                                0.4407067447635609,
                                0.34251539095341227,
                                0.4739470669880134,
                                1.0,
                                1.0,
                                kNaN,
                                1.0,
                                1.0,
                                -20.0,
                                1.0,
                                1.0,
                                1.0,
                                1.0};
constexpr std::size_t kS = 3;
constexpr std::size_t kT = 10;

template <class F>
struct Problem {
    std::vector<F> y;
    Matrix<F> wb;
    core::PenaltyBand<F> band;
    IrlsInputs<F> in;

    explicit Problem(std::uint64_t d) : y(kY.begin(), kY.end()), wb(kS, kT) {
        const std::vector<F> x(kX.begin(), kX.end());
        const std::vector<F> pos = core::normalize_x<F>(std::span<const F>(x), "mean");
        band = core::build_penalty_band<F>(std::span<const F>(pos), d, F(1e-10));
        for (std::size_t s = 0; s < kS; ++s)
            for (std::size_t t = 0; t < kT; ++t)
                wb(s, t) = std::isfinite(y[s * kT + t]) ? F(1) : F(0);
        in.y = MatrixView<F>::row_major(y.data(), kS, kT);
        in.base_weights = wb.view();
        in.band = &band;
        in.lam = F(8814.043828699161);
        in.ridge = F(1e-10);
        in.eps = F(1e-10);
        in.weighting = Weighting::hampel;
        in.constants = default_tuning<F>(Weighting::hampel);
        in.scale_name = "huber";
    }
};

template <class F>
bool same_bits(const Matrix<F>& a, const Matrix<F>& b) {
    return a.data.size() == b.data.size() &&
           std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(F)) == 0;
}

// Every step of every series, as the reference: after step n, (z, wt) must equal
// run_irls(n) bit for bit, for every n tried (serial and parallel).
template <class F>
bool matches_plain_loop(std::uint64_t d, std::uint64_t steps) {
    Problem<F> p(d);
    IrlsResult<F> ref{Matrix<F>(kS, kT), Matrix<F>(kS, kT)};
    Matrix<F> wr(kS, kT);
    for (std::size_t s = 0; s < kS; ++s)
        for (std::size_t t = 0; t < kT; ++t) wr(s, t) = p.wb(s, t) > F(0) ? F(1) : F(0);
    bool ok = true;
    for (std::uint64_t n = 1; n <= steps; ++n) {
        for (std::size_t s = 0; s < kS; ++s)
            irls_step(p.in, s, std::span<F>(ref.z.row(s), kT), std::span<F>(wr.row(s), kT),
                      std::span<F>(ref.wt.row(s), kT));
        for (bool parallel : {false, true}) {
            const IrlsResult<F> got = run_irls(p.in, n, parallel);
            ok = ok && same_bits(got.z, ref.z) && same_bits(got.wt, ref.wt);
        }
    }
    return ok;
}

// Steps until wt of series s repeats an earlier step's wt; the period, 0 if none.
template <class F>
std::uint64_t period_of_series(std::size_t s, std::uint64_t limit) {
    Problem<F> p(2);
    std::vector<std::vector<F>> seen;
    std::vector<F> z(kT), wt(kT), wr(kT);
    for (std::size_t t = 0; t < kT; ++t) wr[t] = p.wb(s, t) > F(0) ? F(1) : F(0);
    for (std::uint64_t n = 0; n < limit; ++n) {
        irls_step(p.in, s, std::span<F>(z), std::span<F>(wr), std::span<F>(wt));
        for (std::size_t j = 0; j < seen.size(); ++j)
            if (std::memcmp(seen[j].data(), wt.data(), kT * sizeof(F)) == 0) return n - j;
        seen.push_back(wt);
    }
    return 0;
}

}  // namespace

QB_TEST(irls_data_covers_settling_and_a_cycle) {
    // The cases the early stop distinguishes really occur in this data.
    QB_CHECK(period_of_series<double>(0, 400) == 1);
    QB_CHECK(period_of_series<double>(1, 400) == 4);
    QB_CHECK(period_of_series<double>(2, 400) == 1);
}

QB_TEST(irls_early_stop_changes_no_bit) {
    // 120 steps reach well past the start of cycle watching and the repeats.
    QB_CHECK(matches_plain_loop<double>(2, 120));
    QB_CHECK(matches_plain_loop<float>(2, 120));
    QB_CHECK(matches_plain_loop<double>(1, 60));
    QB_CHECK(matches_plain_loop<double>(0, 30));
}

QB_TEST(irls_huge_iteration_counts_end_and_agree_with_the_cycle) {
    Problem<double> p(2);
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const IrlsResult<double> huge = run_irls(p.in, kMax, true);
    // kMax = 3 (mod 4), so the result must be that of any large n = 3 (mod 4); and for
    // the settled series that of any large n at all.
    const IrlsResult<double> same = run_irls(p.in, 403, false);
    QB_CHECK(same_bits(huge.z, same.z) && same_bits(huge.wt, same.wt));
    const IrlsResult<double> other = run_irls(p.in, 404, false);
    QB_CHECK(!same_bits(huge.wt, other.wt));
    QB_CHECK(std::memcmp(huge.wt.row(0), other.wt.row(0), kT * sizeof(double)) == 0);
}
