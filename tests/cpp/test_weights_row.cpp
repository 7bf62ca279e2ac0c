// robust_weights (a row at once) gives robust_weight's bits at every usable element and
// 0 elsewhere, for every weighting, on ordinary and hostile residuals and scales.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "robust/weights.hpp"
#include "tests/cpp/harness.hpp"

using namespace quelbrin::robust;

namespace {

template <class F>
int row_mismatches() {
    const F inf = std::numeric_limits<F>::infinity();
    const F nan = std::numeric_limits<F>::quiet_NaN();
    const F odd[] = {F(0),    F(-0.0),  inf, -inf, nan, std::numeric_limits<F>::denorm_min(),
                     F(1e30), F(-1e-30)};
    std::mt19937_64 rng(2);
    std::normal_distribution<double> noise(0.0, 3.0);
    const std::size_t n = 203;
    int bad = 0;
    for (int w = 0; w < 6; ++w) {
        const auto weighting = static_cast<Weighting>(w);
        for (const F s : {F(1), F(0.37), F(0), F(-2), nan, inf}) {
            std::vector<F> r(n), got(n, F(7));
            std::vector<std::uint8_t> usable(n);
            for (std::size_t i = 0; i < n; ++i) {
                r[i] = i % 9 == 0 ? odd[(i / 9) % 8] : static_cast<F>(noise(rng));
                usable[i] = (i % 5 != 0) ? 1 : 0;
            }
            for (const auto& k :
                 {default_tuning<F>(weighting), TuningConstants<F>{F(2), F(1), F(-1)}}) {
                robust_weights(weighting, k, r.data(), usable.data(), s, got.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    const F want = usable[i] ? robust_weight(weighting, k, r[i], s) : F(0);
                    if (std::memcmp(&want, &got[i], sizeof(F)) != 0) ++bad;
                }
            }
        }
    }
    return bad;
}

}  // namespace

QB_TEST(row_weights_match_single_weights) {
    QB_CHECK(row_mismatches<double>() == 0);
    QB_CHECK(row_mismatches<float>() == 0);
}
