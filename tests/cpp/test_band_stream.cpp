// The streaming band build against the plain order-by-order construction (whole orders of
// difference rows, then the products), bit for bit, on irregular, tied and extreme grids.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/band.hpp"
#include "core/floor_eps.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin::core;

namespace {

template <class F>
std::vector<F> order_by_order(const std::vector<F>& x, std::size_t d, F eps) {
    const std::size_t T = x.size();
    const std::size_t kk = std::min<std::size_t>(2 * d, T - 1);
    std::vector<F> pb((kk + 1) * T, F(0));
    if (d == 0) return std::vector<F>(pb.size(), F(1));
    if (d >= T) return pb;
    std::vector<F> old(2 * (T - 1));
    for (std::size_t r = 0; r + 1 < T; ++r) {
        const F h = floor_eps(x[r + 1] - x[r], eps);
        old[2 * r] = F(-1) / h;
        old[2 * r + 1] = F(1) / h;
    }
    for (std::size_t j = 2; j <= d; ++j) {
        std::vector<F> next((T - j) * (j + 1), F(0));
        for (std::size_t r = 0; r < T - j; ++r) {
            F* c = &next[r * (j + 1)];
            for (std::size_t m = 0; m < j; ++m) {
                c[m + 1] = c[m + 1] + old[(r + 1) * j + m];
                c[m] = c[m] - old[r * j + m];
            }
            const F g = F(1) / floor_eps(x[r + j] - x[r], eps);
            for (std::size_t m = 0; m <= j; ++m) c[m] = c[m] * g;
        }
        old = std::move(next);
    }
    for (std::size_t r = 0; r + d < T; ++r) {
        for (std::size_t l = 0; l <= d; ++l) {
            for (std::size_t m = 0; m <= l; ++m) {
                F& slot = pb[(l - m) * T + r + l];
                slot = slot + old[r * (d + 1) + m] * old[r * (d + 1) + l];
            }
        }
    }
    return pb;
}

template <class F>
int mismatched_bands(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> gap(0.0, 3.0);
    int bad = 0;
    for (std::size_t T : {1, 2, 3, 5, 8, 40, 301}) {
        for (std::size_t d : {0, 1, 2, 3, 4, 7, 12}) {
            for (int kind = 0; kind < 3; ++kind) {
                std::vector<F> x(T);
                double c = -5.0;
                for (auto& v : x) {
                    c += kind == 1 ? std::floor(gap(rng)) : gap(rng);  // ties: zero spacings
                    v = static_cast<F>(kind == 2 ? c * 1e30 : c);      // huge spacings
                }
                for (F eps : {F(1e-10), F(0), std::numeric_limits<F>::quiet_NaN()}) {
                    const PenaltyBand<F> band = build_penalty_band<F>(x, d, eps);
                    const std::vector<F> want = order_by_order(x, d, eps);
                    if (band.values.size() != want.size() ||
                        std::memcmp(band.values.data(), want.data(), want.size() * sizeof(F)))
                        ++bad;
                }
            }
        }
    }
    return bad;
}

}  // namespace

QB_TEST(band_streaming_matches_order_by_order) {
    std::mt19937_64 rng(4);
    for (int round = 0; round < 3; ++round) {
        QB_CHECK(mismatched_bands<double>(rng) == 0);
        QB_CHECK(mismatched_bands<float>(rng) == 0);
    }
}
