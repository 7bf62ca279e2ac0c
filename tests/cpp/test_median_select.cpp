// median_select against a full sort.  The sizes and value patterns are chosen so that every
// path is taken: nth_element alone (small counts), the three key mappings (no sign bit set,
// -0.0 among non-negative values, negative values), one and several bucket rounds, the two
// middle ranks in different buckets, the target in the first or last bucket, a part that
// is all equal after a round, infinities and subnormal values, in float and double.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "core/median.hpp"
#include "support/panic.hpp"
#include "tests/cpp/harness.hpp"

using quelbrin::core::median_select;

namespace {

template <class F>
F sorted_median(std::vector<F> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2] + v[n / 2 - 1]) * F(0.5);
}

constexpr int kPatterns = 16;

template <class F>
std::vector<F> make_values(int pattern, std::size_t n, std::mt19937_64& rng) {
    constexpr F inf = std::numeric_limits<F>::infinity();
    const F tiny = std::numeric_limits<F>::denorm_min() * F(3);
    std::lognormal_distribution<double> heavy(0.0, 2.0);
    std::normal_distribution<double> normal(0.0, 0.3);
    std::uniform_int_distribution<int> few(0, 3);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<F> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = unit(rng);
        switch (pattern) {
            case 0:
                v[i] = F(heavy(rng));
                break;  // heavy tail
            case 1:
                v[i] = F(few(rng));
                break;  // many ties, zeros
            case 2:
                v[i] = F(i);
                break;  // sorted
            case 3:
                v[i] = F(n - i);
                break;  // reversed
            case 4:
                v[i] = F(i % 7) * F(0.25);
                break;  // short ties
            case 5:     // |residuals|, outliers
                v[i] = F(std::abs(normal(rng)) * (u < 0.03 ? 50.0 : 1.0));
                break;
            case 6:
                v[i] = F(normal(rng));
                break;  // both signs
            case 7:     // -0.0 and +0.0 mixed in
                v[i] = i % 5 == 0 ? (i % 10 == 0 ? F(-0.0) : F(0.0)) : F(std::abs(normal(rng)));
                break;
            case 8:  // both infinities
                v[i] = u < 0.1 ? inf : u < 0.2 ? -inf : F(normal(rng));
                break;
            case 9:  // two far clusters
                v[i] = i % 2 == 0 ? F(1.0 + u) : F(1e6 * (1.0 + u));
                break;
            case 10:
                v[i] = u < 0.6 ? F(1) : F(1 + 1e3 * u);
                break;  // median = minimum
            case 11:
                v[i] = u < 0.6 ? F(2e3) : F(1e3 * u);
                break;  // median = maximum
            case 12:
                v[i] = i % 3 == 0 ? F(-0.0) : F(0.0);
                break;  // all zero
            case 13:
                v[i] = u < 0.3 ? F(0) : F(heavy(rng));
                break;  // zeros widen range
            case 14:
                v[i] = u < 0.5 ? tiny * F(1 + few(rng)) : F(heavy(rng));
                break;  // subnormals
            default:
                v[i] = F(std::round(normal(rng) * 10.0));
                break;  // signed ties
        }
    }
    return v;
}

// Same value as the sorted median (NaN only where that is NaN too: +inf and -inf as the
// two middle values); the sign of a zero result is left to the algorithm.
template <class F>
bool same_median(F got, F want) {
    return got == want || (std::isnan(got) && std::isnan(want));
}

template <class F>
int wrong_medians(std::mt19937_64& rng, const std::vector<std::size_t>& sizes) {
    int wrong = 0;
    for (std::size_t n : sizes) {
        for (int pattern = 0; pattern < kPatterns; ++pattern) {
            std::vector<F> v = make_values<F>(pattern, n, rng);
            std::shuffle(v.begin(), v.end(), rng);
            const F want = sorted_median(v);
            std::vector<F> work = v;
            const F got = median_select(std::span<F>(work));
            if (!same_median(got, want)) {
                std::fprintf(stderr, "  %s n=%zu pattern %d: got %.9g, want %.9g\n",
                             sizeof(F) == 4 ? "float" : "double", n, pattern, double(got),
                             double(want));
                ++wrong;
            }
        }
    }
    return wrong;
}

const std::vector<std::size_t> kSizes = {1,   2,   3,   17,  63,  64,   65,   100,  128,  255,
                                         256, 257, 501, 950, 951, 1000, 1001, 4096, 10007};

}  // namespace

QB_TEST(median_select_matches_a_full_sort) {
    std::mt19937_64 rng(9);
    for (int round = 0; round < 6; ++round) {
        QB_CHECK(wrong_medians<double>(rng, kSizes) == 0);
        QB_CHECK(wrong_medians<float>(rng, kSizes) == 0);
    }
}

QB_TEST(median_select_matches_a_full_sort_on_random_sizes) {
    std::mt19937_64 rng(21);
    std::uniform_int_distribution<std::size_t> size(1, 3000);
    std::vector<std::size_t> sizes(40);
    for (auto& n : sizes) n = size(rng);
    QB_CHECK(wrong_medians<double>(rng, sizes) == 0);
    QB_CHECK(wrong_medians<float>(rng, sizes) == 0);
}

// The two middle values of an even count sit in different buckets, with the lower one the
// largest of a run of equal values and nothing between the clusters.
QB_TEST(median_select_even_count_across_a_gap) {
    for (std::size_t half : {32, 100, 500}) {
        std::vector<double> v;
        for (std::size_t i = 0; i < half; ++i) v.push_back(i % 2 == 0 ? 5.0 : 4.0);
        for (std::size_t i = 0; i < half; ++i) v.push_back(9e9 + double(i));
        std::mt19937_64 rng(half);
        std::shuffle(v.begin(), v.end(), rng);
        std::vector<float> f(v.begin(), v.end());
        QB_CHECK(median_select(std::span<double>(v)) == (9e9 + 5.0) * 0.5);
        QB_CHECK(median_select(std::span<float>(f)) == (float(9e9) + 5.0f) * 0.5f);
    }
}

QB_TEST(median_select_small_examples) {
    std::vector<double> one = {7.5};
    std::vector<double> two = {5, 1};
    std::vector<double> four = {4, 4, 1, 9};
    std::vector<float> four_f = {4, 4, 1, 9};
    QB_CHECK(median_select(std::span<double>(one)) == 7.5);
    QB_CHECK(median_select(std::span<double>(two)) == 3.0);
    QB_CHECK(median_select(std::span<double>(four)) == 4.0);
    QB_CHECK(median_select(std::span<float>(four_f)) == 4.0f);
}

// A NaN is an internal error, whether the count is small or large and wherever it sits.
QB_TEST(median_select_panics_on_nan) {
    for (std::size_t n : {1, 5, 64, 1000}) {
        for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            std::vector<double> v(n, 1.0);
            v[at] = std::numeric_limits<double>::quiet_NaN();
            std::vector<float> f(v.begin(), v.end());
            bool panicked = false;
            try {
                median_select(std::span<double>(v));
            } catch (const quelbrin::Panic&) {
                panicked = true;
            }
            QB_CHECK(panicked);
            panicked = false;
            try {
                median_select(std::span<float>(f));
            } catch (const quelbrin::Panic&) {
                panicked = true;
            }
            QB_CHECK(panicked);
        }
    }
    // Every one of them was reported on standard error as a panic of the calling thread.
    const std::string report = quelbrin_test::stderr_text();
    std::size_t reports = 0;
    for (std::size_t at = 0;
         (at = report.find("thread 'main' panicked at ", at)) != std::string::npos; ++at)
        ++reports;
    QB_CHECK(reports == 4 * 3 * 2);
    QB_CHECK(quelbrin_test::contains(report, "median_select: unordered comparison (NaN value)"));
}
