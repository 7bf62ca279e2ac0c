// The observation rule, the one definition every fill, mask and residual loop uses:
//  - an observation is missing where y is not finite, and a missing observation carries
//    no weight, whatever its base weight (`weight`);
//  - an observation counts where y is finite and its weight is > 0 (a NaN weight is not
//    > 0; negative, -0.0 and NaN weights still reach the solver, they only never count);
//  - the masked value handed to a solve is y where the observation counts, else 0.
//
// Each operation is one template that takes a scalar or a GCC vector (vector_size) of the
// same element type, so a vectorised loop and its scalar tail perform the same single
// operations and round alike.  `finite` tests y - y == 0, which holds exactly for finite y
// (inf - inf and NaN - NaN are NaN).
#pragma once

namespace quelbrin::core::observation {

// True (all bits set, per lane) where y is finite.
template <class V>
inline auto finite(V y) {
    return (y - y) == V{};
}

// The weight an observation carries: its base weight, or 0 where y is missing.
template <class V>
inline V weight(V y, V base) {
    return finite(y) ? base : V{};
}

// True (per lane) where the observation counts: finite y with weight w > 0.
template <class V>
inline auto counts(V y, V w) {
    return finite(y) & (w > V{});
}

// The value a solve sees: y where it counts, else 0.
template <class V>
inline V masked(V y, V w) {
    return counts(y, w) ? y : V{};
}

}  // namespace quelbrin::core::observation
