#include "core/normalize.hpp"

#include <cmath>

#include "core/arguments.hpp"
#include "core/median.hpp"
#include "support/huge_pages.hpp"

namespace quelbrin::core {

namespace {

// The raw scale of a mode on T >= 2 positions, read through `at` (the positions or their
// halves); degenerate values are handled by the caller.
template <class F, class At>
F raw_scale(std::size_t T, At at, std::optional<NormalizeMode> mode) {
    if (mode == NormalizeMode::mean) return (at(T - 1) - at(0)) / static_cast<F>(T - 1);
    if (mode == NormalizeMode::median) {
        std::vector<F> positive_spacings;
        positive_spacings.reserve(T - 1);
        for (std::size_t i = 0; i + 1 < T; ++i) {
            const F h = at(i + 1) - at(i);
            if (h > F(0)) positive_spacings.push_back(h);
        }
        if (positive_spacings.empty()) return F(1);
        return median_select(std::span<F>(positive_spacings));
    }
    return F(1);  // any other text (refused by check_normalize before a smoother gets here)
}

}  // namespace

template <class F>
GridMap<F> grid_map(std::span<const F> x, std::optional<std::string_view> mode) {
    GridMap<F> map;
    if (!mode || x.size() <= 1) return map;
    const std::optional<NormalizeMode> m = normalize_mode(*mode);
    const std::size_t T = x.size();
    map.apply = true;
    if (m && !std::isfinite(x[T - 1] - x[0]) && std::isfinite(x[0]) && std::isfinite(x[T - 1])) {
        // Finite ends whose distance overflows.  Every difference and the scale are taken
        // between halved positions (halving a finite value is exact but in the subnormal
        // range, where the lost bit is far below the rounding of a difference of this
        // size); the quotient of two halves is the quotient of the wholes.  With a scale
        // that is not > 0 the differences stay whole, as below.
        const auto half = [x](std::size_t i) { return x[i] * F(0.5); };
        const F scale = raw_scale<F>(T, half, m);
        if (scale > F(0)) {
            map.halved = true;
            map.shift = half(0);
            map.scale = scale;
            return map;
        }
    }
    F scale = raw_scale<F>(T, [x](std::size_t i) { return x[i]; }, m);
    if (!(scale > F(0))) scale = F(1);  // zero, negative or NaN
    map.shift = x[0];
    map.scale = scale;
    return map;
}

template <class F>
std::vector<F> normalize_x(std::span<const F> x, std::optional<std::string_view> mode) {
    std::vector<F> out;
    assign_on_huge_pages(out, x.begin(), x.end());
    const GridMap<F> map = grid_map(x, mode);
    if (!map.apply) return out;
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = map(x[i]);
    return out;
}

template std::vector<float> normalize_x<float>(std::span<const float>,
                                               std::optional<std::string_view>);
template std::vector<double> normalize_x<double>(std::span<const double>,
                                                 std::optional<std::string_view>);
template GridMap<float> grid_map<float>(std::span<const float>, std::optional<std::string_view>);
template GridMap<double> grid_map<double>(std::span<const double>, std::optional<std::string_view>);

}  // namespace quelbrin::core
