// The single-pass smoother behind whittaker_solve_f32 / whittaker_solve_f64.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/band.hpp"
#include "core/kernels/batch.hpp"
#include "core/solver.hpp"
#include "support/function_ref.hpp"
#include "support/result.hpp"
#include "support/views.hpp"

namespace quelbrin::core {

// Creates a new zero-filled row-major (rows, cols) output owned by the caller of the core
// and returns its data pointer.  May throw (allocation failure, Panic).
template <class F>
using OutputSink = FunctionRef<F*(std::size_t rows, std::size_t cols)>;

// Validates (y_st width, strictly increasing finite x, the scalar arguments, w_base_st
// shape, finite base weights where y is observed; see core/arguments.hpp), normalises,
// builds one band, smooths every series into one output made by `make_output`.  x is contiguous
// (the caller has checked).  Errors are ValueError texts.
//
// T = 0 (empty x, y_st of shape (S, 0)) gives the zero-filled (S, 0) output without any
// solve; T <= d gives a zero penalty, so each position is solved on its own.
template <class F>
Result<void> whittaker_solve_core(std::span<const F> x, const MatrixView<F>& y_st,
                                  const std::optional<MatrixView<F>>& w_base_st, F lam,
                                  std::uint64_t d, F ridge,
                                  std::optional<std::string_view> normalize, F eps,
                                  bool parallel, OutputSink<F> make_output);

// The working weights and masked observations of series s for t0 <= t < t1, as
// solve_series forms them, written to w[t - t0] and y[t - t0] (the batch solver's fill).
// `direct`: the rows of y_st (and w_base) are contiguous, which takes the solver's
// vectorised form of the same rule.
template <class F>
void fill_series(const kernels::BatchSolver<F>& solver, const MatrixView<F>& y_st,
                 const MatrixView<F>* w_base, bool direct, std::size_t s, std::size_t t0,
                 std::size_t t1, F* w, F* y);

// The float64 system a float32 call on positions x stands for (kernels/batch.hpp): x
// promoted exactly and normalised in float64, lam, ridge and eps promoted.
kernels::Float64System float64_system(std::span<const float> x,
                                      std::optional<std::string_view> normalize,
                                      std::uint64_t d, float lam, float ridge, float eps);

// What every series of one call shares, read-only.  The working weight of (s, t) is the
// base weight (1 without base weights) where y_st[s, t] is finite and 0 elsewhere; it is
// formed per series from these views, which gives the same values as a stored copy.
template <class F>
struct SeriesContext {
    MatrixView<F> y_st;
    std::optional<MatrixView<F>> w_base_st;  // same shape as y_st when present
    const PenaltyBand<F>* band = nullptr;
    F lam{};
    F ridge{};
    F eps{};
};

// Per-series scratch; may be reused across series (the numbers do not depend on it).
template <class F>
struct SeriesScratch {
    std::vector<F> wts;
    std::vector<F> yv;
    SolveScratch<F> solve;
};

// Solves series s into out_row (T slots).  The first form allocates its own scratch.
template <class F>
void solve_series(const SeriesContext<F>& context, std::size_t s, F* out_row);
template <class F>
void solve_series(const SeriesContext<F>& context, std::size_t s, F* out_row,
                  SeriesScratch<F>& scratch);

}  // namespace quelbrin::core
