// Merging of near-duplicate positions before the robust solve, and expansion of the
// merged results back to the caller's grid.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "robust/irls.hpp"
#include "support/views.hpp"

namespace quelbrin::robust {

// A half-open range [start, end) of input columns, merged into one column.
struct MergeGroup {
    std::size_t start = 0;
    std::size_t end = 0;
};

template <class F>
struct MergedGrid {
    std::vector<MergeGroup> groups;  // consecutive, covering 0 .. T-1 in order
    std::vector<F> x;                // one position per group: the plain mean of its members
};

// Merging is active only for tol > 0 (0, negative and NaN disable it); then a run of
// positions each within tol of its left neighbour forms a group, so a group may span more
// than tol.  Inactive: T singleton groups and an exact copy of x.  T = 0 gives no groups.
// Means are accumulated in float64 in index order and rounded to F once.
template <class F>
MergedGrid<F> merge_groups(std::span<const F> x, F tol);

// Per series and group: the base-weighted mean of the finite observations with finite,
// positive base weight, and the sum of those weights (float64 sums, rounded to F).  A group
// with no such observation stays 0 and 0, i.e. missing.
template <class F>
struct MergedSeries {
    Matrix<F> y;
    Matrix<F> w;
};
template <class F>
MergedSeries<F> merge_series(const MatrixView<F>& y, const MatrixView<F>& wbase_work,
                             std::span<const MergeGroup> groups);

// Back to the (S, T) grid: every member of a group gets the merged smoothed value, and its
// own base weight times the group's robust factor wt_m / w_m as total weight (0 when the
// group's merged weight is not > 0).
template <class F>
IrlsResult<F> expand_results(const Matrix<F>& z_m, const Matrix<F>& wt_m, const Matrix<F>& w_m,
                             const MatrixView<F>& wbase_work, std::span<const MergeGroup> groups);

}  // namespace quelbrin::robust
