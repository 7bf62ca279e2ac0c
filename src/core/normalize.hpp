// Grid normalisation: shift to start at 0 and scale to a typical spacing of 1.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quelbrin::core {

// Mode absent: an exact copy.  T <= 1: an exact copy.  Otherwise (x[i] - x[0]) / scale
// with scale from "mean", "median" (byte-exact names) or 1 for any other text (which the
// smoothers refuse before they get here); a scale that is not > 0 becomes 1.  When the
// finite ends are further apart than F can hold, every difference and the scale are taken
// between halved positions, which gives the same quotients without overflowing; for any
// other x these are exactly the operations above.
template <class F>
std::vector<F> normalize_x(std::span<const F> x, std::optional<std::string_view> mode);

// The map normalize_x applies to each position: (x - shift) / scale when `apply` (with
// halves when `halved`), else none.  For the paths that normalise positions as they go instead of
// copying them.
template <class F>
struct GridMap {
    bool apply = false;
    bool halved = false;  // positions whose span overflows: shift and scale of halves
    F shift{};
    F scale{};
    F operator()(F v) const {
        if (!apply) return v;
        return halved ? (v * F(0.5) - shift) / scale : (v - shift) / scale;
    }
};
template <class F>
GridMap<F> grid_map(std::span<const F> x, std::optional<std::string_view> mode);

}  // namespace quelbrin::core
