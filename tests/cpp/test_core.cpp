// The Whittaker numerics on worked examples and exact cases.
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/band.hpp"
#include "core/floor_eps.hpp"
#include "core/median.hpp"
#include "core/normalize.hpp"
#include "core/single_pass.hpp"
#include "core/solver.hpp"
#include "support/panic.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin;
using namespace quelbrin::core;

namespace {

template <class F>
bool near(F a, F b, double tol = 1e-12) {
    return std::fabs(static_cast<double>(a) - static_cast<double>(b)) <=
           tol * std::max(1.0, std::fabs(static_cast<double>(b)));
}

template <class F>
bool same_bits(const std::vector<F>& a, const std::vector<F>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(F)) == 0;
}

// Band row j of the stored band, or zeros for the rows beyond stored_k().
template <class F>
std::vector<F> band_row(const PenaltyBand<F>& band, std::size_t j) {
    if (j > band.stored_k()) return std::vector<F>(band.T, F(0));
    return std::vector<F>(band.row(j), band.row(j) + band.T);
}

template <class F>
bool rows_near(const PenaltyBand<F>& band, const std::vector<std::vector<double>>& expect,
               double tol) {
    for (std::size_t j = 0; j < expect.size(); ++j) {
        const auto row = band_row(band, j);
        if (row.size() != expect[j].size()) return false;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (!near(static_cast<double>(row[i]), expect[j][i], tol)) return false;
        }
    }
    return true;
}

template <class F>
PenaltyBand<F> band_on(std::vector<F> x, std::uint64_t d, F eps = F(1e-10)) {
    return build_penalty_band(std::span<const F>(x), d, eps);
}

std::vector<double> solve(const PenaltyBand<double>& band, std::vector<double> w,
                          std::vector<double> y, double lam, double ridge, double eps) {
    std::vector<double> out(band.T, -7.0);
    solve_banded(band, w.data(), y.data(), lam, ridge, eps, out.data());
    return out;
}

std::vector<float> solve(const PenaltyBand<float>& band, std::vector<float> w,
                         std::vector<float> y, float lam, float ridge, float eps) {
    std::vector<float> out(band.T, -7.0f);
    solve_banded(band, w.data(), y.data(), lam, ridge, eps, out.data());
    return out;
}

}  // namespace

// ---- floor_eps, median, normalisation ---------------------------------------------------

QB_TEST(floor_eps_takes_the_non_nan_side) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QB_CHECK(floor_eps(0.5, 1e-3) == 0.5);
    QB_CHECK(floor_eps(-2.0, 1e-3) == 1e-3);
    QB_CHECK(floor_eps(nan, 1e-3) == 1e-3);
    QB_CHECK(floor_eps(0.25, nan) == 0.25);
    QB_CHECK(std::isnan(floor_eps(nan, nan)));
}

QB_TEST(median_examples) {
    std::vector<double> one{7.5}, two{5, 1}, four{4, 4, 1, 9}, odd{3, -1, 8, 2, 2};
    QB_CHECK(median_select(std::span<double>(one)) == 7.5);
    QB_CHECK(median_select(std::span<double>(two)) == 3.0);
    QB_CHECK(median_select(std::span<double>(four)) == 4.0);
    QB_CHECK(median_select(std::span<double>(odd)) == 2.0);
    std::vector<float> f{1.0f, 2.0f, 3.0f, 4.0f};
    QB_CHECK(median_select(std::span<float>(f)) == 2.5f);
    std::vector<double> inf{1.0, std::numeric_limits<double>::infinity()};
    QB_CHECK(std::isinf(median_select(std::span<double>(inf))));
}

QB_TEST(median_of_nan_is_an_internal_error) {
    std::vector<double> v{1.0, std::nan(""), 3.0};
    bool panicked = false;
    try {
        (void)median_select(std::span<double>(v));
    } catch (const Panic&) {
        panicked = true;
    }
    QB_CHECK(panicked);
}

QB_TEST(normalize_examples) {
    using M = std::optional<std::string_view>;
    const std::vector<double> x{10, 12, 14, 20};
    auto mean = normalize_x(std::span<const double>(x), M("mean"));
    QB_CHECK(mean[0] == 0.0 && near(mean[1], 0.6) && near(mean[2], 1.2) && near(mean[3], 3.0));
    QB_CHECK(mean[1] == (12.0 - 10.0) / (10.0 / 3.0));
    auto median = normalize_x(std::span<const double>(x), M("median"));
    QB_CHECK((median == std::vector<double>{0, 1, 2, 5}));
    const std::vector<double> x2{0, 1, 3, 6, 10};
    auto median2 = normalize_x(std::span<const double>(x2), M("median"));
    QB_CHECK((median2 == std::vector<double>{0, 0.4, 1.2, 2.4, 4}));
    for (const char* other : {"Mean", "", "median "}) {
        auto shifted = normalize_x(std::span<const double>(x), M(other));
        QB_CHECK((shifted == std::vector<double>{0, 2, 4, 10}));
    }
    QB_CHECK(normalize_x(std::span<const double>(x), M()) == x);
    const std::vector<double> single{42.0};
    QB_CHECK(normalize_x(std::span<const double>(single), M("mean")) == single);
    const std::vector<float> xf{10, 12, 14, 20};
    auto mf = normalize_x(std::span<const float>(xf), M("mean"));
    QB_CHECK(mf[3] == (20.0f - 10.0f) / (10.0f / 3.0f));
}

QB_TEST(normalize_degenerate_scale_becomes_one) {
    using M = std::optional<std::string_view>;
    // Decreasing positions (never passed by the callers) give a negative mean spacing and
    // no positive spacing at all: both fall back to scale 1.
    const std::vector<double> x{5, 3, 1};
    QB_CHECK((normalize_x(std::span<const double>(x), M("mean")) == std::vector<double>{0, -2, -4}));
    QB_CHECK(
        (normalize_x(std::span<const double>(x), M("median")) == std::vector<double>{0, -2, -4}));
}

// ---- penalty band ----------------------------------------------------------------------

QB_TEST(band_order_zero_is_ones) {
    auto band = band_on<double>({0, 0.5, 7, 9}, 0);
    QB_CHECK(band.stored_k() == 0);
    QB_CHECK((band.values == std::vector<double>{1, 1, 1, 1}));
    auto single = band_on<float>({3.0f}, 0);
    QB_CHECK((single.values == std::vector<float>{1.0f}));
}

QB_TEST(band_worked_unit_grid) {
    auto b1 = band_on<double>({0, 1, 2, 3, 4}, 1);
    QB_CHECK(b1.stored_k() == 2);
    QB_CHECK(rows_near(b1, {{1, 2, 2, 2, 1}, {0, -1, -1, -1, -1}, {0, 0, 0, 0, 0}}, 0));
    auto b2 = band_on<double>({0, 1, 2, 3, 4}, 2);
    QB_CHECK(b2.stored_k() == 4);
    QB_CHECK(rows_near(b2,
                       {{0.25, 1.25, 1.5, 1.25, 0.25},
                        {0, -0.5, -1, -1, -0.5},
                        {0, 0, 0.25, 0.25, 0.25},
                        {0, 0, 0, 0, 0},
                        {0, 0, 0, 0, 0}},
                       0));
    auto f2 = band_on<float>({0, 1, 2, 3, 4}, 2);
    QB_CHECK(rows_near(f2, {{0.25, 1.25, 1.5, 1.25, 0.25}}, 0));
}

QB_TEST(band_worked_irregular_grid) {
    // Order-2 rows (1/3, -1/2, 1/6), (1/10, -1/6, 1/15), (1/21, -1/12, 1/28).
    const double c[3][3] = {{1.0 / 3, -0.5, 1.0 / 6}, {0.1, -1.0 / 6, 1.0 / 15},
                            {1.0 / 21, -1.0 / 12, 1.0 / 28}};
    std::vector<double> diag(5, 0.0), sub1(5, 0.0), sub2(5, 0.0);
    for (int r = 0; r < 3; ++r) {
        for (int l = 0; l < 3; ++l) diag[r + l] += c[r][l] * c[r][l];
        for (int l = 1; l < 3; ++l) sub1[r + l] += c[r][l - 1] * c[r][l];
        sub2[r + 2] += c[r][0] * c[r][2];
    }
    auto band = band_on<double>({0, 1, 3, 6, 10}, 2);
    QB_CHECK(near(band(0, 0), 1.0 / 9) && near(band(0, 1), 0.26));
    QB_CHECK(rows_near(band, {diag, sub1, sub2, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, 1e-14));
}

QB_TEST(band_order_three_unit_row) {
    // One order-3 row on four unit-spaced positions: (-1/6, 1/2, -1/2, 1/6).
    auto band = band_on<double>({0, 1, 2, 3}, 3);
    QB_CHECK(band.stored_k() == 3);
    const double c[4] = {-1.0 / 6, 0.5, -0.5, 1.0 / 6};
    for (std::size_t j = 0; j <= 3; ++j) {
        for (std::size_t i = j; i < 4; ++i) QB_CHECK(near(band(j, i), c[i] * c[i - j], 1e-15));
    }
}

QB_TEST(band_close_positions_use_the_floor) {
    auto band = band_on<double>({0, 0, 1}, 1, 1e-3);
    // Row 0 of D is (-1/eps, 1/eps): its square lands on the diagonal.
    QB_CHECK(band(0, 0) == 1e6 && band(0, 1) == 1e6 + 1.0 && band(1, 1) == -1e6);
}

QB_TEST(band_too_few_positions_is_zero) {
    struct Case {
        std::size_t T;
        std::uint64_t d;
    };
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    for (Case c : {Case{2, 2}, Case{1, 1}, Case{1, 2}, Case{2, 5}, Case{3, 1000000000000ull},
                   Case{4, huge}, Case{4, huge / 2 + 1}}) {
        std::vector<double> x;
        for (std::size_t i = 0; i < c.T; ++i) x.push_back(static_cast<double>(i * i));
        auto band = build_penalty_band(std::span<const double>(x), c.d, 1e-10);
        QB_CHECK(band.stored_k() == c.T - 1);
        QB_CHECK(band.values.size() == c.T * c.T);
        bool all_zero = true;
        for (double v : band.values) all_zero = all_zero && v == 0.0;
        QB_CHECK(all_zero);
    }
    auto empty = build_penalty_band(std::span<const double>(), huge, 1e-10);
    QB_CHECK(empty.T == 0 && empty.values.empty());
}

QB_TEST(band_stored_rows_are_capped_by_length) {
    // d = 3 on 5 positions: k = 6, but only rows 0..4 can hold elements.
    auto band = band_on<double>({0, 1, 2, 4, 7}, 3);
    QB_CHECK(band.stored_k() == 4);
    QB_CHECK(band.values.size() == 25);
    for (std::size_t i = 0; i < 5; ++i) QB_CHECK(band(4, i) == 0.0);
}

// ---- solver ----------------------------------------------------------------------------

QB_TEST(solver_zero_lambda_returns_y_exactly) {
    const std::vector<double> y{3.25, -1.5, 1e-300, 7e12, 0.1, -0.0};
    const std::vector<double> x{0, 0.3, 1, 2.5, 2.6, 9};
    for (std::uint64_t d : {0, 1, 2, 3}) {
        auto band = band_on(x, d);
        QB_CHECK(solve(band, std::vector<double>(6, 1.0), y, 0.0, 0.0, 1.0) == y);
        auto bandf = band_on(std::vector<float>(x.begin(), x.end()), d);
        std::vector<float> yf(y.begin(), y.end() - 3);
        yf.resize(6, 0.5f);
        QB_CHECK(solve(bandf, std::vector<float>(6, 1.0f), yf, 0.0f, 0.0f, 1e-6f) == yf);
    }
}

QB_TEST(solver_all_zero_weights_give_zeros) {
    auto band = band_on<double>({0, 1, 2, 4, 8, 9}, 2);
    auto z = solve(band, std::vector<double>(6, 0.0), std::vector<double>(6, 0.0), 10.0, 1e-10,
                   1e-10);
    QB_CHECK(z == std::vector<double>(6, 0.0));
    auto bandf = band_on<float>({0, 1, 2, 4, 8, 9}, 2);
    auto zf = solve(bandf, std::vector<float>(6, 0.0f), std::vector<float>(6, 0.0f), 10.0f,
                    1e-10f, 1e-10f);
    QB_CHECK(zf == std::vector<float>(6, 0.0f));
}

QB_TEST(solver_zero_pivots_nan_in_double_zeros_in_float) {
    auto band = band_on<double>({0, 1, 2, 3, 4}, 2);
    auto z = solve(band, std::vector<double>(5, 0.0), std::vector<double>(5, 0.0), 0.0, 0.0, 0.0);
    for (double v : z) QB_CHECK(std::isnan(v));
    auto bandf = band_on<float>({0, 1, 2, 3, 4}, 2);
    auto zf = solve(bandf, std::vector<float>(5, 0.0f), std::vector<float>(5, 0.0f), 0.0f, 0.0f,
                    0.0f);
    QB_CHECK(zf == std::vector<float>(5, 0.0f));
    // A NaN eps in the float re-solve floors with the float64 epsilon as well.
    auto zn = solve(bandf, std::vector<float>(5, 0.0f), std::vector<float>(5, 0.0f), 0.0f, 0.0f,
                    std::nanf(""));
    QB_CHECK(zn == std::vector<float>(5, 0.0f));
}

QB_TEST(solver_order_zero_closed_form) {
    auto band = band_on<double>({0, 2, 3, 7}, 0);
    const std::vector<double> w{1.0, 0.5, 2.0, 0.0}, y{4.0, -2.0, 0.3, 9.0};
    const double lam = 3.0, ridge = 0.25;
    auto z = solve(band, w, y, lam, ridge, 1e-10);
    for (std::size_t i = 0; i < 4; ++i) {
        const double a = std::sqrt(1.0 * lam + w[i] + ridge);
        QB_CHECK(z[i] == (w[i] * y[i] / a) / a);
    }
}

QB_TEST(solver_single_position) {
    for (std::uint64_t d : {1, 2, 40}) {
        auto band = band_on<double>({5.0}, d);
        auto z = solve(band, {2.0}, {3.0}, 100.0, 0.5, 1e-10);
        const double a = std::sqrt(2.0 + 0.5);
        QB_CHECK(z[0] == (2.0 * 3.0 / a) / a);
    }
}

QB_TEST(solver_matches_dense_cholesky_closely) {
    // A smoothing system solved densely (Gaussian elimination) agrees to rounding.
    const std::vector<double> x{0, 0.7, 1.1, 2.9, 3.0, 4.4, 6.0, 6.5};
    const std::vector<double> w{1, 0.3, 0, 2, 1, -0.1, 1, 1};
    const std::vector<double> y{1, 2, 0, -1, 0.5, 0, 3, 2.5};
    for (std::uint64_t d : {1, 2, 3}) {
        auto band = band_on(x, d);
        const double lam = 2.0, ridge = 1e-3;
        const std::size_t T = x.size();
        std::vector<std::vector<double>> A(T, std::vector<double>(T + 1, 0.0));
        for (std::size_t i = 0; i < T; ++i) {
            for (std::size_t j = 0; j <= band.stored_k() && j <= i; ++j) {
                A[i][i - j] += lam * band(j, i);
                if (j) A[i - j][i] += lam * band(j, i);
            }
            A[i][i] += w[i] + ridge;
            A[i][T] = w[i] * y[i];
        }
        for (std::size_t c = 0; c < T; ++c) {
            for (std::size_t r = c + 1; r < T; ++r) {
                const double f = A[r][c] / A[c][c];
                for (std::size_t k = c; k <= T; ++k) A[r][k] -= f * A[c][k];
            }
        }
        std::vector<double> dense(T);
        for (std::size_t r = T; r-- > 0;) {
            double s = A[r][T];
            for (std::size_t k = r + 1; k < T; ++k) s -= A[r][k] * dense[k];
            dense[r] = s / A[r][r];
        }
        auto z = solve(band, w, y, lam, ridge, 1e-12);
        for (std::size_t i = 0; i < T; ++i) QB_CHECK(near(z[i], dense[i], 1e-9));
    }
}

QB_TEST(solver_float_result_check_reaches_the_fallback) {
    // ridge = 0, eps = 0 and a long run of zero weights after four observations on a line:
    // the float32 pass cannot resolve the extrapolation, the float64 re-solve can.
    const std::size_t T = 1000;
    std::vector<float> x, w, y;
    for (std::size_t i = 0; i < T; ++i) {
        x.push_back(static_cast<float>(i));
        const bool seen = i < 4;
        w.push_back(seen ? 1.0f : 0.0f);
        y.push_back(seen ? static_cast<float>(i) : 0.0f);
    }
    auto band = band_on(x, 2, 1e-10f);
    SolveScratch<float> scratch;
    std::vector<float> out(T);
    solve_banded(band, w.data(), y.data(), 1.0f, 0.0f, 0.0f, out.data(), scratch);
    QB_CHECK(!scratch.rhs64.empty());  // the re-solve ran
    // The float64 system is well posed: the answer is the line itself, rounded to float32.
    std::vector<double> xd(x.begin(), x.end()), wd(w.begin(), w.end()), yd(y.begin(), y.end());
    auto zd = solve(band_on<double>(xd, 2), wd, yd, 1.0, 0.0, 2.220446049250313e-16);
    for (std::size_t i = 0; i < T; ++i) QB_CHECK(near(out[i], static_cast<float>(zd[i]), 1e-3));
    QB_CHECK(near(out[T - 1], static_cast<float>(T - 1), 1e-3));
    // A well-posed float system never reaches the re-solve.
    SolveScratch<float> quiet;
    std::vector<float> ones(T, 1.0f);
    solve_banded(band, ones.data(), y.data(), 1.0f, 1e-6f, 1e-10f, out.data(), quiet);
    QB_CHECK(quiet.rhs64.empty());
}

QB_TEST(solver_float_bound_uses_the_largest_observation) {
    // d = 0, lam = 1, ridge = 0 and the weight -(1 - 2**-23): the pivot is 2**-23 and
    // z[0] is about -8.4e6, finite but above 1e6 * max(1, max|y|) when max|y| = 1.
    auto band = band_on<float>({0, 1}, 0);
    const float w0 = -(1.0f - 0x1p-23f);
    std::vector<float> w{w0, 1.0f}, y{1.0f, 1.0f}, out(2);
    SolveScratch<float> rejected;
    solve_banded(band, w.data(), y.data(), 1.0f, 0.0f, 1e-10f, out.data(), rejected);
    QB_CHECK(!rejected.rhs64.empty());
    const double a = 1.0 + static_cast<double>(w0);
    QB_CHECK(out[0] == static_cast<float>((static_cast<double>(w0) / std::sqrt(a)) / std::sqrt(a)));
    // A larger observation elsewhere in the series raises the bound to 1e9: accepted as is.
    y[1] = 1000.0f;
    SolveScratch<float> accepted;
    solve_banded(band, w.data(), y.data(), 1.0f, 0.0f, 1e-10f, out.data(), accepted);
    QB_CHECK(accepted.rhs64.empty());
    const float af = std::sqrt(1.0f + w0);
    const float a1 = std::sqrt(2.0f);
    QB_CHECK(out[0] == (w0 / af) / af && out[1] == (1000.0f / a1) / a1);
}

QB_TEST(solver_nan_weight_spreads_for_coupled_bands_only) {
    const std::vector<double> x{0, 1, 2, 3, 4};
    std::vector<double> w(5, 1.0), y{1, 2, 3, 4, 5};
    w[2] = std::nan("");
    auto z2 = solve(band_on(x, 2), w, y, 1.0, 1e-10, 1e-10);
    for (double v : z2) QB_CHECK(std::isnan(v));
    auto z0 = solve(band_on(x, 0), w, y, 1.0, 1e-10, 1e-10);
    for (std::size_t i = 0; i < 5; ++i) QB_CHECK(std::isnan(z0[i]) == (i == 2));
}

QB_TEST(solver_reused_scratch_changes_no_bit) {
    const std::vector<double> x{0, 1.5, 2, 2.25, 4, 5, 8, 8.5, 9, 12};
    std::vector<double> w{1, 1, 0, 1, 0.5, 1, 1, 2, 1, 1};
    std::vector<double> y{1, -2, 0, 4, 1, 1, 0, 3, -1, 2};
    for (std::uint64_t d : {0, 1, 2, 3}) {
        auto band = band_on(x, d);
        auto fresh = solve(band, w, y, 5.0, 1e-10, 1e-10);
        SolveScratch<double> scratch;
        scratch.factor.assign(200, std::nan(""));  // dirty, larger than needed
        scratch.rhs.assign(50, std::nan(""));
        std::vector<double> out(10);
        solve_banded(band, w.data(), y.data(), 5.0, 1e-10, 1e-10, out.data(), scratch);
        QB_CHECK(same_bits(out, fresh));
    }
    std::vector<float> xf(x.begin(), x.end()), wf(10, 0.0f), yf(10, 0.0f);
    auto bandf = band_on(xf, 2);
    SolveScratch<float> scratch;
    scratch.factor.assign(100, std::nanf(""));
    scratch.factor64.assign(100, std::nan(""));
    std::vector<float> a(10), b(10);
    solve_banded(bandf, wf.data(), yf.data(), 0.0f, 0.0f, 0.0f, a.data());
    solve_banded(bandf, wf.data(), yf.data(), 0.0f, 0.0f, 0.0f, b.data(), scratch);
    QB_CHECK(same_bits(a, b));
}

// ---- single pass ------------------------------------------------------------------------

namespace {

template <class F>
struct Output {
    std::vector<F> data;
    std::size_t rows = 0, cols = 0;
    int calls = 0;
    F* operator()(std::size_t r, std::size_t c) {
        ++calls;
        rows = r;
        cols = c;
        data.assign(r * c, F(0));
        return data.data();
    }
};

}  // namespace

QB_TEST(single_pass_checks_in_order) {
    const std::vector<double> x{0, 1, 1, 3};
    std::vector<double> y(8, 1.0);
    auto view = MatrixView<double>::row_major(y.data(), 2, 4);
    auto narrow = MatrixView<double>::row_major(y.data(), 2, 3);
    Output<double> out;
    auto r1 = whittaker_solve_core<double>(x, narrow, narrow, 1.0, 2, 0.0, {}, 1e-10, false,
                                           OutputSink<double>(out));
    QB_CHECK(!r1.ok() && r1.error().message == "y_st shape must be (S,T) with T=len(x)");
    auto r2 = whittaker_solve_core<double>(x, view, narrow, 1.0, 2, 0.0, {}, 1e-10, false,
                                           OutputSink<double>(out));
    QB_CHECK(!r2.ok() && r2.error().message == "x must be strictly increasing");
    const std::vector<double> good{0, 1, 2, 3};
    auto r3 = whittaker_solve_core<double>(good, view, narrow, 1.0, 2, 0.0, {}, 1e-10, false,
                                           OutputSink<double>(out));
    QB_CHECK(!r3.ok() && r3.error().message == "w_base_st must match y_st shape");
    QB_CHECK(out.calls == 0);
}

QB_TEST(single_pass_empty_positions_and_short_series) {
    Output<double> out;
    std::vector<double> none;
    auto empty = MatrixView<double>::row_major(none.data(), 3, 0);
    auto r = whittaker_solve_core<double>({}, empty, std::nullopt, 1.0, 2, 0.0, "mean", 1e-10,
                                          true, OutputSink<double>(out));
    QB_CHECK(r.ok() && out.calls == 1 && out.rows == 3 && out.cols == 0);

    // 1 <= T < d: no penalty, so with ridge 0 and unit weights the data come back.
    const std::vector<double> x{0, 1, 2};
    std::vector<double> y{1, 2, 3, -4, 5, 6};
    auto view = MatrixView<double>::row_major(y.data(), 2, 3);
    for (std::uint64_t d : {std::uint64_t{4}, std::uint64_t{1000000000000},
                            std::numeric_limits<std::uint64_t>::max()}) {
        Output<double> o;
        auto ok = whittaker_solve_core<double>(x, view, std::nullopt, 10.0, d, 0.0, "mean", 1e-10,
                                               true, OutputSink<double>(o));
        QB_CHECK(ok.ok() && o.data == y);
    }
}

QB_TEST(single_pass_missing_and_weighted_observations) {
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    const std::vector<double> x{0, 1, 2, 3, 4, 5};
    std::vector<double> y{1, nan, 3, inf, 5, -inf,   // mixed
                          nan, nan, nan, nan, nan, nan};
    std::vector<double> wb{1, 2, 0, -1, nan, nan,  //
                           1, 1, 1, 1, 1, 1};
    auto yv = MatrixView<double>::row_major(y.data(), 2, 6);
    auto wv = MatrixView<double>::row_major(wb.data(), 2, 6);
    Output<double> out;
    auto r = whittaker_solve_core<double>(x, yv, wv, 2.0, 2, 1e-10, "mean", 1e-10, false,
                                          OutputSink<double>(out));
    QB_CHECK(r.ok());
    // Row 0: a NaN base weight at a finite observation (index 4) poisons the series.
    for (std::size_t t = 0; t < 6; ++t) QB_CHECK(std::isnan(out.data[t]));
    // Row 1: all missing, zeros (not NaN).
    for (std::size_t t = 6; t < 12; ++t) QB_CHECK(out.data[t] == 0.0);

    // Same series through solve_banded directly: weights (1, 0, 0, -1, 1, 0) with masked y.
    wb[4] = 1.0;
    Output<double> fixed;
    auto r2 = whittaker_solve_core<double>(x, yv, wv, 2.0, 2, 1e-10, "mean", 1e-10, false,
                                           OutputSink<double>(fixed));
    QB_CHECK(r2.ok());
    auto band = band_on(normalize_x(std::span<const double>(x), "mean"), 2);
    auto expect = solve(band, {1, 0, 0, 0, 1, 0}, {1, 0, 0, 0, 5, 0}, 2.0, 1e-10, 1e-10);
    // index 3 has y = inf: missing, weight 0 (the base weight -1 is dropped with it).
    QB_CHECK(std::vector<double>(fixed.data.begin(), fixed.data.begin() + 6) == expect);
}

QB_TEST(single_pass_negative_weight_stays_on_the_diagonal) {
    const std::vector<double> x{0, 1, 2, 3};
    std::vector<double> y{1, 2, 3, 4}, wb{1, -0.5, 1, 1};
    auto yv = MatrixView<double>::row_major(y.data(), 1, 4);
    auto wv = MatrixView<double>::row_major(wb.data(), 1, 4);
    Output<double> out;
    auto r = whittaker_solve_core<double>(x, yv, wv, 1.0, 1, 1.0, {}, 1e-10, false,
                                          OutputSink<double>(out));
    QB_CHECK(r.ok());
    auto expect = solve(band_on(x, 1), {1, -0.5, 1, 1}, {1, 0, 3, 4}, 1.0, 1.0, 1e-10);
    QB_CHECK(out.data == expect);
}

QB_TEST(single_pass_strided_views_match_contiguous) {
    // A reversed, column-strided view of a larger block gives the same bits as its copy.
    const std::size_t S = 5, T = 7;
    std::vector<float> big(S * 2 * T);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<float>(std::sin(0.37 * static_cast<double>(i)) * 10.0);
    }
    big[9] = std::nanf("");
    MatrixView<float> view{reinterpret_cast<const char*>(big.data() + (S - 1) * 2 * T), S, T,
                           -static_cast<std::ptrdiff_t>(2 * T * sizeof(float)),
                           static_cast<std::ptrdiff_t>(2 * sizeof(float))};
    std::vector<float> copy(S * T);
    for (std::size_t s = 0; s < S; ++s) {
        for (std::size_t t = 0; t < T; ++t) copy[s * T + t] = view(s, t);
    }
    const std::vector<float> x{0, 1, 2.5, 3, 4, 6, 7};
    Output<float> a, b;
    auto ra = whittaker_solve_core<float>(x, view, std::nullopt, 3.0f, 2, 1e-6f, "median",
                                          1e-10f, true, OutputSink<float>(a));
    auto rb = whittaker_solve_core<float>(x, MatrixView<float>::row_major(copy.data(), S, T),
                                          std::nullopt, 3.0f, 2, 1e-6f, "median", 1e-10f, false,
                                          OutputSink<float>(b));
    QB_CHECK(ra.ok() && rb.ok() && same_bits(a.data, b.data));
}
