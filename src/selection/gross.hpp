// The screen of gross values: observations so far from the rest of their series that no
// smoother should see them (an unmasked nodata value such as -3.4028235e38, a 1e20).
#pragma once

#include <cstddef>
#include <vector>

namespace quelbrin::selection {

// An observation is gross when it lies more than kGrossScales robust scales from the median
// of its series' counted observations.  The scale is 1.4826 times the median absolute
// deviation from that median; where more than half the observations equal the median (the
// MAD is 0), it is 1.4826 times the median of the deviations that are not 0.  A series
// whose observations are all equal has nothing gross.  Genuine data (clouds, peaks,
// outliers of a few hundred noise levels) stay well inside: only values that would take a
// fit whatever weight they get are screened.
inline constexpr double kGrossScales = 100.0;

// Sets w[t] = 0 for every gross y[t] among the observations that count (finite y, w > 0);
// returns how many were screened.  Computed in float64 (y promoted exactly), so the
// largest float32 and float64 values take part without overflow.  `scratch` is work storage.
template <class F>
std::size_t screen_gross(const F* y, F* w, std::size_t T, std::vector<double>& scratch);

}  // namespace quelbrin::selection
