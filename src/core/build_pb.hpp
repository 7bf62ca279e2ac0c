// The core of build_pb_f32 / build_pb_f64, and the one way a penalty band is made from the
// caller's positions (normalised first when a mode is given).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "core/band.hpp"
#include "support/result.hpp"

namespace quelbrin::core {

// The spacing floor of build_pb when eps is None or omitted.
template <class F>
constexpr F default_band_eps() {
    if constexpr (std::is_same_v<F, float>)
        return 1e-6f;
    else
        return 1e-12;
}

// The scalar arguments of build_pb; the member initialisers are the Python defaults.
template <class F>
struct BandOptions {
    std::uint64_t d = 2;
    std::optional<std::string_view> normalize;  // None: positions used as given
    F eps = default_band_eps<F>();
};

// At least two strictly increasing finite positions, then the mode and eps
// (core/arguments.hpp), in that order.
template <class F>
Result<void> check_band_inputs(std::span<const F> x, const BandOptions<F>& options);

// The band of order d on x, normalised first when a mode is given.  Without a mode
// normalize_x returns a plain copy; the positions are released before the caller
// allocates anything else.
template <class F>
PenaltyBand<F> band_for(std::span<const F> x, std::optional<std::string_view> normalize,
                        std::uint64_t d, F eps);

}  // namespace quelbrin::core
