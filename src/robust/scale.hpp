// Residual scale of one series: the MAD estimate about zero, or the Huber estimate that
// starts from it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quelbrin::robust {

// True when `name` is "huber" up to ASCII letter case.  Any other name selects the MAD
// estimator here; names other than "mad" and "huber" are refused before a smoother runs
// (core::check_scale).
bool selects_huber(std::string_view name);

// Both estimators use the usable set: every i with usable[i] set and r[i] finite, in index
// order.  With no usable residual the result is the floor.
template <class F>
F mad_scale(std::span<const F> r, std::span<const std::uint8_t> usable, F floor);

// The MAD estimate from the magnitudes |r[i]| of the usable set already gathered (any
// order; the values are overwritten): the floor when there is none.  mad_scale gathers and
// calls this.
template <class F>
F mad_of_magnitudes(std::span<F> magnitudes, F floor);
template <class F>
F huber_scale(std::span<const F> r, std::span<const std::uint8_t> usable, F floor);

template <class F>
F residual_scale(std::span<const F> r, std::span<const std::uint8_t> usable,
                 std::string_view scale_name, F floor);

}  // namespace quelbrin::robust
