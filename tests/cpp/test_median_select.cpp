// median_select against a full sort, on the sizes and value patterns where its narrowing
// rounds take every path (bracket found, bracket missed, many equal values).
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/median.hpp"
#include "tests/cpp/harness.hpp"

using quelbrin::core::median_select;

namespace {

template <class F>
F sorted_median(std::vector<F> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2] + v[n / 2 - 1]) * F(0.5);
}

template <class F>
int wrong_medians(std::mt19937_64& rng) {
    std::lognormal_distribution<double> heavy(0.0, 2.0);
    std::uniform_int_distribution<int> few(0, 3);
    int wrong = 0;
    for (std::size_t n : {1, 2, 3, 95, 96, 97, 200, 501, 1000, 1001, 4096, 10007}) {
        for (int pattern = 0; pattern < 5; ++pattern) {
            std::vector<F> v(n);
            for (std::size_t i = 0; i < n; ++i) {
                switch (pattern) {
                    case 0: v[i] = F(heavy(rng)); break;            // |residuals|, outliers
                    case 1: v[i] = F(few(rng)); break;              // many ties
                    case 2: v[i] = F(i); break;                     // sorted
                    case 3: v[i] = F(n - i); break;                 // reversed
                    default: v[i] = F(i % 7) * F(0.25);             // short ties
                }
            }
            const F want = sorted_median(v);
            std::vector<F> work = v;
            const F got = median_select(std::span<F>(work));
            std::sort(work.begin(), work.end());
            std::sort(v.begin(), v.end());
            // Same value, and the values only reordered.
            if (!(got == want) || work != v) {
                ++wrong;
            }
        }
    }
    return wrong;
}

}  // namespace

QB_TEST(median_select_matches_a_full_sort) {
    std::mt19937_64 rng(9);
    for (int round = 0; round < 20; ++round) {
        QB_CHECK(wrong_medians<double>(rng) == 0);
        QB_CHECK(wrong_medians<float>(rng) == 0);
    }
}
