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

// The scalar arguments of whittaker_solve_f32 / whittaker_solve_f64; the member
// initialisers are the Python defaults (the binding leaves a member alone when its argument
// is omitted).
template <class F>
struct SolveOptions {
    F lam = F(10.0);
    std::uint64_t d = 2;
    F ridge = F(1e-10);
    std::optional<std::string_view> normalize = "mean";  // None: positions used as given
    F eps = F(1e-10);
    bool parallel = true;
};

// Validates (y_st width, strictly increasing finite x, the scalar arguments, w_base_st
// shape, finite base weights where y is observed; see core/arguments.hpp), normalises,
// builds one band, smooths every series into one output made by `make_output`.  x is contiguous
// (the caller has checked).  Errors are ValueError texts.
//
// T = 0 (empty x, y_st of shape (S, 0)) gives the zero-filled (S, 0) output without any
// solve; T <= d gives a zero penalty, so each position is solved on its own.
template <class F>
Result<void> whittaker_solve_core(std::span<const F> x, const MatrixView<F>& y_st,
                                  const std::optional<MatrixView<F>>& w_base_st,
                                  const SolveOptions<F>& options, OutputSink<F> make_output);

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
                                      std::optional<std::string_view> normalize, std::uint64_t d,
                                      float lam, float ridge, float eps);

}  // namespace quelbrin::core
