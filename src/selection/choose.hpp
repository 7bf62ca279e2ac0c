// How a criterion chooses lam for one series, and the statistics reported at a lam: shared
// by every smoother of quelbrin_auto (smooth_*, the envelope, robust smoothing), so that each
// gives the same lam and statistics for the same weights.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/band.hpp"
#include "core/normalize.hpp"
#include "selection/criteria.hpp"
#include "selection/evaluator.hpp"
#include "selection/search.hpp"

namespace quelbrin::selection {

// A point the search evaluated with the inverse: its edf, RSS, sum w z^2 and solve error
// (the statistics at the choice come from it when it is the returned lam).
struct TriedPoint {
    double lam, edf, rss, wzz, delta;
};

// The criterion's choice for the series loaded in ev, within [lower, upper]:
// - nothing observed: the upper bound (z is 0 at every lam), flagged at_bound;
// - 0 < m <= d (nothing to choose: every lam fits the observations alike, and the large
//   ones leave the fit to the ridge): the largest of kSweepLanes points from the upper
//   bound down where the statistics can be vouched for (else where the solve can be
//   trusted), i.e. the smoothest fit that is well determined and computable; the lower
//   bound when none is; flagged at_bound;
// - otherwise the search on values with error bounds (the V-curve on its grid).
// `tried` (may be null) collects the points evaluated with the inverse.
Choice choose_lam(Evaluator& ev, Criterion c, std::uint64_t d, double lower, double upper,
                  std::vector<TriedPoint>* tried);

// The statistics at a lam from the sums of a sweep there: edf in [0, m] and sigma, NaN
// where the solve cannot vouch for them (its error above kStatisticsLimit).
struct Statistics {
    double edf, sigma;
    bool usable;
};
Statistics statistics_at(const SeriesCounts& n, double edf, double rss, double wzz, double delta);

// The selection's band and difference rows: the smoother's, built in float64 (from the
// promoted positions for float32 data).
struct SelectionGrid {
    core::PenaltyBand<double> band;
    std::vector<double> dcoef;  // difference_matrix of the band's positions (empty: no rows)
};
template <class F>
SelectionGrid selection_grid(std::span<const F> x, std::optional<std::string_view> normalize,
                             std::uint64_t d, double eps) {
    const std::vector<double> promoted(x.begin(), x.end());
    const std::vector<double> positions = core::normalize_x<double>(promoted, normalize);
    SelectionGrid g{core::build_penalty_band<double>(positions, d, eps), {}};
    if (live_bandwidth(g.band) != 0) g.dcoef = difference_matrix(positions, d, eps);
    return g;
}

}  // namespace quelbrin::selection
