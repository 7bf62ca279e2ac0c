// The block kernels of every instruction set this CPU runs, against the textbook banded
// Cholesky (banded_cholesky.hpp) and the scalar solver, bit for bit, on random and
// adversarial inputs.
#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/band.hpp"
#include "core/kernels/batch.hpp"
#include "core/observation.hpp"
#include "core/solver.hpp"
#include "tests/cpp/banded_cholesky.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin::core;
using kernels::BatchSolver;
using kernels::Isa;

namespace {

std::vector<Isa> runnable_isas() {
    std::vector<Isa> out;
    for (Isa isa : {Isa::baseline, Isa::avx2, Isa::avx512}) {
        if (kernels::isa_supported(isa)) out.push_back(isa);
    }
    return out;
}

template <class F>
bool same_bits(const F* a, const F* b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(F)) == 0;
}

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

// The rows the kernels give for S series with weights W and observations Y (row s at s * T),
// handed to them as they are (no masking), solved in the ranges [lo, hi) given.
template <class F>
std::vector<F> kernel_rows(const PenaltyBand<F>& band, F lam, F ridge, F eps,
                           const std::vector<F>& W, const std::vector<F>& Y, std::size_t S, Isa isa,
                           const Ranges& ranges) {
    const std::size_t T = band.T;
    const BatchSolver<F> solver(band, lam, ridge, eps, isa);
    std::vector<F> got(S * T, F(-7));
    typename BatchSolver<F>::Scratch scratch;
    const auto fill = [&](std::size_t s, std::size_t t0, std::size_t t1, F* w, F* y) {
        for (std::size_t t = t0; t < t1; ++t) {
            w[t - t0] = W[s * T + t];
            y[t - t0] = Y[s * T + t];
        }
    };
    for (const auto& [lo, hi] : ranges) {
        solver.solve_range(
            scratch, lo, hi, fill, [&](std::size_t s) { return &got[s * T]; },
            [](std::size_t, F*) {});
    }
    return got;
}

// The number of rows (T values each) of got whose bits differ from want's.
template <class F>
int rows_differing(const std::vector<F>& got, const std::vector<F>& want, std::size_t T) {
    int bad = 0;
    for (std::size_t s = 0; T > 0 && s < got.size() / T; ++s) {
        if (!same_bits(&got[s * T], &want[s * T], T)) ++bad;
    }
    return bad;
}

// The number of rows of got that differ from want's in any bit, except that any NaN matches
// any NaN: where two NaNs meet, which one an operation passes on depends on the order of its
// operands, which the compiler may swap; the textbook cannot pin that down.
template <class F>
int rows_differing_but_nan(const std::vector<F>& got, const std::vector<F>& want, std::size_t T) {
    int bad = 0;
    for (std::size_t s = 0; T > 0 && s < got.size() / T; ++s) {
        for (std::size_t t = s * T; t < (s + 1) * T; ++t) {
            const bool both_nan = std::isnan(got[t]) && std::isnan(want[t]);
            if (!both_nan && !same_bits(&got[t], &want[t], 1)) {
                ++bad;
                break;
            }
        }
    }
    return bad;
}

// solve_banded on each of the S series.
template <class F>
std::vector<F> scalar_rows(const PenaltyBand<F>& band, F lam, F ridge, F eps,
                           const std::vector<F>& W, const std::vector<F>& Y, std::size_t S) {
    const std::size_t T = band.T;
    std::vector<F> want(S * T, F(-7));
    for (std::size_t s = 0; s < S; ++s) {
        solve_banded(band, &W[s * T], &Y[s * T], lam, ridge, eps, &want[s * T]);
    }
    return want;
}

// The textbook Cholesky (banded_cholesky.hpp) on each of the S series.
template <class F>
std::vector<F> textbook_rows(const PenaltyBand<F>& band, F lam, F ridge, F eps,
                             const std::vector<F>& W, const std::vector<F>& Y, std::size_t S) {
    const std::size_t T = band.T;
    std::vector<F> want;
    for (std::size_t s = 0; s < S; ++s) {
        const std::vector<F> z =
            quelbrin_test::textbook_solve(band, &W[s * T], &Y[s * T], lam, ridge, eps);
        want.insert(want.end(), z.begin(), z.end());
    }
    return want;
}

// The number of the S series whose kernel result (solved in the ranges given) differs in any
// bit from solve_banded's.
template <class F>
int mismatches(const PenaltyBand<F>& band, F lam, F ridge, F eps, const std::vector<F>& W,
               const std::vector<F>& Y, std::size_t S, Isa isa, const Ranges& ranges) {
    return rows_differing(kernel_rows(band, lam, ridge, eps, W, Y, S, isa, ranges),
                          scalar_rows(band, lam, ridge, eps, W, Y, S), band.T);
}

template <class F>
std::vector<F> irregular_x(std::size_t T, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> gap(0.05, 2.0);
    std::vector<F> x(T);
    double c = 0;
    for (auto& v : x) {
        c += gap(rng);
        v = static_cast<F>(c);
    }
    return x;
}

// Observations and weights: mostly ordinary data, with the values that test the guard
// (-0.0, zeros, NaN, infinities, denormals, huge and negative values) mixed in at `rate`.
template <class F>
void make_inputs(std::size_t S, std::size_t T, double rate, std::mt19937_64& rng, std::vector<F>& W,
                 std::vector<F>& Y) {
    const F inf = std::numeric_limits<F>::infinity();
    const F nan = std::numeric_limits<F>::quiet_NaN();
    const F den = std::numeric_limits<F>::denorm_min();
    const F odd_y[] = {F(0), F(-0.0), nan, inf, -inf, den, -den, F(1e30), F(-1e-30)};
    const F odd_w[] = {F(0), F(-0.0), F(-1), nan, inf, den, F(1e-30), F(1e30)};
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    W.assign(S * T, F(1));
    Y.assign(S * T, F(0));
    for (std::size_t i = 0; i < S * T; ++i) {
        Y[i] = static_cast<F>(noise(rng));
        if (u(rng) < 0.05) {  // a missing observation, masked as the smoothers do
            W[i] = F(0);
            Y[i] = F(0);
        }
        if (u(rng) < rate) Y[i] = odd_y[rng() % (sizeof odd_y / sizeof odd_y[0])];
        if (u(rng) < rate) W[i] = odd_w[rng() % (sizeof odd_w / sizeof odd_w[0])];
    }
}

// A band without its positions: float64 series are then never refined (core/refine.hpp),
// so every lane must give exactly the scalar routine's bits.
template <class F>
PenaltyBand<F> unrefined(PenaltyBand<F> band) {
    band.positions.clear();
    return band;
}

// Whole blocks, blocks with a remainder, single series, and ranges starting off the lane
// grid, so that every series is solved in several lanes and block widths.
std::vector<Ranges> range_sets(std::size_t S) {
    Ranges singles;
    for (std::size_t s = 0; s < S; ++s) singles.push_back({s, s + 1});
    return {{{0, S}}, {{0, 3}, {3, S}}, singles, {{0, S / 2}, {S / 2, S}}};
}

template <class F>
void kernels_match_scalar(std::size_t configs, double odd_rate, bool guarded_params) {
    std::mt19937_64 rng(guarded_params ? 11 : 12);
    const F inf = std::numeric_limits<F>::infinity();
    const F nan = std::numeric_limits<F>::quiet_NaN();
    const F lams[] = {F(10), F(1), F(1e-30), F(1e30), F(0), F(-0.0), F(-3), inf, nan};
    const F epss[] = {F(1e-10), F(1), F(0), nan, F(-1), std::numeric_limits<F>::denorm_min(), inf};
    const F ridges[] = {F(1e-10), F(0), F(-1)};
    const std::uint64_t ds[] = {0, 1, 2, 3, 4, 6, 1000000000000000000ull};
    const std::size_t Ts[] = {1, 2, 3, 4, 5, 7, 24, 65};
    const std::size_t S = 37;
    int bad = 0, textbook_bad = 0, guarded_runs = 0, total = 0;
    for (std::size_t c = 0; c < configs; ++c) {
        const std::size_t T = Ts[rng() % 8];
        const std::uint64_t d = ds[rng() % 7];
        const F lam = guarded_params ? lams[rng() % 4] : lams[rng() % 9];
        const F eps = guarded_params ? epss[rng() % 2] : epss[rng() % 7];
        const F ridge = ridges[rng() % 3];
        const std::vector<F> x = irregular_x<F>(T, rng);
        const PenaltyBand<F> band = unrefined(build_penalty_band<F>(x, d, F(1e-10)));
        std::vector<F> W, Y;
        make_inputs<F>(S, T, odd_rate, rng, W, Y);
        textbook_bad += rows_differing_but_nan(scalar_rows(band, lam, ridge, eps, W, Y, S),
                                               textbook_rows(band, lam, ridge, eps, W, Y, S), T);
        for (Isa isa : runnable_isas()) {
            if (BatchSolver<F>(band, lam, ridge, eps, isa).guarded()) ++guarded_runs;
            for (const auto& ranges : range_sets(S)) {
                const int m = mismatches<F>(band, lam, ridge, eps, W, Y, S, isa, ranges);
                if (m != 0) {
                    std::fprintf(stderr, "  %s %s T=%zu d=%llu lam=%g eps=%g ridge=%g: %d\n",
                                 kernels::isa_name(isa), sizeof(F) == 4 ? "f32" : "f64", T,
                                 static_cast<unsigned long long>(d), double(lam), double(eps),
                                 double(ridge), m);
                }
                bad += m;
                ++total;
            }
        }
    }
    QB_CHECK(bad == 0);
    QB_CHECK(textbook_bad == 0);  // the scalar routine is the textbook's, odd values included
    QB_CHECK(total > 0);
    if (guarded_params) QB_CHECK(guarded_runs > 0);
}

// A band of order d on T >= 1 positions: P = D^T D on irregular positions, or random values
// in the live rows (row 0 positive; such a P need not be positive definite, so pivots hit
// the floor too).  Rows d+1 .. stored_k() are +0.0 either way, as the band builder leaves
// them, so the guarded kernels apply.
template <class F>
PenaltyBand<F> random_band(std::size_t T, std::uint64_t d, bool from_positions,
                           std::mt19937_64& rng) {
    if (from_positions)
        return unrefined(build_penalty_band<F>(irregular_x<F>(T, rng), d, F(1e-10)));
    PenaltyBand<F> band;
    band.T = T;
    band.d = d;
    band.kk = 2 * d < T - 1 ? 2 * d : T - 1;
    band.values.assign((band.kk + 1) * T, F(0));
    std::uniform_real_distribution<double> diagonal(0.5, 20.0), off(-8.0, 8.0);
    for (std::size_t p = 0; p <= band.kk && p <= d; ++p) {
        for (std::size_t i = p; i < T; ++i) {
            band.values[p * T + i] = static_cast<F>(p == 0 ? diagonal(rng) : off(rng));
        }
    }
    return band;
}

// S series of noise with NaN and infinite observations and zero weights among positive
// ones, masked as the smoothers mask them (core/observation.hpp).
template <class F>
void masked_inputs(std::size_t S, std::size_t T, std::mt19937_64& rng, std::vector<F>& W,
                   std::vector<F>& Y) {
    const F odd_y[] = {std::numeric_limits<F>::quiet_NaN(), std::numeric_limits<F>::infinity(),
                       -std::numeric_limits<F>::infinity()};
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0), weight(0.2, 2.0);
    W.assign(S * T, F(0));
    Y.assign(S * T, F(0));
    for (std::size_t i = 0; i < S * T; ++i) {
        F y = static_cast<F>(noise(rng));
        if (u(rng) < 0.1) y = odd_y[rng() % 3];
        const F w = u(rng) < 0.1 ? F(0) : static_cast<F>(weight(rng));
        W[i] = observation::weight(y, w);
        Y[i] = observation::masked(y, W[i]);
    }
}

// Every block width of every instruction set this CPU runs, and the scalar routine, against
// the textbook Cholesky: d = 0..3, lam from 0 up, with and without ridge, on real and random
// bands.
template <class F>
void kernels_match_textbook() {
    std::mt19937_64 rng(sizeof(F));
    const F lams[] = {F(0), F(1e-3), F(1), F(10), F(1e4)};
    const F epss[] = {F(1e-10), F(1e-3)};
    const std::size_t Ts[] = {1, 2, 3, 5, 8, 17, 40};
    const std::size_t S = 37;
    int kernel_bad = 0, scalar_bad = 0, total = 0;
    for (std::uint64_t d = 0; d <= 3; ++d) {
        for (const F lam : lams) {
            for (const bool from_positions : {true, false}) {
                const std::size_t T = Ts[rng() % 7];
                const F ridge = rng() % 2 ? F(0) : F(1e-10);
                const F eps = epss[rng() % 2];
                const PenaltyBand<F> band = random_band<F>(T, d, from_positions, rng);
                std::vector<F> W, Y;
                masked_inputs<F>(S, T, rng, W, Y);
                const std::vector<F> want = textbook_rows(band, lam, ridge, eps, W, Y, S);
                scalar_bad += rows_differing(scalar_rows(band, lam, ridge, eps, W, Y, S), want, T);
                for (Isa isa : runnable_isas()) {
                    for (const auto& ranges : range_sets(S)) {
                        const int m = rows_differing(
                            kernel_rows(band, lam, ridge, eps, W, Y, S, isa, ranges), want, T);
                        if (m != 0) {
                            std::fprintf(stderr, "  %s %s T=%zu d=%llu lam=%g band %s: %d\n",
                                         kernels::isa_name(isa), sizeof(F) == 4 ? "f32" : "f64", T,
                                         static_cast<unsigned long long>(d), double(lam),
                                         from_positions ? "built" : "random", m);
                        }
                        kernel_bad += m;
                        ++total;
                    }
                }
            }
        }
    }
    QB_CHECK(scalar_bad == 0);
    QB_CHECK(kernel_bad == 0);
    QB_CHECK(total > 0);
}

}  // namespace

QB_TEST(kernels_match_the_textbook_cholesky) {
    kernels_match_textbook<double>();
    kernels_match_textbook<float>();
}

QB_TEST(kernels_match_scalar_on_ordinary_data) {
    kernels_match_scalar<double>(120, 0.0, true);
    kernels_match_scalar<float>(120, 0.0, true);
}

QB_TEST(kernels_match_scalar_with_adversarial_values) {
    // Guarded parameters with odd values in the data (the per-lane guard decides), then any
    // parameters (lam inf/NaN/0/negative, eps 0/NaN/negative/denormal: the kernels run to kk).
    kernels_match_scalar<double>(150, 0.02, true);
    kernels_match_scalar<float>(150, 0.02, true);
    kernels_match_scalar<double>(250, 0.02, false);
    kernels_match_scalar<float>(250, 0.02, false);
}

QB_TEST(kernels_match_scalar_on_zero_pivots) {
    // eps = 0, ridge = 0, lam = 0 and zero weights: 0/0 pivots, NaN everywhere in float64;
    // the float32 check falls back.  Also a negative-zero right-hand side everywhere.
    for (Isa isa : runnable_isas()) {
        for (std::uint64_t d : {0, 1, 2, 3}) {
            const std::size_t T = 9, S = 11;
            std::mt19937_64 rng(d);
            const auto xd = irregular_x<double>(T, rng);
            const auto xf = irregular_x<float>(T, rng);
            const auto bd = build_penalty_band<double>(xd, d, 1e-10);
            const auto bf = build_penalty_band<float>(xf, d, 1e-10f);
            std::vector<double> Wd(S * T, 0.0), Yd(S * T, 0.0);
            std::vector<float> Wf(S * T, 0.0f), Yf(S * T, 0.0f);
            QB_CHECK(mismatches<double>(bd, 0.0, 0.0, 0.0, Wd, Yd, S, isa, {{0, S}}) == 0);
            QB_CHECK(mismatches<float>(bf, 0.0f, 0.0f, 0.0f, Wf, Yf, S, isa, {{0, S}}) == 0);
            std::vector<double> Wn(S * T, 1.0), Yn(S * T, -0.0);
            QB_CHECK(mismatches<double>(bd, 10.0, 1e-10, 1e-10, Wn, Yn, S, isa, {{0, S}}) == 0);
            std::vector<double> Wz(S * T, -0.0), Yz(S * T, 0.0);
            QB_CHECK(mismatches<double>(bd, 10.0, 1e-10, 1e-10, Wz, Yz, S, isa, {{0, S}}) == 0);
        }
    }
}

QB_TEST(kernels_match_scalar_with_denormals_flushed) {
    // With flush-to-zero and denormals-are-zero set the guarded shortcut is not used; results
    // still match the scalar routine run under the same control word.
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040);
    QB_CHECK(!kernels::gradual_underflow());
    kernels_match_scalar<double>(40, 0.05, true);
    kernels_match_scalar<float>(40, 0.05, true);
    _mm_setcsr(saved);
    QB_CHECK(kernels::gradual_underflow());
}

QB_TEST(guard_applies_only_where_the_short_loops_are_exact) {
    std::mt19937_64 rng(3);
    const auto x = irregular_x<double>(50, rng);
    const auto b2 = build_penalty_band<double>(x, 2, 1e-10);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (Isa isa : runnable_isas()) {
        const BatchSolver<double> normal(b2, 10.0, 1e-10, 1e-10, isa);
        QB_CHECK(normal.guarded() && normal.loop_bandwidth() == 2);
        for (double lam : {0.0, -1.0, inf, nan}) {
            const BatchSolver<double> s(b2, lam, 1e-10, 1e-10, isa);
            QB_CHECK(!s.guarded() && s.loop_bandwidth() == 4);
        }
        for (double eps : {0.0, nan, -1.0, 1e-310}) {
            QB_CHECK(!BatchSolver<double>(b2, 10.0, 1e-10, eps, isa).guarded());
        }
        // d = 0 has no dead rows; a short grid keeps min(2d, T-1) rows, all live.
        QB_CHECK(
            !BatchSolver<double>(build_penalty_band<double>(x, 0, 1e-10), 10.0, 1e-10, 1e-10, isa)
                 .guarded());
        const std::vector<double> x3(x.begin(), x.begin() + 3);
        const auto short_band = build_penalty_band<double>(x3, 2, 1e-10);
        QB_CHECK(BatchSolver<double>(short_band, 10.0, 1e-10, 1e-10, isa).loop_bandwidth() == 2);
    }
}

QB_TEST(mask_matches_the_scalar_rule) {
    std::mt19937_64 rng(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double pool[] = {1.5, -2.0, 0.0, -0.0, nan, inf, -inf, 1e-310, 3.0};
    const std::size_t n = 61;  // not a multiple of any register width
    std::vector<double> y(n), base(n), scale(n);
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = pool[rng() % 9];
        base[i] = pool[rng() % 9];
        scale[i] = pool[rng() % 9];
    }
    const auto band = build_penalty_band<double>(std::vector<double>{0.0, 1.0, 2.0}, 1, 1e-10);
    for (Isa isa : runnable_isas()) {
        const BatchSolver<double> solver(band, 1.0, 0.0, 1e-10, isa);
        for (int with_base = 0; with_base < 2; ++with_base) {
            for (int with_scale = 0; with_scale < 2; ++with_scale) {
                for (bool zero_missing : {false, true}) {
                    std::vector<double> w(n, 7.0), yv(n, 7.0), w_ref(n), y_ref(n);
                    const double* bp = with_base ? base.data() : nullptr;
                    const double* sp = with_scale ? scale.data() : nullptr;
                    solver.mask(y.data(), bp, sp, n, zero_missing, w.data(), yv.data());
                    for (std::size_t i = 0; i < n; ++i) {
                        double g = bp ? bp[i] : 1.0;
                        if (sp) g = g * sp[i];
                        const bool finite = std::isfinite(y[i]);
                        if (zero_missing && !finite) g = 0.0;
                        w_ref[i] = g;
                        y_ref[i] = (finite && g > 0.0) ? y[i] : 0.0;
                    }
                    QB_CHECK(same_bits(w.data(), w_ref.data(), n));
                    QB_CHECK(same_bits(yv.data(), y_ref.data(), n));
                }
            }
        }
    }
}
