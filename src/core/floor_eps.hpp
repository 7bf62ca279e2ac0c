// The one floor rule of the numerics, used for spacings and pivots.
#pragma once

namespace quelbrin::core {

// The larger of v and floor; a NaN on either side yields the other value (a NaN v gives
// the floor, a NaN floor leaves v as it is).  When v equals the floor, v itself is kept.
template <class F>
constexpr F floor_eps(F v, F floor) {
    return ((v != v) | (v < floor)) ? floor : v;  // both tests, no branch
}

}  // namespace quelbrin::core
