// The Whittaker numerics on worked examples and exact cases.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/band.hpp"
#include "core/median.hpp"
#include "core/normalize.hpp"
#include "core/solver.hpp"
#include "support/panic.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin;
using namespace quelbrin::core;
using Vec = std::vector<double>;

namespace {

template <class F>
PenaltyBand<F> band_on(const std::vector<F>& x, std::uint64_t d) {
    return build_penalty_band(std::span<const F>(x), d, F(1e-10));
}

template <class F>
std::vector<F> solve(const PenaltyBand<F>& b, std::vector<F> w, std::vector<F> y, F lam, F ridge,
                     F eps, SolveScratch<F>* scratch = nullptr) {
    std::vector<F> out(b.T, F(-7));
    if (scratch)
        solve_banded(b, w.data(), y.data(), lam, ridge, eps, out.data(), *scratch);
    else
        solve_banded(b, w.data(), y.data(), lam, ridge, eps, out.data());
    return out;
}

Vec stored(const PenaltyBand<double>& b) { return b.values; }

}  // namespace

QB_TEST(median_and_normalisation_examples) {
    Vec one{7.5}, two{5, 1}, four{4, 4, 1, 9}, nan{1, std::nan(""), 3};
    QB_CHECK(median_select(std::span<double>(one)) == 7.5);
    QB_CHECK(median_select(std::span<double>(two)) == 3.0);
    QB_CHECK(median_select(std::span<double>(four)) == 4.0);
    bool panicked = false;
    try {
        (void)median_select(std::span<double>(nan));
    } catch (const Panic&) {
        panicked = true;
    }
    QB_CHECK(panicked);
    QB_CHECK(quelbrin_test::contains(quelbrin_test::stderr_text(), "/src/core/median.cpp:"));

    using M = std::optional<std::string_view>;
    const Vec x{10, 12, 14, 20}, x2{0, 1, 3, 6, 10};
    QB_CHECK(normalize_x<double>(x, M("mean"))[1] == 2.0 / (10.0 / 3.0));
    QB_CHECK((normalize_x<double>(x, M("median")) == Vec{0, 1, 2, 5}));
    QB_CHECK((normalize_x<double>(x2, M("median")) == Vec{0, 0.4, 1.2, 2.4, 4}));
    QB_CHECK((normalize_x<double>(x, M("Mean")) == Vec{0, 2, 4, 10}));
    QB_CHECK(normalize_x<double>(x, M()) == x);
    QB_CHECK((normalize_x<double>(Vec{42}, M("mean")) == Vec{42}));
    // No positive spacing at all: scale 1.
    QB_CHECK((normalize_x<double>(Vec{5, 3, 1}, M("median")) == Vec{0, -2, -4}));
}

QB_TEST(band_worked_examples) {
    QB_CHECK((stored(band_on<double>({0, 0.5, 7}, 0)) == Vec{1, 1, 1}));
    auto b1 = band_on<double>({0, 1, 2, 3, 4}, 1);
    QB_CHECK(b1.stored_k() == 2);
    QB_CHECK((stored(b1) == Vec{1, 2, 2, 2, 1, 0, -1, -1, -1, -1, 0, 0, 0, 0, 0}));
    auto b2 = band_on<double>({0, 1, 2, 3, 4}, 2);
    Vec rows{0.25, 1.25, 1.5, 1.25, 0.25, 0, -0.5, -1, -1, -0.5, 0, 0, 0.25, 0.25, 0.25};
    rows.resize(25, 0.0);
    QB_CHECK(b2.stored_k() == 4 && stored(b2) == rows);
    auto irregular = band_on<double>({0, 1, 3, 6, 10}, 2);
    QB_CHECK(std::fabs(irregular(0, 0) - 1.0 / 9) < 1e-16);
    QB_CHECK(std::fabs(irregular(0, 1) - 0.26) < 1e-15);
    auto b3 = band_on<double>({0, 1, 2, 3}, 3);  // one row (-1/6, 1/2, -1/2, 1/6)
    QB_CHECK(b3(0, 0) == (-1.0 / 6) * (-1.0 / 6) && b3(3, 3) == (-1.0 / 6) * (1.0 / 6));
    auto capped = band_on<double>({0, 1, 2, 4, 7}, 3);  // k = 6 but T - 1 = 4
    QB_CHECK(capped.stored_k() == 4 && capped.values.size() == 25);
}

QB_TEST(band_with_too_few_positions_is_zero_for_any_order) {
    const std::uint64_t big = std::numeric_limits<std::uint64_t>::max();
    using Case = std::pair<std::size_t, std::uint64_t>;
    for (auto [T, d] :
         {Case{2, 2}, {1, 1}, {1, 2}, {3, 1000000000000}, {4, big}, {4, big / 2 + 1}}) {
        std::vector<float> x(T);
        for (std::size_t i = 0; i < T; ++i) x[i] = static_cast<float>(i);
        auto b = band_on(x, d);
        QB_CHECK(b.stored_k() == T - 1 && b.values == std::vector<float>(T * T, 0.0f));
    }
    QB_CHECK(build_penalty_band(std::span<const double>(), big, 1e-10).values.empty());
}

QB_TEST(solver_exact_cases) {
    const Vec x{0, 0.3, 1, 2.5, 2.6, 9}, y{3.25, -1.5, 1e-300, 7e12, 0.1, -2};
    for (std::uint64_t d : {0, 1, 2, 3}) {
        QB_CHECK(solve(band_on(x, d), Vec(6, 1.0), y, 0.0, 0.0, 1.0) == y);  // no penalty
        const Vec zeros(6, 0.0);
        QB_CHECK(solve(band_on(x, d), zeros, zeros, 10.0, 1e-10, 1e-10) == zeros);
    }
    const Vec w{1.0, 0.5, 2.0, 0.0, 1, 1};
    auto z0 = solve(band_on(x, 0), w, y, 3.0, 0.25, 1e-10);
    for (std::size_t i = 0; i < 6; ++i) {
        const double a = std::sqrt(3.0 + w[i] + 0.25);
        QB_CHECK(z0[i] == (w[i] * y[i] / a) / a);
    }
    const double a1 = std::sqrt(2.5);
    const auto single = solve(band_on<double>({5.0}, 1), {2.0}, {3.0}, 100.0, 0.5, 1e-10);
    QB_CHECK(single[0] == (6.0 / a1) / a1);
    // Zero pivots with no floor: NaN in float64, the float32 re-solve gives zeros.
    const Vec none(4, 0.0);
    for (double v : solve(band_on<double>({0, 1, 2, 3}, 2), none, none, 0.0, 0.0, 0.0)) {
        QB_CHECK(std::isnan(v));
    }
    for (float eps : {0.0f, std::nanf("")}) {
        auto zf = solve(band_on<float>({0, 1, 2, 3}, 2), std::vector<float>(4, 0.0f),
                        std::vector<float>(4, 0.0f), 0.0f, 0.0f, eps);
        QB_CHECK(zf == std::vector<float>(4, 0.0f));
    }
}

QB_TEST(solver_float_check_and_fallback) {
    // Four observations on a line and a long gap, no ridge, no floor: the float32 pass is
    // rejected and the float64 re-solve recovers the line.
    const std::size_t T = 1000;
    std::vector<float> x(T), w(T, 0.0f), y(T, 0.0f);
    for (std::size_t i = 0; i < T; ++i) x[i] = static_cast<float>(i);
    for (std::size_t i = 0; i < 4; ++i) w[i] = 1.0f, y[i] = static_cast<float>(i);
    SolveScratch<float> s1, s2, s3;
    auto z = solve(band_on(x, 2), w, y, 1.0f, 0.0f, 0.0f, &s1);
    QB_CHECK(!s1.rhs64.empty() && std::fabs(z[T - 1] - 999.0f) < 0.5f);
    (void)solve(band_on(x, 2), std::vector<float>(T, 1.0f), y, 1.0f, 1e-6f, 1e-10f, &s2);
    QB_CHECK(s2.rhs64.empty());  // a well-posed system keeps its float32 answer
    // Pivot 2**-23 gives |z| ~ 8.4e6: above 1e6 * max(1, max|y|) with max|y| = 1 only.
    const float w0 = -(1.0f - 0x1p-23f);
    (void)solve(band_on<float>({0, 1}, 0), {w0, 1.0f}, {1.0f, 1.0f}, 1.0f, 0.0f, 1e-10f, &s3);
    QB_CHECK(!s3.rhs64.empty());
    SolveScratch<float> s4;
    (void)solve(band_on<float>({0, 1}, 0), {w0, 1.0f}, {1.0f, 1000.0f}, 1.0f, 0.0f, 1e-10f, &s4);
    QB_CHECK(s4.rhs64.empty());
}

QB_TEST(solver_reused_dirty_scratch_changes_no_bit) {
    const Vec x{0, 1.5, 2, 2.25, 4, 5, 8, 8.5, 9, 12}, w{1, 1, 0, 1, 0.5, 1, 1, 2, 1, 1},
        y{1, -2, 0, 4, 1, 1, 0, 3, -1, 2};
    for (std::uint64_t d : {0, 1, 2, 3}) {
        SolveScratch<double> dirty;
        dirty.factor.assign(200, std::nan(""));
        dirty.rhs.assign(50, std::nan(""));
        auto a = solve(band_on(x, d), w, y, 5.0, 1e-10, 1e-10);
        auto b = solve(band_on(x, d), w, y, 5.0, 1e-10, 1e-10, &dirty);
        QB_CHECK(std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0);
    }
}
