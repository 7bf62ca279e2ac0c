#include "core/normalize.hpp"

#include "core/huge_pages.hpp"
#include "core/median.hpp"

namespace quelbrin::core {

namespace {

// The raw scale of a mode on T >= 2 positions; degenerate values are handled by the caller.
template <class F>
F raw_scale(std::span<const F> x, std::string_view mode) {
    const std::size_t T = x.size();
    if (mode == "mean") return (x[T - 1] - x[0]) / static_cast<F>(T - 1);
    if (mode == "median") {
        std::vector<F> positive_spacings;
        positive_spacings.reserve(T - 1);
        for (std::size_t i = 0; i + 1 < T; ++i) {
            const F h = x[i + 1] - x[i];
            if (h > F(0)) positive_spacings.push_back(h);
        }
        if (positive_spacings.empty()) return F(1);
        return median_select(std::span<F>(positive_spacings));
    }
    return F(1);  // any other text: shift only
}

}  // namespace

template <class F>
GridMap<F> grid_map(std::span<const F> x, std::optional<std::string_view> mode) {
    GridMap<F> map;
    if (!mode || x.size() <= 1) return map;
    F scale = raw_scale(x, *mode);
    if (!(scale > F(0))) scale = F(1);  // zero, negative or NaN
    map.apply = true;
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
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = (x[i] - map.shift) / map.scale;
    return out;
}

template std::vector<float> normalize_x<float>(std::span<const float>,
                                               std::optional<std::string_view>);
template std::vector<double> normalize_x<double>(std::span<const double>,
                                                 std::optional<std::string_view>);
template GridMap<float> grid_map<float>(std::span<const float>, std::optional<std::string_view>);
template GridMap<double> grid_map<double>(std::span<const double>,
                                          std::optional<std::string_view>);

}  // namespace quelbrin::core
