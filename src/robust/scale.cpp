#include "robust/scale.hpp"

#include <cmath>
#include <type_traits>
#include <vector>

#include "core/arguments.hpp"
#include "core/floor_eps.hpp"
#include "core/median.hpp"

namespace quelbrin::robust {
namespace {

// Constants stored as the nearest values of F (float literals for float32, so that the
// decimals are not rounded twice).
template <class F>
constexpr F mad_factor() {
    if constexpr (std::is_same_v<F, float>)
        return 1.4826f;
    else
        return 1.4826;
}
template <class F>
constexpr F huber_clip() {
    if constexpr (std::is_same_v<F, float>)
        return 1.345f;
    else
        return 1.345;
}
template <class F>
constexpr F huber_tolerance() {
    if constexpr (std::is_same_v<F, float>)
        return 1e-4f;
    else
        return 1e-4;
}

constexpr int kHuberMaxPasses = 30;

template <class F>
bool in_usable_set(std::span<const F> r, std::span<const std::uint8_t> usable, std::size_t i) {
    return usable[i] != 0 && std::isfinite(r[i]);
}

}  // namespace

bool selects_huber(std::string_view name) {
    return core::scale_kind(name) == core::ScaleKind::huber;
}

template <class F>
F mad_of_magnitudes(std::span<F> magnitudes, F floor) {
    if (magnitudes.empty()) return floor;
    // The median of |r| about zero, not about the residuals' own median.
    const F m = core::median_select(magnitudes);
    return core::floor_eps(m * mad_factor<F>(), floor);
}

template <class F>
F mad_scale(std::span<const F> r, std::span<const std::uint8_t> usable, F floor) {
    // |r| of the usable set, in index order, gathered without a data-dependent branch.
    std::vector<F> abs_r(r.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < r.size(); ++i) {
        abs_r[n] = std::abs(r[i]);
        n += in_usable_set(r, usable, i) ? 1 : 0;
    }
    return mad_of_magnitudes(std::span<F>(abs_r.data(), n), floor);
}

template <class F>
F huber_scale(std::span<const F> r, std::span<const std::uint8_t> usable, F floor) {
    F s = mad_scale(r, usable, floor);
    if (r.empty()) return floor;
    for (int pass = 1;; ++pass) {
        const F cap = (s * huber_clip<F>()) * (s * huber_clip<F>());
        F sum = F(0);
        // The count is an integer, converted once for the division: an F counter would
        // stop growing at 2^24 in float32.
        std::uint64_t count = 0;
        for (std::size_t i = 0; i < r.size(); ++i) {
            if (!in_usable_set(r, usable, i)) continue;
            sum = sum + std::fmin(r[i] * r[i], cap);
            ++count;
        }
        if (count == 0) return floor;
        const F s_new = core::floor_eps(std::sqrt(sum / static_cast<F>(count)), floor);
        const F rel = std::abs(s_new - s) / core::floor_eps(s, floor);
        // A NaN rel is not converged.
        if (rel < huber_tolerance<F>() || pass == kHuberMaxPasses) return s_new;
        s = s_new;
    }
}

template <class F>
F residual_scale(std::span<const F> r, std::span<const std::uint8_t> usable,
                 std::string_view scale_name, F floor) {
    return selects_huber(scale_name) ? huber_scale(r, usable, floor) : mad_scale(r, usable, floor);
}

#define QB_INSTANTIATE(F)                                                            \
    template F mad_scale<F>(std::span<const F>, std::span<const std::uint8_t>, F);   \
    template F mad_of_magnitudes<F>(std::span<F>, F);                                \
    template F huber_scale<F>(std::span<const F>, std::span<const std::uint8_t>, F); \
    template F residual_scale<F>(std::span<const F>, std::span<const std::uint8_t>,  \
                                 std::string_view, F);
QB_INSTANTIATE(float)
QB_INSTANTIATE(double)
#undef QB_INSTANTIATE

}  // namespace quelbrin::robust
