// Robust smoothing pieces that are easiest to pin down below Python: weight values at the
// cut-offs, float32 constants, scale estimates, merging arithmetic, the Huber counter.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "robust/merge.hpp"
#include "robust/scale.hpp"
#include "robust/weights.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin;
using namespace quelbrin::robust;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

template <class F>
F w_of(Weighting w, double v) {
    return robust_weight<F>(w, default_tuning<F>(w), static_cast<F>(v), F(1));
}

std::vector<std::uint8_t> all_usable(std::size_t n) { return std::vector<std::uint8_t>(n, 1); }

}  // namespace

QB_TEST(parse_weighting_accepts_names_in_any_case) {
    struct Case {
        const char* name;
        Weighting want;
    } cases[] = {{"tukey", Weighting::tukey},
                 {"TUKEY", Weighting::tukey},
                 {"BiSquare", Weighting::tukey},
                 {"huber", Weighting::huber},
                 {"Cauchy", Weighting::cauchy},
                 {"WELSCH", Weighting::welsch},
                 {"fair", Weighting::fair},
                 {"HamPel", Weighting::hampel},
                 {"TU\xE2\x84\xAA"
                  "EY",
                  Weighting::tukey}};  // KELVIN SIGN lower-cases to k
    for (const auto& c : cases) {
        auto r = parse_weighting(c.name);
        QB_CHECK(r.ok() && r.value() == c.want);
    }
}

QB_TEST(parse_weighting_rejects_with_the_name_as_given) {
    const char* bad[] = {"Gauss",
                         "gauss",
                         " tukey",
                         "tukey ",
                         "",
                         "tuk",
                         "tukeyy",
                         "\xC4\xB0",       // U+0130, lower-cases to i + U+0307
                         "hamp\xC3\xA9l",  // non-ASCII letter
                         "tuk\xE2\x84",    // truncated UTF-8
                         "TU\xE2\x84\xAB"
                         "EY"};  // ANGSTROM SIGN is not a k
    for (const char* name : bad) {
        auto r = parse_weighting(name);
        QB_CHECK(!r.ok() && r.error().message == std::string("Unknown weighting: ") + name);
    }
}

QB_TEST(default_tuning_float32_values_are_nearest_floats) {
    QB_CHECK(double(default_tuning<float>(Weighting::tukey).c) == 4.684999942779541);
    QB_CHECK(double(default_tuning<float>(Weighting::huber).c) == 1.3450000286102295);
    QB_CHECK(double(default_tuning<float>(Weighting::cauchy).c) == 2.384999990463257);
    QB_CHECK(double(default_tuning<float>(Weighting::welsch).c) == 2.984999895095825);
    QB_CHECK(double(default_tuning<float>(Weighting::fair).c) == 1.3997999429702759);
    auto h = default_tuning<float>(Weighting::hampel);
    QB_CHECK(h.a == 1.5f && h.b == 3.5f && h.c == 8.0f);
    QB_CHECK(default_tuning<double>(Weighting::fair).c == 1.3998);
    QB_CHECK(default_tuning<double>(Weighting::tukey).a == 0.0);
}

QB_TEST(weights_at_reference_points_float64) {
    QB_CHECK(w_of<double>(Weighting::tukey, 4.685) == 0.0);
    QB_CHECK(w_of<double>(Weighting::tukey, 2.3425) == 0.5625);
    QB_CHECK(w_of<double>(Weighting::huber, 2.69) == 0.5);
    QB_CHECK(w_of<double>(Weighting::huber, 1.345) == 1.0);
    QB_CHECK(w_of<double>(Weighting::fair, 1.3998) == 0.5);
    QB_CHECK(w_of<double>(Weighting::cauchy, 2.385) == 0.5);
    QB_CHECK(w_of<double>(Weighting::welsch, 2.985) == std::exp(-1.0));
    QB_CHECK(w_of<double>(Weighting::hampel, 1.5) == 1.0);
    QB_CHECK(w_of<double>(Weighting::hampel, 3.0) == 0.5);
    QB_CHECK(w_of<double>(Weighting::hampel, 3.5) == 1.5 / 3.5);
    QB_CHECK(w_of<double>(Weighting::hampel, 5.75) == (1.5 * 2.25) / (5.75 * 4.5));
    QB_CHECK(w_of<double>(Weighting::hampel, 8.0) == 0.0);
    QB_CHECK(w_of<double>(Weighting::hampel, 9.0) == 0.0);
}

QB_TEST(weights_at_reference_points_float32) {
    QB_CHECK(w_of<float>(Weighting::tukey, 4.685f) == 0.0f);
    QB_CHECK(w_of<float>(Weighting::fair, 1.3998f) == 0.5f);
    QB_CHECK(w_of<float>(Weighting::cauchy, 2.385f) == 0.5f);
    QB_CHECK(w_of<float>(Weighting::welsch, 2.985f) == ::expf(-1.0f));
    QB_CHECK(w_of<float>(Weighting::hampel, 3.0f) == 0.5f);
}

QB_TEST(every_weighting_gives_one_at_zero_residual) {
    for (int w = 0; w < 6; ++w) {
        QB_CHECK(w_of<double>(Weighting(w), 0.0) == 1.0);
        QB_CHECK(w_of<float>(Weighting(w), 0.0) == 1.0f);
    }
}

QB_TEST(nan_and_zero_scale_rules) {
    const double tiny_floor = 1.345 / 1e-12;
    QB_CHECK(w_of<double>(Weighting::tukey, kNaN) == 0.0);
    QB_CHECK(w_of<double>(Weighting::hampel, kNaN) == 0.0);
    QB_CHECK(w_of<double>(Weighting::huber, kNaN) == tiny_floor);
    QB_CHECK(std::isnan(w_of<double>(Weighting::cauchy, kNaN)));
    QB_CHECK(std::isnan(w_of<double>(Weighting::welsch, kNaN)));
    QB_CHECK(std::isnan(w_of<double>(Weighting::fair, kNaN)));
    // s = 0: a nonzero residual is infinitely far out, a zero one is 0/0.
    auto wz = [](Weighting w, double r) {
        return robust_weight<double>(w, default_tuning<double>(w), r, 0.0);
    };
    QB_CHECK(wz(Weighting::tukey, 1.0) == 0.0 && wz(Weighting::tukey, 0.0) == 0.0);
    QB_CHECK(wz(Weighting::huber, 1.0) == 0.0 && wz(Weighting::huber, 0.0) == tiny_floor);
    QB_CHECK(wz(Weighting::cauchy, -1.0) == 0.0 && std::isnan(wz(Weighting::cauchy, 0.0)));
    QB_CHECK(wz(Weighting::welsch, 1.0) == 0.0 && std::isnan(wz(Weighting::welsch, 0.0)));
    QB_CHECK(wz(Weighting::fair, 1.0) == 0.0 && std::isnan(wz(Weighting::fair, 0.0)));
    QB_CHECK(wz(Weighting::hampel, 1.0) == 0.0 && wz(Weighting::hampel, 0.0) == 0.0);
    QB_CHECK(w_of<float>(Weighting::huber, kNaN) == 1.345f / 1e-12f);
}

QB_TEST(tuning_override_reads_only_what_a_weighting_uses) {
    TuningConstants<double> k{1.0, 2.0, 3.0};
    QB_CHECK(robust_weight<double>(Weighting::tukey, k, 1.5, 1.0) == 0.5625);
    // A hampel triple with b >= c never reaches the sloped branch.
    TuningConstants<double> h{1.0, 5.0, 4.0};
    QB_CHECK(robust_weight<double>(Weighting::hampel, h, 4.5, 1.0) == 1.0 / 4.5);
    QB_CHECK(robust_weight<double>(Weighting::hampel, h, 5.5, 1.0) == 0.0);
}

QB_TEST(scale_name_selection) {
    QB_CHECK(selects_huber("huber") && selects_huber("HUBER") && selects_huber("Huber"));
    QB_CHECK(!selects_huber("huber ") && !selects_huber("hube") && !selects_huber("mad"));
    QB_CHECK(!selects_huber("") && !selects_huber("hub\xC3\xA9"));
}

QB_TEST(mad_scale_values) {
    std::vector<double> r{1, -2, 3, -4};
    auto u = all_usable(4);
    QB_CHECK(mad_scale<double>(r, u, 1e-10) == 2.5 * 1.4826);
    std::vector<double> one{-2.0};
    QB_CHECK(mad_scale<double>(one, all_usable(1), 1e-10) == 2.0 * 1.4826);
    // Unusable flags, NaN and infinite residuals are left out.
    std::vector<double> mixed{kNaN, 1, kInf, 100, -3};
    std::vector<std::uint8_t> um{1, 1, 1, 0, 1};
    QB_CHECK(mad_scale<double>(mixed, um, 1e-10) == 2.0 * 1.4826);
    // No usable residual, or all zero: the floor (eps = 0 keeps the 0).
    QB_CHECK(mad_scale<double>(mixed, std::vector<std::uint8_t>(5, 0), 1e-10) == 1e-10);
    std::vector<double> zeros{0, 0, 0};
    QB_CHECK(mad_scale<double>(zeros, all_usable(3), 1e-10) == 1e-10);
    QB_CHECK(mad_scale<double>(zeros, all_usable(3), 0.0) == 0.0);
    // float32 factor is the nearest float to 1.4826.
    std::vector<float> rf{1.0f};
    QB_CHECK(double(mad_scale<float>(rf, all_usable(1), 1e-10f)) == 1.4825999736785889);
}

QB_TEST(huber_scale_values) {
    std::vector<double> r{-1, 1};
    QB_CHECK(huber_scale<double>(r, all_usable(2), 1e-10) == 1.0);
    QB_CHECK(residual_scale<double>(r, all_usable(2), "HUBER", 1e-10) == 1.0);
    QB_CHECK(residual_scale<double>(r, all_usable(2), "mad", 1e-10) == 1.4826);
    QB_CHECK(huber_scale<double>({}, {}, 0.5) == 0.5);
}

QB_TEST(huber_counter_is_exact_beyond_float_integers) {
    // 2^24 + 2 usable residuals of 1 in float32.  The float sum stalls at 2^24; a float
    // counter would stall there too and give exactly 1, the integer counter divides by the
    // true count.
    const std::size_t n = (std::size_t(1) << 24) + 2;
    std::vector<float> r(n, 1.0f);
    std::vector<std::uint8_t> u(n, 1);
    const float s = huber_scale<float>(r, u, 1e-10f);
    QB_CHECK(s == std::sqrt(16777216.0f / 16777218.0f));
    QB_CHECK(s < 1.0f);
}

QB_TEST(merge_groups_examples) {
    std::vector<double> x{0, 0.005, 0.01, 1.0};
    auto g = merge_groups<double>(x, 0.01);
    QB_CHECK(g.groups.size() == 2 && g.groups[0].start == 0 && g.groups[0].end == 3 &&
             g.groups[1].start == 3 && g.groups[1].end == 4);
    QB_CHECK(g.x[0] == (0.0 + 0.005 + 0.01) / 3.0 && g.x[1] == 1.0);
    // Chained neighbours merge even though the group spans more than tol.
    std::vector<double> chain{0, 0.008, 0.016, 0.024};
    QB_CHECK(merge_groups<double>(chain, 0.01).groups.size() == 1);
    // Inactive tolerances: exact copy, singleton groups.
    for (double tol : {0.0, -1.0, kNaN}) {
        auto inactive = merge_groups<double>(x, tol);
        QB_CHECK(inactive.groups.size() == 4 && inactive.x == x);
    }
    QB_CHECK(merge_groups<double>({}, 0.01).groups.empty());
    // Unit spacing never merges under the default tolerance.
    std::vector<double> unit{0, 1, 2, 3};
    QB_CHECK(merge_groups<double>(unit, 0.01).groups.size() == 4);
}

QB_TEST(merge_series_and_expand_results) {
    // Two series over columns {0,1} {2}: series 0 has observations 1 and 3 with base weights
    // 1 and 3; series 1 has a missing observation and a zero weight in the group.
    std::vector<MergeGroup> groups{{0, 2}, {2, 3}};
    std::vector<double> y{1, 3, 5, kNaN, 7, 9};
    std::vector<double> wb{1, 3, 2, 0, 0, 4};
    auto yv = MatrixView<double>::row_major(y.data(), 2, 3);
    auto wv = MatrixView<double>::row_major(wb.data(), 2, 3);
    auto m = merge_series<double>(yv, wv, groups);
    QB_CHECK(m.y(0, 0) == 2.5 && m.w(0, 0) == 4.0 && m.y(0, 1) == 5 && m.w(0, 1) == 2.0);
    QB_CHECK(m.y(1, 0) == 0.0 && m.w(1, 0) == 0.0);  // nothing usable: missing
    QB_CHECK(m.y(1, 1) == 9.0 && m.w(1, 1) == 4.0);

    Matrix<double> z(2, 2), wt(2, 2);
    z(0, 0) = 10, z(0, 1) = 20, z(1, 0) = 30, z(1, 1) = 40;
    wt(0, 0) = 2, wt(0, 1) = 2, wt(1, 0) = 0, wt(1, 1) = 1;
    auto e = expand_results<double>(z, wt, m.w, wv, groups);
    QB_CHECK(e.z(0, 0) == 10 && e.z(0, 1) == 10 && e.z(0, 2) == 20);
    QB_CHECK(e.wt(0, 0) == 0.5 && e.wt(0, 1) == 1.5 && e.wt(0, 2) == 2.0);
    QB_CHECK(e.z(1, 0) == 30 && e.z(1, 1) == 30 && e.wt(1, 0) == 0.0 && e.wt(1, 1) == 0.0);
    QB_CHECK(e.wt(1, 2) == 1.0);
}

QB_TEST(merge_series_skips_nonpositive_and_nonfinite_weights) {
    std::vector<MergeGroup> groups{{0, 4}};
    std::vector<float> y{1, 2, 3, 4};
    std::vector<float> wb{-1, float(kNaN), float(kInf), 2};
    auto m = merge_series<float>(MatrixView<float>::row_major(y.data(), 1, 4),
                                 MatrixView<float>::row_major(wb.data(), 1, 4), groups);
    QB_CHECK(m.y(0, 0) == 4.0f && m.w(0, 0) == 2.0f);
    // A negative member weight gets a negative share on expansion.
    Matrix<float> z(1, 1), wt(1, 1);
    wt(0, 0) = 1.0f;
    auto e =
        expand_results<float>(z, wt, m.w, MatrixView<float>::row_major(wb.data(), 1, 4), groups);
    QB_CHECK(e.wt(0, 0) == -0.5f && e.wt(0, 3) == 1.0f);
}
